#include "net/win/dnsrescue.h"

#include "core/win/shell_adapters.h"
#include "net/fallback_route.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

namespace nyra {
namespace dnsrescue {

bool winsockReady() {
    // Started once and never cleaned up: the proxy and its threads live as long as the process.
    static const bool ready = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

bool systemResolves(std::string_view host, std::uint32_t timeoutMs) {
    if (!winsockReady()) return false;
    std::shared_ptr<ProbeState> probe;
    try {
        probe = startProbe(std::string(host), [](const std::string& name) {
            ADDRINFOA hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            ADDRINFOA* found = nullptr;
            const int result = ::getaddrinfo(name.c_str(), "443", &hints, &found);
            if (found != nullptr) ::freeaddrinfo(found);
            return result == 0;
        });
    } catch (const std::exception&) {
        return false;  // no thread for the probe: treat the resolver as failing
    }
    SystemClock clock;
    return awaitProbe(*probe, clock, timeoutMs);
}

namespace {

class WindowsRoutePlatform final : public RoutePlatform {
public:
    bool systemResolves(std::string_view host, std::uint32_t timeoutMs) override {
        return dnsrescue::systemResolves(host, timeoutMs);
    }
    std::uint16_t startProxyListener() override { return dnsrescue::startProxyListener(); }
};

}  // namespace
}  // namespace dnsrescue

FallbackRoute& fallbackRoute() {
    static dnsrescue::WindowsRoutePlatform platform;
    static dnsrescue::Route route(platform);
    return route;
}

}  // namespace nyra
