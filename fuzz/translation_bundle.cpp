// The game's translation bundle, as it comes from the backend or out of the protected cache: the
// format check and the order of obtaining it (cache first, then the fetch). The fuzz bytes are
// both the unprotected cache content and the fetched body.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "state/translations.h"

namespace {

using nyra::fuzz::check;

const std::string kTag(64, 'a');

struct OneFileCache final : nyra::TranslationCache {
    std::vector<std::uint8_t> content;
    bool written = false;
    std::optional<std::vector<std::uint8_t>> read(std::string_view) override { return content; }
    bool write(std::string_view, std::span<const std::uint8_t> blob) override {
        written = true;
        content.assign(blob.begin(), blob.end());
        return true;
    }
};

// Opens only what it was given for the same binding, like the platform's protection.
struct PlainProtector final : nyra::UserDataProtector {
    std::optional<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> plain, std::string_view) override {
        return std::vector<std::uint8_t>(plain.begin(), plain.end());
    }
    std::optional<std::vector<std::uint8_t>> unprotect(std::span<const std::uint8_t> blob, std::string_view) override {
        return std::vector<std::uint8_t>(blob.begin(), blob.end());
    }
};

// The entries of an accepted bundle, walked independently of the checker.
void checkEntries(std::span<const std::uint8_t> bundle) {
    auto number = [&](std::size_t at, std::size_t width) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{bundle[at + i]} << (8 * i);
        return value;
    };
    std::size_t at = 12;
    for (std::uint64_t left = number(8, 4); left > 0; --left) {
        const std::size_t nameLength = number(at, 2);
        const std::string name(bundle.begin() + static_cast<std::ptrdiff_t>(at + 2),
                               bundle.begin() + static_cast<std::ptrdiff_t>(at + 2 + nameLength));
        check(name.starts_with("data/db/T_") && name.ends_with(".ini") && name.size() >= 15, "an entry name out of rule");
        at += 2 + nameLength;
        const std::uint64_t dataLength = number(at, 4);
        check(dataLength >= 1 && dataLength <= 16777216, "an entry length out of rule");
        at += 4 + dataLength;
    }
    check(at == bundle.size(), "bytes after the last entry");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const bool valid = nyra::isTranslationBundle(bytes);
    if (valid) checkEntries(bytes);

    OneFileCache cache;
    cache.content.assign(bytes.begin(), bytes.end());
    PlainProtector protector;
    int fetches = 0;
    const nyra::TranslationFetch fetch = [&](std::string_view) {
        ++fetches;
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    };
    if (valid) {
        const auto bundle = nyra::obtainTranslationBundle(cache, protector, fetch, kTag, "player", "en");
        check(fetches == 0 && bundle.size() == size, "a valid cached bundle was not used as it is");
    } else {
        nyra::fuzz::expectMessage(nyra::kTranslationsInvalidText, [&] {
            (void)nyra::obtainTranslationBundle(cache, protector, fetch, kTag, "player", "pt-BR");
        });
        check(fetches == 1 && !cache.written, "an invalid bundle reached the cache");
    }
    return 0;
}
