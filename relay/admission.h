#pragma once
// Whether a loopback connection to a relay listener belongs to the game process, decided from the
// system's TCP owner table. The shell reads the table; this is the rule it applies to the rows.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nyra {

// One row of the IPv4 TCP owner table. Addresses in network order as the table holds them
// ({127, 0, 0, 1} is loopback); ports as numbers.
struct TcpOwnerRow {
    std::uint32_t ownerPid = 0;
    std::array<std::uint8_t, 4> localAddress{};
    std::uint16_t localPort = 0;
    std::array<std::uint8_t, 4> remoteAddress{};
    std::uint16_t remotePort = 0;
};

// The table is read only when the system asks for at most this many bytes.
inline constexpr std::size_t kMaxTcpOwnerTableBytes = 4194304;

struct OwnerDecision {
    bool owned = false;
    // The row matched by addresses and ports alone because the platform reports no owners.
    bool unreportedOwnerFallback = false;
};

// Owned when a row is the game's end of this very connection: owner `gameProcessId`, both
// addresses 127.0.0.1, local port `clientPort`, remote port `listenerPort`. With
// `allowUnreportedOwners` (development builds only) and every row reporting owner 0, a row with
// those addresses and ports matches whatever its owner; a table with any real owner never lets
// owner 0 match. Process id 0 is never the game.
OwnerDecision decideConnectionOwner(std::span<const TcpOwnerRow> rows, std::uint32_t gameProcessId,
                                    std::uint16_t clientPort, std::uint16_t listenerPort,
                                    bool allowUnreportedOwners);

}  // namespace nyra
