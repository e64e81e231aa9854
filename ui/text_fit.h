#pragma once
// Texts that do not fit their box are cut after a whole word and end in an ellipsis ("..."), so a
// player never reads half a word. The measuring is the caller's (GDI+ with the real fonts); the
// choice of where to cut is here, where it can be checked without a window.
#include <functional>
#include <string>
#include <string_view>

namespace nyra::ui {

// Three full stops: the embedded fonts draw U+2026 as centred dots, the way East Asian text uses
// it, which reads oddly after Latin words.
inline constexpr std::u16string_view kEllipsis = u"...";

// Whether a candidate text fits the box it is meant for.
using FitsBox = std::function<bool(std::u16string_view candidate)>;

// The text itself when it fits; else the longest run of whole words that fits with the ellipsis
// after it (trailing blanks and punctuation dropped before it); else, when not even the first
// word fits, the longest run of characters that fits with the ellipsis (a surrogate pair is never
// split); else the ellipsis alone. Needs about log2(words) + log2(characters) measurements.
std::u16string fitAtWord(std::u16string_view text, const FitsBox& fits);

}  // namespace nyra::ui
