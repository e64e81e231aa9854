#pragma once
// The relay's fixed rules, kept apart from its threads so that they can be read and tested as
// tables: the game's channels and the port map handed to the game, the acknowledgement text and
// when to send one, and the waits between attempts to open or resume a stream.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra {

struct RelayChannel {
    std::string_view name;        // sent as "X-Nyra-Game-Channel"
    std::string_view serverPort;  // the port the game would use without the relay
    std::string_view counterKey;  // the stats member counting its opened streams
};

inline constexpr std::size_t kRelayChannelCount = 3;
// The index is the channel everywhere (listeners, ports, counters).
inline constexpr std::array<RelayChannel, kRelayChannelCount> kRelayChannels{{
    {"login", "6543", "login_streams"},
    {"world", "5712", "world_streams"},
    {"zone", "10166", "zone_streams"},
}};

// {"6543": login port, "5712": world port, "10166": zone port}.
nlohmann::json relayPortMap(const std::array<std::uint16_t, kRelayChannelCount>& localPorts);

inline constexpr std::size_t kRelayMessageBytes = 32768;            // one socket read, one resent message
inline constexpr std::size_t kToGameCapacity = 8u * 1024 * 1024;    // server bytes not yet written to the game
inline constexpr std::size_t kResendLimit = 4u * 1024 * 1024;       // game bytes the server has not acknowledged
inline constexpr std::size_t kMaxRelayPeers = 8;
inline constexpr std::uint32_t kRelayStepMs = 50;                   // every wait runs in slices of this
inline constexpr int kAdmissionTries = 20;
inline constexpr std::uint32_t kAdmissionPauseMs = 10;
inline constexpr std::uint64_t kSilenceLimitMs = 10000;             // no message for longer: the stream is broken
// A full queue to the game waits while the game reads; a game that has taken nothing for this
// long has stopped reading (shorter than the silence limit, so that neither hides the other).
inline constexpr std::uint64_t kGameStallMs = 5000;
// A full resend buffer waits while the server acknowledges or sends, or the game takes bytes (the
// server's acknowledgements may wait behind what it sent to a game that reads slowly); nothing of
// that for this long and the game's bytes have no room.
inline constexpr std::uint64_t kResendStallMs = 5000;
inline constexpr int kAcknowledgerStepsPerPass = 5;
inline constexpr int kReaderWaitSteps = 40;                         // the reader's wait for the worker to end

// A server acknowledgement: 1 to 20 decimal digits whose value fits in 64 bits; anything else
// (a sign, a space, an empty text, 21 digits, a value above 2^64 - 1) is nullopt.
inline constexpr std::size_t kMaxAcknowledgementDigits = 20;
std::optional<std::uint64_t> parseAcknowledgement(std::string_view text);

// Whether the acknowledger sends `receivedTotal` now: nothing new → a keep-alive every 3 s;
// new bytes → once more than 32767 have arrived since the last one, or once a second.
bool shouldAcknowledge(std::uint64_t receivedTotal, std::uint64_t lastAckSent, std::uint64_t nowMs,
                       std::uint64_t lastAckTimeMs);
// More than 32767 bytes arrived since the last acknowledgement: one is due at once.
bool manyBytesUnacknowledged(std::uint64_t receivedTotal, std::uint64_t lastAckSent);

// Opening a stream: at most 6 attempts within 45 s; the wait after failed attempt `retry`
// (0-based) is 250, 500, 1000, 2000, 3000 ms.
inline constexpr int kOpenAttempts = 6;
inline constexpr std::uint64_t kStreamRetryWindowMs = 45000;
std::uint32_t openRetryWaitMs(int retry);
// Resuming a stream: attempts within 45 s; waits 200, 400, 800, 1600, then 3000 ms for good.
std::uint32_t resumeRetryWaitMs(int retry);
// Statuses after which the server will not accept the same request again: no further attempt.
bool refusalIsFinal(std::int32_t status);

}  // namespace nyra
