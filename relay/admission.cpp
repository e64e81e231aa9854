#include "relay/admission.h"

#include <algorithm>

namespace nyra {

bool bothEndsAreLoopback(const LoopbackConnection& connection) noexcept {
    return connection.clientAddress == kLoopbackAddress && connection.listenerAddress == kLoopbackAddress;
}

OwnerDecision decideConnectionOwner(std::span<const TcpOwnerRow> rows, std::uint32_t gameProcessId,
                                    const LoopbackConnection& connection, bool allowUnreportedOwners) {
    if (!bothEndsAreLoopback(connection)) return {ConnectionOwner::Other, false};
    if (gameProcessId == 0) return {};
    const auto isThisConnection = [&](const TcpOwnerRow& row) {
        return row.localAddress == connection.clientAddress && row.localPort == connection.clientPort &&
               row.remoteAddress == connection.listenerAddress && row.remotePort == connection.listenerPort;
    };
    bool heldByAnother = false;
    for (const TcpOwnerRow& row : rows) {
        if (!isThisConnection(row)) continue;
        if (row.ownerPid == gameProcessId) return {ConnectionOwner::Game, false};
        if (row.ownerPid != 0) heldByAnother = true;
    }
    if (heldByAnother) return {ConnectionOwner::Other, false};
    if (!allowUnreportedOwners || rows.empty()) return {};
    const bool noOwnersReported = std::all_of(rows.begin(), rows.end(), [](const TcpOwnerRow& row) {
        return row.ownerPid == 0;
    });
    if (noOwnersReported && std::any_of(rows.begin(), rows.end(), isThisConnection)) {
        return {ConnectionOwner::Game, true};
    }
    return {};
}

}  // namespace nyra
