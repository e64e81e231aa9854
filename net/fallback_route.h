#pragma once
// The process-wide route decision of the connectivity fallback, as the transport sees it: whether
// sessions go through the loopback CONNECT proxy, and the one way to switch it on.
#include <cstdint>
#include <string_view>

namespace nyra {

class FallbackRoute {
public:
    virtual ~FallbackRoute() = default;
    // Runs the one-time route decision for the first host that opens a session.
    virtual void decideOnce(std::string_view host) = 0;
    virtual bool on() const = 0;
    virtual std::uint16_t proxyPort() const = 0;
    // True when the route is (now) on; false when the proxy could not start.
    virtual bool enable() = 0;
};

// The route of this build: direct sessions only. The loopback proxy is not part of it, so switching
// the route on reports that the proxy could not start and name-resolution failures reach the
// player as such.
class DirectRouteOnly final : public FallbackRoute {
public:
    void decideOnce(std::string_view) override {}
    bool on() const override { return false; }
    std::uint16_t proxyPort() const override { return 0; }
    bool enable() override { return false; }
};

FallbackRoute& fallbackRoute();

}  // namespace nyra
