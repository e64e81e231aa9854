#include "relay/to_game_queue.h"

#include <stdexcept>
#include <utility>

namespace nyra {

void ToGameQueue::push(SecretBytes chunk) {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || ending_ || chunk.size() > capacity_ - queued_) {
            throw std::runtime_error("O cliente excedeu o buffer limitado de recepcao.");
        }
        queued_ += chunk.size();
        // Small messages join the small chunk at the tail: a server that sends one byte at a
        // time then costs the queue its bytes, not a heap block and a queue slot per byte.
        if (!chunks_.empty() && chunks_.back().size() + chunk.size() <= kJoinBelow) {
            chunks_.back().insert(chunks_.back().end(), chunk.begin(), chunk.end());
        } else {
            chunks_.push_back(std::move(chunk));
        }
    }
    changed_.notify_one();
}

bool ToGameQueue::waitForRoom(std::size_t size, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return roomFreed_.wait_for(lock, wait, [&] { return closed_ || ending_ || size <= capacity_ - queued_; });
}

std::optional<SecretBytes> ToGameQueue::pop() {
    std::optional<SecretBytes> chunk;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || ending_ || !chunks_.empty(); });
        if (closed_ || chunks_.empty()) return std::nullopt;
        chunk.emplace(std::move(chunks_.front()));
        chunks_.pop_front();
        queued_ -= chunk->size();
    }
    roomFreed_.notify_one();
    return chunk;
}

void ToGameQueue::endAfterDelivery() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    roomFreed_.notify_all();
}

void ToGameQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        chunks_.clear();  // each chunk is zeroed as it is released
        queued_ = 0;
    }
    changed_.notify_all();
    roomFreed_.notify_all();
}

std::size_t ToGameQueue::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return queued_;
}

std::size_t ToGameQueue::queuedChunks() const {
    std::lock_guard lock(mutex_);
    return chunks_.size();
}

}  // namespace nyra
