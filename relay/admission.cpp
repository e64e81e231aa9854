#include "relay/admission.h"

#include <algorithm>

namespace nyra {

OwnerDecision decideConnectionOwner(std::span<const TcpOwnerRow> rows, std::uint32_t gameProcessId,
                                    std::uint16_t clientPort, std::uint16_t listenerPort,
                                    bool allowUnreportedOwners) {
    if (gameProcessId == 0) return {};
    constexpr std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};
    const auto isThisConnection = [&](const TcpOwnerRow& row) {
        return row.localAddress == kLoopback && row.remoteAddress == kLoopback && row.localPort == clientPort &&
               row.remotePort == listenerPort;
    };
    for (const TcpOwnerRow& row : rows) {
        if (row.ownerPid == gameProcessId && isThisConnection(row)) return {true, false};
    }
    if (!allowUnreportedOwners || rows.empty()) return {};
    const bool noOwnersReported = std::all_of(rows.begin(), rows.end(), [](const TcpOwnerRow& row) {
        return row.ownerPid == 0;
    });
    if (noOwnersReported && std::any_of(rows.begin(), rows.end(), isThisConnection)) return {true, true};
    return {};
}

}  // namespace nyra
