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
        chunks_.push_back(std::move(chunk));
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

}  // namespace nyra
