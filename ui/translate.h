#pragma once
// Screen texts are written in Portuguese; in English they pass through one table of exact pairs
// and a few prefix and substring rules, so that texts built at run time (status lines with
// numbers, file names, category labels with dates) are translated around their variable parts.
#include <string>
#include <string_view>

namespace nyra {

// The English text of a Portuguese screen text (UTF-8) when `english` is set (the UI language
// flag, UiStore::uiEnglish()); otherwise, and for texts that match no rule (user names, file
// names, numbers, server messages), the text unchanged.
std::string TranslateForDisplay(std::string_view text, bool english);

// The same for UTF-16 screen texts. Text that is not valid UTF-16 comes back unchanged.
std::u16string TranslateForDisplay(std::u16string_view text, bool english);

}  // namespace nyra
