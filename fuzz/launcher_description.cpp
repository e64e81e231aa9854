// The signed description of a published launcher (`launcher_update` and `launcher_version` of
// the package policy, as JSON text): its rules, and the 48-byte message its signature must cover.
// The signature check is the platform's; here it accepts signatures of even length, so that both
// outcomes are reached, and records the message it was asked about.
#include <cstdint>
#include <optional>
#include <vector>

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
    std::optional<std::vector<std::uint8_t>> asked;
    const nyra::update::SignatureCheck verify = [&](std::span<const std::uint8_t> message,
                                                    std::span<const std::uint8_t> signature) {
        asked.emplace(message.begin(), message.end());
        return signature.size() % 2 == 0;
    };
    nyra::update::LauncherDescription description;
    if (!accepts([&] { description = nyra::update::publishedLauncherUpdate(policy, verify); })) return 0;
    check(description.sha256.size() == 64 && description.size >= nyra::update::kMinLauncherSize &&
              description.size <= nyra::update::kMaxLauncherSize && !description.version.empty(),
          "a launcher description out of its rules");
    const auto message = nyra::update::signedLauncherMessage(description);
    check(asked && std::equal(asked->begin(), asked->end(), message.begin(), message.end()),
          "the signature was checked over another message than the description's");
    return 0;
}
