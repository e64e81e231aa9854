#pragma once
// The connectivity fallback on Windows: the loopback CONNECT proxy, the DNS-over-HTTPS client and
// the system-resolver probe behind the process's route (fallbackRoute(), net/fallback_route.h).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nyra::dnsrescue {

// Winsock 2.2, started once for the process (the proxy lives until the process ends); false when
// it could not start.
bool winsockReady();

// Binds the proxy listener (exclusive use, 127.0.0.1, a port the system picks, backlog 32) and
// starts its accept thread, which runs for the life of the process. The port; 0 when Winsock, the
// socket, the bind, the listen or reading back the port failed (nothing is left open then).
std::uint16_t startProxyListener();

// Connection handlers running now (at most 64).
int activeTunnels();

// The addresses of a service host (lower case) through the DNS-over-HTTPS resolvers of this
// build, at most 8; the built-in edge addresses when no resolver answers. Cached for 5 minutes.
std::vector<std::string> resolveViaDoh(const std::string& host);

// Whether the system resolver resolves `host` (service "443", stream sockets) within
// `timeoutMs`; asked on a detached thread, so a resolver that answers later is harmless.
bool systemResolves(std::string_view host, std::uint32_t timeoutMs);

}  // namespace nyra::dnsrescue
