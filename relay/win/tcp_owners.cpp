#include "relay/win/tcp_owners.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace nyra {
namespace {

#if NYRA_FLAVOUR_DEVELOPMENT
constexpr bool kAllowUnreportedOwners = true;
#else
constexpr bool kAllowUnreportedOwners = false;
#endif

}  // namespace

std::optional<std::vector<TcpOwnerRow>> readTcpOwnerTable() {
    DWORD size = 0;
    if (::GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0) != ERROR_INSUFFICIENT_BUFFER ||
        size == 0 || size > kMaxTcpOwnerTableBytes) {
        return std::nullopt;
    }
    // Connections may appear between the two calls: room for a few more rows.
    size += 16 * static_cast<DWORD>(sizeof(MIB_TCPROW_OWNER_PID));
    std::vector<std::uint8_t> buffer(size);
    if (::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0) != NO_ERROR) {
        return std::nullopt;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    const std::size_t fits = (size - offsetof(MIB_TCPTABLE_OWNER_PID, table)) / sizeof(MIB_TCPROW_OWNER_PID);
    std::vector<TcpOwnerRow> rows;
    rows.reserve(std::min<std::size_t>(table->dwNumEntries, fits));
    for (std::size_t i = 0; i < table->dwNumEntries && i < fits; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        TcpOwnerRow converted;
        converted.ownerPid = row.dwOwningPid;
        std::memcpy(converted.localAddress.data(), &row.dwLocalAddr, 4);  // network order, as the table holds it
        converted.localPort = ntohs(static_cast<u_short>(row.dwLocalPort));
        std::memcpy(converted.remoteAddress.data(), &row.dwRemoteAddr, 4);
        converted.remotePort = ntohs(static_cast<u_short>(row.dwRemotePort));
        rows.push_back(converted);
    }
    return rows;
}

ConnectionOwner connectionOwnerOf(std::uint32_t gameProcessId, const LoopbackConnection& connection) {
    if (!bothEndsAreLoopback(connection)) return ConnectionOwner::Other;
    if (gameProcessId == 0) return ConnectionOwner::NotListed;
    const auto rows = readTcpOwnerTable();
    if (!rows) return ConnectionOwner::NotListed;
    const OwnerDecision decision = decideConnectionOwner(*rows, gameProcessId, connection, kAllowUnreportedOwners);
#if NYRA_FLAVOUR_DEVELOPMENT
    static std::atomic<bool> said{false};
    if (decision.unreportedOwnerFallback && !said.exchange(true)) {
        ::OutputDebugStringA("nyra relay: this system reports no connection owners; "
                             "admitting loopback connections by address and port alone (development build)\n");
    }
#endif
    return decision.owner;
}

}  // namespace nyra
