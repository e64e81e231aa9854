#pragma once
// Server bytes on their way to the game: the peer's worker queues the chunks it receives, the
// to-game writer takes them in order. The capacity bounds what a game that stops reading can pin;
// a full queue makes the worker wait for the writer, so a game that reads slower than the server
// sends slows the stream down instead of losing it. While nothing is queued and the writer is not
// writing, the worker may claim the game's socket and write itself (no hand-off, no copy); what
// the socket does not take at once goes to the front of the queue.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <span>

#include "core/text.h"

namespace nyra {

class ToGameQueue {
public:
    explicit ToGameQueue(std::size_t capacity) : capacity_(capacity) {}

    // Queues a chunk. Throws "O cliente excedeu o buffer limitado de recepcao." when the queued
    // bytes would exceed the capacity or the queue no longer takes chunks.
    void push(SecretBytes chunk);

    // True when nothing is queued and the writer holds no chunk: the caller may write to the game
    // until releaseClaim, and the writer takes nothing meanwhile.
    bool claimIdle();
    // Ends a claim; `rest` (what the socket did not take) is queued first. Dropped once closed.
    void releaseClaim(std::span<const std::uint8_t> rest);

    // Waits at most `wait` until a chunk of `size` bytes fits. True when it fits now or when the
    // queue takes no more chunks (push then refuses it); false when it is still full.
    bool waitForRoom(std::size_t size, std::chrono::milliseconds wait);

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
    std::condition_variable changed_;   // a chunk arrived, or the queue ends
    std::condition_variable roomFreed_;  // the writer took a chunk, or the queue ends
    std::deque<SecretBytes> chunks_;
    std::size_t queued_ = 0;
    bool writing_ = false;  // the writer holds the chunk it took last
    bool claimed_ = false;  // the worker writes to the game itself
    bool ending_ = false;
    bool closed_ = false;
};

}  // namespace nyra
