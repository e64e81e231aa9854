#pragma once
// The game-server stand-ins behind the relay: one plain TCP server per game channel (login,
// world, zone) on 127.0.0.1, port chosen by the system, so that a benchmark can reach the same
// server directly as well as through the relay. Every channel speaks the same tiny protocol,
// chosen by the first byte the client sends:
//   'E'                         every following byte b comes back as b XOR 0xA5, in order;
//   'S' seed(u64 LE) length(u64 LE)
//                               `length` bytes of the seeded sequence (tools/common/seeded_bytes.h),
//                               then, on the same connection, the echo of 'E' for everything the
//                               client sent after the 17 header bytes (held back until the
//                               sequence has been sent);
//   'T' rate min max seed       timed messages (tools/common/timed_messages.h): the server sends
//                               `rate` stamped messages a second, sizes drawn in [min, max] from
//                               `seed`, and answers every message of the game with a stamped
//                               receipt; an opening out of bounds or a malformed message closes
//                               the connection;
//   anything else               the connection is closed.
// The connection stays open until the client closes it.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra::service {

inline constexpr std::size_t kGameChannelCount = 3;
inline constexpr std::array<std::string_view, kGameChannelCount> kGameChannels{"login", "world", "zone"};
inline constexpr std::uint8_t kEchoTransform = 0xA5;

// The timed mode's stamps: microseconds since the Unix epoch (CLOCK_REALTIME), the clock that
// Windows programs under Wine read as the precise system time.
std::uint64_t unixMicros();

// The index of a channel name, or nullopt.
std::optional<std::size_t> gameChannelIndex(std::string_view name);

class GameServers {
public:
    GameServers();
    ~GameServers();
    GameServers(const GameServers&) = delete;
    GameServers& operator=(const GameServers&) = delete;

    void start();  // binds the three listeners and starts their thread; throws when it cannot
    void stop();   // closes every listener and connection and joins the thread; idempotent

    std::array<std::uint16_t, kGameChannelCount> ports() const;
    // {"login": port, "world": port, "zone": port, "connections": accepted so far}
    nlohmann::json state() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nyra::service
