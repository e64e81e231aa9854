// "preferences.json" as the launcher reads it at start-up, and the language switch that rewrites
// it keeping every other member: a file the reader accepts must still read back the same after
// either write.
#include <cstdint>
#include <optional>
#include <string>

#include "core/preferences.h"
#include "fuzz/fuzz_support.h"

using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > nyra::kPreferencesLimit) return 0;  // the reader never passes more on
    const std::string text(nyra::fuzz::textOf(data, size));
    const std::optional<nyra::Preferences> read = nyra::parsePreferences(text);

    if (read) {
        const auto again = nyra::parsePreferences(nyra::preferencesDocument(*read).dump());
        check(again && *again == *read, "the written preferences read back differently");
    }
    for (const bool english : {false, true}) {
        const std::string rewritten = nyra::preferencesTextWithLanguage(text, english);
        const auto after = nyra::parsePreferences(rewritten);
        if (read) {
            nyra::Preferences expected = *read;
            expected.english = english;
            check(after && *after == expected, "the language switch changed or lost other choices");
        } else {
            check(!after || after->english == english, "the language switch did not store the language");
        }
    }
    return 0;
}
