// A DNS-over-HTTPS resolver's JSON answer, as the fallback's resolver client reads it: whatever the
// body, at most 8 addresses come out, each a strict dotted-quad IPv4 literal of at most 15
// characters, and a body beyond the 65536-byte limit yields none.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/dnsrescue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace rescue = nyra::dnsrescue;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto addresses = rescue::readDohAnswer(body);
    if (addresses.size() > rescue::kMaxAddresses) std::abort();
    if (size > rescue::kMaxDohAnswer && !addresses.empty()) std::abort();
    for (const auto& address : addresses) {
        if (address.size() > 15 || !rescue::isIpv4Literal(address)) std::abort();
    }
    return 0;
}
