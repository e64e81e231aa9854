// The signed description of a published launcher (`launcher_update` and `launcher_version` of
// the package policy, as JSON text): its rules and the 48-byte message its signature covers.
#include <cstdint>

#include "core/json_limits.h"
#include "fuzz/fuzz_support.h"
#include "update/launcher_description.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = nyra::fuzz::textOf(data, size);
    nlohmann::json policy;
    if (!accepts([&] {
            nyra::requireJsonNesting(text);
            policy = nlohmann::json::parse(text);
        })) {
        return 0;
    }
    nyra::fuzz::checkNestingBound(policy);
    nyra::update::LauncherDescription description;
    if (!accepts([&] { description = nyra::update::readLauncherDescription(policy); })) return 0;
    check(description.sha256.size() == 64 && description.size >= 65536 && description.size <= 134217728 &&
              !description.signature.empty(),
          "a launcher description out of its rules");
    const auto message = nyra::update::signedLauncherMessage(description);
    check(message[40] == static_cast<std::uint8_t>(description.size), "the signed message misses the size");
    return 0;
}
