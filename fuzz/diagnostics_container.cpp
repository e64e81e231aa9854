// A protected diagnostics file ("NYRADG01" and the protected envelope) read back: the container
// frame, then the envelope once the platform has unprotected it (here it is the stored bytes
// themselves). A record that opens must seal and open again as the same record.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "state/protected_diagnostics.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

namespace {

struct PlainProtector final : nyra::DiagnosticProtector {
    std::string protect(std::string_view plain, std::string_view) override { return std::string(plain); }
    std::string unprotect(std::string_view blob, std::string_view) override { return std::string(blob); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto kind = (data[0] & 1) != 0 ? nyra::DiagnosticKind::Verification : nyra::DiagnosticKind::Launch;
    const std::string_view container = nyra::fuzz::textOf(data + 1, size - 1);
    PlainProtector protector;
    const std::string origin = nyra::diagnosticOrigin();
    nlohmann::json record;
    if (!accepts([&] { record = nyra::openDiagnostic(protector, kind, origin, container); })) return 0;
    std::string sealed;
    if (!accepts([&] { sealed = nyra::sealConfirmedDiagnostic(protector, kind, origin, record); })) return 0;
    check(nyra::openDiagnostic(protector, kind, origin, sealed) == record, "a sealed record opens differently");
    return 0;
}
