#pragma once
// The game's traffic on one channel, checked byte for byte. The game-server stand-ins behind the
// relay (tools/service/game_servers.h) answer an opening 'S' seed length with `length` bytes of the
// seeded sequence (tools/common/seeded_bytes.h) and then echo every later byte XOR 0xA5, in order.
// The game sends payload bytes from a second seeded sequence, so every byte it receives is known
// in advance: first the seeded answer, then the echo of each payload byte in the order sent.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tools/common/seeded_bytes.h"

namespace nyra::standin {

inline constexpr std::uint8_t kEchoTransform = 0xA5;

class ChannelCheck {
public:
    // `seed` chooses both sequences; `seededLength` bytes of the seeded answer are asked for.
    ChannelCheck(std::uint64_t seed, std::uint64_t seededLength);

    // The 17 opening bytes: 'S', the seed and the length (64-bit little-endian each).
    std::vector<std::uint8_t> opening() const;
    // The next `size` payload bytes to send; their echo is owed from now on.
    std::vector<std::uint8_t> payload(std::size_t size);

    // Checks bytes just received against what is owed. False once any byte differs or more bytes
    // arrive than were owed; the check then stays failed.
    bool receive(std::span<const std::uint8_t> bytes);

    bool failed() const { return mismatch_.has_value(); }
    // The offset (counted over everything received) of the first byte that was wrong.
    std::optional<std::uint64_t> mismatch() const { return mismatch_; }
    std::uint64_t owed() const;  // bytes still to come for what was asked and sent so far
    std::uint64_t received() const { return received_; }
    std::uint64_t payloadSent() const { return payloadSent_; }

private:
    std::uint64_t seed_;
    std::uint64_t seededLength_;
    tools::SeededBytes answer_;
    tools::SeededBytes payload_;
    tools::SeededBytes echo_;  // the payload sequence again, read as far as its echo arrived
    std::uint64_t payloadSent_ = 0;
    std::uint64_t received_ = 0;
    std::optional<std::uint64_t> mismatch_;
};

}  // namespace nyra::standin
