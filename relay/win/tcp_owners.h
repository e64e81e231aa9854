#pragma once
// The IPv4 TCP connection table with each connection's owning process, as the admission test of
// the relay reads it.
#include <cstdint>
#include <optional>
#include <vector>

#include "relay/admission.h"

namespace nyra {

// The table from GetExtendedTcpTable (TCP_TABLE_OWNER_PID_ALL); nullopt when the size query does
// not report an insufficient buffer, the table would exceed 4194304 bytes, or reading it fails.
std::optional<std::vector<TcpOwnerRow>> readTcpOwnerTable();

// The product's admission test: the table above, the owner rule, and on a development build the
// one tolerance for platforms that report no owners at all (said once on the debug output).
ConnectionOwner connectionOwnerOf(std::uint32_t gameProcessId, const LoopbackConnection& connection);

}  // namespace nyra
