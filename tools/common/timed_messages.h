#pragma once
// The game-server stand-ins' timed mode, as both ends speak it: the stand-in (Linux) and the
// benchmark's game side (Windows, under Wine). Header-only and dependency-free, so that the MinGW
// trees include it as it is.
//
// The game opens the mode with 15 bytes: 'T', rate (u16: messages per second the server sends,
// 0 to 1000), smallest and largest message size (u16 each, 16 to 4096, smallest <= largest), seed
// (u64: the sizes of the server's messages). All integers are little-endian.
// TCP and the relay keep no message boundaries, so every message carries its length:
//   'D' message   length (u16, the whole message) 'D' sequence (u32) sent-at (u64) padding
//                 padding byte i is padByte(sequence, i), so that a shifted or mixed byte shows;
//   'R' receipt   length (u16, 23) 'R' sequence (u32) the message's sent-at (u64) received-at (u64)
// Both ends send 'D' messages numbered from 0; the server answers each 'D' it receives with an 'R'.
// Stamps are microseconds since the Unix epoch: both ends read the same clock on one machine, so
// that the difference of two stamps is a one-way delay.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tools/common/seeded_bytes.h"

namespace nyra::tools::timed {

inline constexpr std::uint8_t kModeByte = 'T';
inline constexpr std::size_t kOpenSize = 15;
inline constexpr std::size_t kMessageHeader = 15;  // length, kind, sequence, sent-at
inline constexpr std::size_t kReceiptSize = 23;
inline constexpr std::size_t kSmallest = 16;
inline constexpr std::size_t kLargest = 4096;
inline constexpr unsigned kMaxRate = 1000;

struct Open {
    unsigned rate = 60;
    std::size_t smallest = 64;
    std::size_t largest = 512;
    std::uint64_t seed = 1;
};

struct Frame {
    std::uint8_t kind = 0;  // 'D' or 'R'
    std::uint32_t sequence = 0;
    std::uint64_t sentAt = 0;      // 'D': when sent; 'R': when the receipted message was sent
    std::uint64_t receivedAt = 0;  // 'R' only
    std::size_t size = 0;          // the whole frame
};

namespace detail {
constexpr void put(std::uint8_t* at, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
constexpr std::uint64_t get(const std::uint8_t* at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes; i-- > 0;) {
        value = (value << 8) | at[i];
    }
    return value;
}
}  // namespace detail

constexpr std::uint8_t padByte(std::uint32_t sequence, std::size_t index) {
    return static_cast<std::uint8_t>(sequence * 0x9Du + index * 7u + 1u);
}

constexpr bool valid(const Open& open) {
    return open.rate <= kMaxRate && open.smallest >= kSmallest && open.smallest <= open.largest &&
           open.largest <= kLargest;
}

inline std::array<std::uint8_t, kOpenSize> encodeOpen(const Open& open) {
    std::array<std::uint8_t, kOpenSize> bytes{};
    bytes[0] = kModeByte;
    detail::put(&bytes[1], open.rate, 2);
    detail::put(&bytes[3], open.smallest, 2);
    detail::put(&bytes[5], open.largest, 2);
    detail::put(&bytes[7], open.seed, 8);
    return bytes;
}

// The opening's values, or nullopt when it is not a valid opening.
inline std::optional<Open> parseOpen(std::span<const std::uint8_t, kOpenSize> bytes) {
    if (bytes[0] != kModeByte) {
        return std::nullopt;
    }
    Open open;
    open.rate = static_cast<unsigned>(detail::get(&bytes[1], 2));
    open.smallest = static_cast<std::size_t>(detail::get(&bytes[3], 2));
    open.largest = static_cast<std::size_t>(detail::get(&bytes[5], 2));
    open.seed = detail::get(&bytes[7], 8);
    if (!valid(open)) {
        return std::nullopt;
    }
    return open;
}

// The size of message `sequence` of a sender whose sizes come from `seed`.
constexpr std::size_t messageSize(const Open& open, std::uint32_t sequence) {
    return open.smallest + static_cast<std::size_t>(seededWord(open.seed, sequence) % (open.largest - open.smallest + 1));
}

// Appends one 'D' message of `size` bytes (kMessageHeader to kLargest) to `out`.
inline void appendMessage(std::vector<std::uint8_t>& out, std::uint32_t sequence, std::uint64_t sentAt, std::size_t size) {
    const std::size_t from = out.size();
    out.resize(from + size);
    std::uint8_t* at = out.data() + from;
    detail::put(at, size, 2);
    at[2] = 'D';
    detail::put(at + 3, sequence, 4);
    detail::put(at + 7, sentAt, 8);
    for (std::size_t i = kMessageHeader; i < size; ++i) {
        at[i] = padByte(sequence, i);
    }
}

inline void appendReceipt(std::vector<std::uint8_t>& out, std::uint32_t sequence, std::uint64_t sentAt,
                          std::uint64_t receivedAt) {
    const std::size_t from = out.size();
    out.resize(from + kReceiptSize);
    std::uint8_t* at = out.data() + from;
    detail::put(at, kReceiptSize, 2);
    at[2] = 'R';
    detail::put(at + 3, sequence, 4);
    detail::put(at + 7, sentAt, 8);
    detail::put(at + 15, receivedAt, 8);
}

// Cuts a byte stream into frames, whatever pieces it arrives in. Holds at most one incomplete
// frame (kLargest bytes) beyond what it was last given.
class FrameReader {
public:
    enum class Result { Frame, NeedMore, Bad };

    void append(std::span<const std::uint8_t> bytes) {
        if (head_ > 0 && head_ == bytes_.size()) {
            bytes_.clear();
            head_ = 0;
        } else if (head_ >= 65536) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }

    // The next whole frame into `frame`; Bad (for good: the stream is out of step) when a length
    // is out of bounds, the kind unknown or the padding wrong.
    Result next(Frame& frame) {
        if (bad_) {
            return Result::Bad;
        }
        const std::size_t available = bytes_.size() - head_;
        if (available < 3) {
            return Result::NeedMore;
        }
        const std::uint8_t* at = bytes_.data() + head_;
        const auto size = static_cast<std::size_t>(detail::get(at, 2));
        const std::uint8_t kind = at[2];
        if ((kind == 'D' && (size < kMessageHeader || size > kLargest)) || (kind == 'R' && size != kReceiptSize) ||
            (kind != 'D' && kind != 'R')) {
            bad_ = true;
            return Result::Bad;
        }
        if (available < size) {
            return Result::NeedMore;
        }
        frame.kind = kind;
        frame.size = size;
        frame.sequence = static_cast<std::uint32_t>(detail::get(at + 3, 4));
        frame.sentAt = detail::get(at + 7, 8);
        frame.receivedAt = kind == 'R' ? detail::get(at + 15, 8) : 0;
        if (kind == 'D') {
            for (std::size_t i = kMessageHeader; i < size; ++i) {
                if (at[i] != padByte(frame.sequence, i)) {
                    bad_ = true;
                    return Result::Bad;
                }
            }
        }
        head_ += size;
        return Result::Frame;
    }

    std::size_t buffered() const { return bytes_.size() - head_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t head_ = 0;
    bool bad_ = false;
};

}  // namespace nyra::tools::timed
