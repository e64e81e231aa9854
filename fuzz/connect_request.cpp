// The loopback proxy's reading of a CONNECT request: the bytes a local program sends, read the way
// the proxy reads them (one at a time until the blank line or 4096 bytes), then the target rule.
// Whatever comes in, an accepted target is a lower-case host under the service suffix that passes
// the host rule, and nothing else ever reaches the resolver.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/deployment.h"
#include "net/dnsrescue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace rescue = nyra::dnsrescue;
    const std::string_view suffix = nyra::deployment().serviceDomainSuffix;
    std::string request;
    for (size_t i = 0; i < size && !rescue::connectRequestComplete(request); ++i) {
        request.push_back(static_cast<char>(data[i]));
    }
    if (request.size() > rescue::kMaxConnectRequest) std::abort();
    const auto host = rescue::connectTarget(request, suffix);
    if (!host) return 0;
    if (!rescue::hostAllowed(*host, suffix) || !host->ends_with(suffix) || host->size() < 15 || host->size() > 253) {
        std::abort();
    }
    for (const char c : *host) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.')) std::abort();
    }
    if (host->find("..") != std::string::npos) std::abort();
    // The request named exactly this host (any case) on port 443.
    if (request.size() < 8 + host->size() + 4 || request.compare(8 + host->size(), 4, ":443") != 0) std::abort();
    return 0;
}
