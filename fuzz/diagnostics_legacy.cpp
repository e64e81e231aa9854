// The plain JSON diagnostics of older launchers ("last-launch.json", "last-verification.json") as
// the one-time conversion reads them: the one reader of outside JSON texts, then sealing with the
// confirmation that the sealed file opens as the same record.
#include <cstdint>
#include <string>

#include "core/json_limits.h"
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
    if (size > nyra::kLegacyDiagnosticLimit) return 0;
    const std::string_view text = nyra::fuzz::textOf(data, size);
    const nlohmann::json record = nyra::readJsonText(text);
    if (record.is_discarded()) return 0;
    nyra::fuzz::checkNestingBound(record);
    PlainProtector protector;
    const std::string origin = nyra::diagnosticOrigin();
    for (const auto kind : {nyra::DiagnosticKind::Launch, nyra::DiagnosticKind::Verification}) {
        std::string sealed;
        if (!accepts([&] { sealed = nyra::sealConfirmedDiagnostic(protector, kind, origin, record); })) continue;
        check(nyra::openDiagnostic(protector, kind, origin, sealed) == record, "a converted record opens differently");
    }
    return 0;
}
