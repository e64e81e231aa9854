#pragma once
// The production service's names, resolver table and edge addresses: the production flavour's, and
// the fallback test flavour's, which must reach the same names the same way.
#include <array>
#include <string_view>

#include "core/deployment.h"

namespace nyra::production {

inline constexpr std::string_view kBackendHost = "api.nyra-brasil.example";
inline constexpr std::string_view kCdnHost = "cdn.nyra-brasil.example";
inline constexpr std::string_view kPortalHost = "portal.nyra-brasil.example";
inline constexpr std::string_view kNewsHost = "news.nyra-brasil.example";
inline constexpr std::string_view kServiceDomainSuffix = ".nyra-brasil.example";
// Two public DNS-over-HTTPS providers, two addresses each, as they publish them.
inline constexpr std::array<DohResolver, 4> kDohResolvers{{{"1.1.1.1", "/dns-query?name="},
                                                          {"1.0.0.1", "/dns-query?name="},
                                                          {"8.8.8.8", "/resolve?name="},
                                                          {"8.8.4.4", "/resolve?name="}}};
// The service's edge, used only when no resolver answers.
inline constexpr std::array<std::string_view, 2> kEdgeAddresses{"203.0.113.10", "203.0.113.11"};

}  // namespace nyra::production
