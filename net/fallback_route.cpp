#include "net/fallback_route.h"

#include "net/dnsrescue.h"

#include <thread>

namespace nyra::dnsrescue {

void Route::decideOnce(std::string_view host) {
    std::call_once(decided_, [&] {
        if (host == "localhost") return;
        if (platform_.systemResolves(host, kProbeTimeoutMs)) return;
        if (!on_.load() && startListener()) on_.store(true);
    });
}

bool Route::enable() {
    if (on_.load()) return true;
    if (!startListener()) return false;
    on_.store(true);
    return true;
}

bool Route::startListener() {
    const std::lock_guard lock(listenerMutex_);
    if (port_.load() != 0) return true;
    const std::uint16_t port = platform_.startProxyListener();
    if (port == 0) return false;
    port_.store(port);
    return true;
}

std::shared_ptr<ProbeState> startProbe(std::string host, std::function<bool(const std::string&)> resolve) {
    auto state = std::make_shared<ProbeState>();
    std::thread([state, host = std::move(host), resolve = std::move(resolve)] {
        bool resolved = false;
        try {
            resolved = resolve(host);
        } catch (...) {
            resolved = false;
        }
        state->result.store(resolved ? 1 : 0);
    }).detach();
    return state;
}

bool awaitProbe(const ProbeState& state, Clock& clock, std::uint32_t timeoutMs) {
    const std::uint64_t start = clock.tickMs();
    for (;;) {
        const int result = state.result.load();
        if (result >= 0) return result == 1;
        const std::uint64_t now = clock.tickMs();
        if (now < start || now - start >= timeoutMs) return false;
        clock.sleepMs(kProbePollMs);
    }
}

}  // namespace nyra::dnsrescue
