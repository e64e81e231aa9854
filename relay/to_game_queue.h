#pragma once
// Server bytes on their way to the game: the peer's worker queues the chunks it receives, the
// to-game writer takes them in order (small ones joined, so chunk boundaries are not kept). The capacity bounds what a game that stops reading can pin;
// a full queue makes the worker wait for the writer, so a game that reads slower than the server
// sends slows the stream down instead of losing it.
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

#include "core/sync.h"
#include "core/text.h"

namespace nyra {

class ToGameQueue {
public:
    explicit ToGameQueue(std::size_t capacity) : capacity_(capacity) {}

    // Queues a chunk. Throws "O cliente excedeu o buffer limitado de recepcao." when the queued
    // bytes would exceed the capacity or the queue no longer takes chunks.
    void push(SecretBytes chunk);

    // Waits at most `wait` until a chunk of `size` bytes fits. True when it fits now or when the
    // queue takes no more chunks (push then refuses it); false when it is still full.
    bool waitForRoom(std::size_t size, std::chrono::milliseconds wait);

    // The next chunk, waiting for one; nullopt once the queue is closed, or once it is ending and
    // everything queued has been taken.
    std::optional<SecretBytes> pop();

    // The producer's own write: true when nothing is queued and the writer holds no chunk, so
    // that the producer may write to the game itself, in order, instead of waking the writer
    // (a hand-off between threads costs more than the write). Until endDirect the writer takes
    // nothing; only the producer pushes, so nothing is queued meanwhile. What the game's socket
    // did not take is pushed after endDirect.
    bool beginDirect();
    void endDirect();

    // No more chunks; what is still queued is delivered before pop reports the end.
    void endAfterDelivery();
    // No more chunks and nothing more delivered: the queued chunks are zeroed and released.
    void close();

    std::size_t queuedBytes() const;
    std::size_t queuedChunks() const;

    // A chunk joins the one queued last while both together stay within this: at most about two
    // chunks per this many bytes, whatever the size of the messages.
    static constexpr std::size_t kJoinBelow = 4096;

private:
    const std::size_t capacity_;
    mutable Mutex mutex_;
    ConditionVariable changed_;   // a chunk arrived, or the queue ends
    ConditionVariable roomFreed_;  // the writer took a chunk, or the queue ends
    std::deque<SecretBytes> chunks_;
    std::size_t queued_ = 0;
    bool ending_ = false;
    bool closed_ = false;
    bool direct_ = false;       // the producer is writing to the game itself
    bool writerHolds_ = false;  // the writer has a chunk it may still be writing (until its next pop)
};

}  // namespace nyra
