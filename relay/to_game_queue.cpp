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
    changed_.notifyOne();
}

bool ToGameQueue::waitForRoom(std::size_t size, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return roomFreed_.waitFor(lock, wait, [&] { return closed_ || ending_ || size <= capacity_ - queued_; });
}

std::optional<SecretBytes> ToGameQueue::pop() {
    std::optional<SecretBytes> chunk;
    {
        std::unique_lock lock(mutex_);
        writerHolds_ = false;  // the chunk taken before is written
        changed_.wait(lock, [&] { return closed_ || (!direct_ && (ending_ || !chunks_.empty())); });
        if (closed_ || chunks_.empty()) return std::nullopt;
        chunk.emplace(std::move(chunks_.front()));
        chunks_.pop_front();
        queued_ -= chunk->size();
        writerHolds_ = true;
    }
    roomFreed_.notifyOne();
    return chunk;
}

bool ToGameQueue::beginDirect() {
    std::lock_guard lock(mutex_);
    if (closed_ || ending_ || direct_ || writerHolds_ || !chunks_.empty()) return false;
    direct_ = true;
    return true;
}

void ToGameQueue::endDirect() {
    bool waiting = false;
    {
        std::lock_guard lock(mutex_);
        direct_ = false;
        waiting = ending_ || !chunks_.empty();  // never so while only the producer pushes
    }
    if (waiting) changed_.notifyAll();
}

void ToGameQueue::endAfterDelivery() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notifyAll();
    roomFreed_.notifyAll();
}

void ToGameQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        chunks_.clear();  // each chunk is zeroed as it is released
        queued_ = 0;
    }
    changed_.notifyAll();
    roomFreed_.notifyAll();
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
