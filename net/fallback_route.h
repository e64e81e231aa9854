#pragma once
// The process-wide route decision of the connectivity fallback, as the transport sees it: whether
// sessions go through the loopback CONNECT proxy, and the one way to switch it on.
#include "core/clock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace nyra {

class FallbackRoute {
public:
    virtual ~FallbackRoute() = default;
    // Runs the one-time route decision for the first host that opens a session; later calls, for
    // any host, do nothing.
    virtual void decideOnce(std::string_view host) = 0;
    virtual bool on() const = 0;
    virtual std::uint16_t proxyPort() const = 0;
    // True when the route is (now) on; false when the proxy could not start.
    virtual bool enable() = 0;
};

// The route of this process (the loopback proxy and the system resolver of net/win/).
FallbackRoute& fallbackRoute();

namespace dnsrescue {

// What the route needs from the platform.
class RoutePlatform {
public:
    virtual ~RoutePlatform() = default;
    // Whether the system resolver resolves `host` within `timeoutMs`.
    virtual bool systemResolves(std::string_view host, std::uint32_t timeoutMs) = 0;
    // Binds and starts the proxy listener; its port, or 0 when it could not start.
    virtual std::uint16_t startProxyListener() = 0;
};

// The flag (off at start, set at most once, never cleared), the proxy port (written once when the
// listener is bound) and the run-once decision. The flag and port are read without locks; the
// listener start is serialised so that two callers never start two listeners.
class Route final : public FallbackRoute {
public:
    explicit Route(RoutePlatform& platform) : platform_(platform) {}

    void decideOnce(std::string_view host) override;
    bool on() const override { return on_.load(); }
    std::uint16_t proxyPort() const override { return port_.load(); }
    bool enable() override;

private:
    bool startListener();

    RoutePlatform& platform_;
    std::once_flag decided_;
    std::mutex listenerMutex_;
    std::atomic<bool> on_{false};
    std::atomic<std::uint16_t> port_{0};
};

// The system-resolver probe's result, shared by reference count between the waiting caller and
// the detached thread that asks the resolver: a probe that outlives the wait ends harmlessly.
struct ProbeState {
    std::atomic<int> result{-1};  // -1 pending, 0 failed, 1 resolved
};

// Starts a detached thread that records `resolve(host)` in the returned state.
std::shared_ptr<ProbeState> startProbe(std::string host, std::function<bool(const std::string&)> resolve);

// Polls the state every 50 ms for up to `timeoutMs`: true only for a state of 1 within that time;
// a failure, or the time running out, is false.
bool awaitProbe(const ProbeState& state, Clock& clock, std::uint32_t timeoutMs);

}  // namespace dnsrescue
}  // namespace nyra
