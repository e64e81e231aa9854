// The UTF-8 and UTF-16 conversions every outside text passes through on its way to the screen, a
// path or an event (catalog paths, news, notices, the player's name). Strict both ways: what one
// side accepts converts back to exactly the same units, so an overlong form, a surrogate written
// in UTF-8 or a lone surrogate in UTF-16 can never be accepted ("Texto invalido." instead).
#include <cstdint>
#include <optional>
#include <string>

#include "core/text.h"
#include "fuzz/fuzz_support.h"

using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view narrow = nyra::fuzz::textOf(data, size);
    std::optional<std::u16string> wide;
    try {
        wide = nyra::utf8ToUtf16(narrow);
    } catch (const std::runtime_error& error) {
        check(std::string_view(error.what()) == "Texto invalido.", "a conversion failure with another message");
    }
    if (wide) check(nyra::utf16ToUtf8(*wide) == narrow, "UTF-8 accepted that does not convert back to itself");

    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    std::optional<std::string> encoded;
    try {
        encoded = nyra::utf16ToUtf8(units);
    } catch (const std::runtime_error& error) {
        check(std::string_view(error.what()) == "Texto invalido.", "a conversion failure with another message");
    }
    if (encoded) check(nyra::utf8ToUtf16(*encoded) == units, "UTF-16 accepted that does not convert back to itself");
    return 0;
}
