#pragma once
// Whether a loopback connection to a relay listener belongs to the game process, decided from the
// system's TCP owner table. The shell reads the table; this is the rule it applies to the rows.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nyra {

// An IPv4 address in network order ({127, 0, 0, 1} is loopback).
using Ipv4Address = std::array<std::uint8_t, 4>;
inline constexpr Ipv4Address kLoopbackAddress{127, 0, 0, 1};

// One accepted connection as the listener saw it: the game's end (client) and the listener's.
// Only a connection whose both ends are 127.0.0.1 can be the game's: another process may bind
// 127.0.0.2 (any 127/8 address) with the port the game uses, and the ports alone would then
// match the game's own row.
struct LoopbackConnection {
    Ipv4Address clientAddress{};
    std::uint16_t clientPort = 0;
    Ipv4Address listenerAddress = kLoopbackAddress;
    std::uint16_t listenerPort = 0;
};

// Both ends are 127.0.0.1: the only connections admission considers at all.
bool bothEndsAreLoopback(const LoopbackConnection& connection) noexcept;

// One row of the IPv4 TCP owner table. Addresses in network order as the table holds them;
// ports as numbers.
struct TcpOwnerRow {
    std::uint32_t ownerPid = 0;
    Ipv4Address localAddress{};
    std::uint16_t localPort = 0;
    Ipv4Address remoteAddress{};
    std::uint16_t remotePort = 0;
};

// The table is read only when the system asks for at most this many bytes.
inline constexpr std::size_t kMaxTcpOwnerTableBytes = 4194304;

// Who holds the client's end of a connection, as far as the table tells.
enum class ConnectionOwner {
    Game,       // the game process: admitted
    Other,      // another process, or not a loopback connection: refused at once
    NotListed,  // the table does not show it (yet): asked again
};

struct OwnerDecision {
    ConnectionOwner owner = ConnectionOwner::NotListed;
    // The row matched by addresses and ports alone because the platform reports no owners.
    bool unreportedOwnerFallback = false;
};

// Game when a row is the client's end of this very connection (local address and port the
// client's, remote address and port the listener's, both 127.0.0.1) owned by `gameProcessId`;
// Other when that row has another real owner or the connection is not loopback on both ends.
// With `allowUnreportedOwners` (development builds only) and every row reporting owner 0, a row
// of this connection matches whatever its owner; a table with any real owner never lets owner 0
// match. Process id 0 is never the game.
OwnerDecision decideConnectionOwner(std::span<const TcpOwnerRow> rows, std::uint32_t gameProcessId,
                                    const LoopbackConnection& connection, bool allowUnreportedOwners);

}  // namespace nyra
