#pragma once
// The fixed transport profile of every kind of traffic: user agent, time-outs (name resolution,
// connect, send, receive, in milliseconds) and request. Hosts come from the deployment constants.
#include <array>
#include <string_view>

namespace nyra {

struct TransportProfile {
    std::u16string_view userAgent;
    std::array<int, 4> timeoutsMs;
    std::u16string_view method;
    bool requireTls12;         // a refused TLS 1.2 option is a failure (otherwise ignored)
    bool ipv6FastFallback;
    bool cookiesOff;
};

inline constexpr TransportProfile kBackendProfile{u"NyraBrasil/3.0", {10000, 12000, 15000, 15000}, u"POST",
                                                  false, true, true};
inline constexpr TransportProfile kNewsProfile{u"NyraBrasil/3.0", {4000, 4000, 6000, 6000}, u"GET", false, true, true};
inline constexpr TransportProfile kCdnProfile{u"NyraBaseCDN/1.0", {5000, 5000, 15000, 15000}, u"GET", true, true, true};
inline constexpr TransportProfile kRelayProfile{u"NyraBrasil/GameRelay/1", {6000, 6000, 8000, 12000}, u"GET",
                                                true, true, true};
inline constexpr TransportProfile kDnsOverHttpsProfile{u"NyraBrasil/DNS/1", {3000, 3000, 3000, 3000}, u"GET",
                                                       false, false, false};

inline constexpr std::u16string_view kBackendPath = u"/client/v1";

}  // namespace nyra
