#pragma once
// Server bytes on their way to the game: the peer's worker queues the chunks it receives, the
// to-game writer takes them in order. The capacity bounds what a game that stops reading can pin.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "core/text.h"

namespace nyra {

class ToGameQueue {
public:
    explicit ToGameQueue(std::size_t capacity) : capacity_(capacity) {}

    // Queues a chunk. Throws "O cliente excedeu o buffer limitado de recepcao." when the queued
    // bytes would exceed the capacity or the queue no longer takes chunks.
    void push(SecretBytes chunk);

    // The next chunk, waiting for one; nullopt once the queue is closed, or once it is ending and
    // everything queued has been taken.
    std::optional<SecretBytes> pop();

    // No more chunks; what is still queued is delivered before pop reports the end.
    void endAfterDelivery();
    // No more chunks and nothing more delivered: the queued chunks are zeroed and released.
    void close();

    std::size_t queuedBytes() const;

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SecretBytes> chunks_;
    std::size_t queued_ = 0;
    bool ending_ = false;
    bool closed_ = false;
};

}  // namespace nyra
