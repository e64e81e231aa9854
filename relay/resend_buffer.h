#pragma once
// Game bytes sent to the server and not yet acknowledged, oldest first, with the offset the first
// of them follows. The server's acknowledgements drop bytes from the front; after a broken stream
// the new stream's received count decides where the resend starts. A ring, so that dropping the
// front never moves the rest; every byte is zeroed when it leaves the buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/text.h"

namespace nyra {

class ResendBuffer {
public:
    explicit ResendBuffer(std::size_t limit);

    std::uint64_t ackedBase() const noexcept { return ackedBase_; }
    std::size_t size() const noexcept { return size_; }

    // Appends `bytes`; false (and nothing appended) when the buffer would grow beyond its limit.
    bool append(std::span<const std::uint8_t> bytes);

    enum class Acknowledged { Ignored, Dropped, Impossible };
    // The server has received `total` bytes: at or below ackedBase nothing changes; beyond what
    // was ever sent (ackedBase + size) is impossible; otherwise the acknowledged bytes leave.
    Acknowledged acknowledge(std::uint64_t total);

    // A new stream reports that the server holds `received` bytes: it must lie within
    // [ackedBase, ackedBase + size]; the bytes up to it leave and ackedBase becomes it.
    bool resumeFrom(std::uint64_t received);

    // Hands the buffered bytes over in order, in pieces of at most `maxPiece`; stops at (and
    // returns false on) the first piece `send` refuses.
    template <typename Send>
    bool forEachPiece(std::size_t maxPiece, Send&& send) const {
        std::size_t done = 0;
        while (done < size_) {
            const std::size_t at = (head_ + done) % ring_.size();
            const std::size_t piece = std::min({maxPiece, size_ - done, ring_.size() - at});
            if (!send(std::span<const std::uint8_t>(ring_.data() + at, piece))) return false;
            done += piece;
        }
        return true;
    }

    // Zeroes and empties the buffer; ackedBase stays.
    void clear() noexcept;
    // clear, and the ring's memory (up to the limit) goes back to the heap: a finished connection
    // keeps nothing until it is reaped.
    void release() noexcept;
    std::size_t capacity() const noexcept { return ring_.size(); }

private:
    void drop(std::size_t count) noexcept;
    void grow(std::size_t needed);

    std::size_t limit_;
    SecretBytes ring_;  // its size is the ring's capacity
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::uint64_t ackedBase_ = 0;
};

}  // namespace nyra
