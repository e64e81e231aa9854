#pragma once
// Small rules of the language and display settings that the game inherits.
#include <optional>
#include <string_view>

namespace nyra {

// The game language variable is read into a buffer of this many characters (terminator
// included); a longer value does not fit and counts as Portuguese.
inline constexpr std::size_t kLanguageVariableBuffer = 16;

// "en" only when the variable is exactly "en"; anything else, absence included, is "pt-BR".
std::string_view languageOfVariable(std::optional<std::string_view> value);

// The refresh rate to store as the game's "ScreenFrequency" before a start: the display's rate
// when it is a high one (61 to 500 Hz) and the stored value is not already above 60 Hz;
// otherwise nothing is written.
std::optional<int> screenFrequencyToStore(int displayHz, int storedHz);

}  // namespace nyra
