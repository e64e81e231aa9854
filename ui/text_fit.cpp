#include "ui/text_fit.h"

#include <vector>

namespace nyra::ui {
namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\u00A0' || c == u'\t' || c == u'\n'; }

// Punctuation the ellipsis replaces: "mundo,..." or "novamente...." read worse than without it.
bool isSeparator(char16_t c) {
    return c == u',' || c == u';' || c == u':' || c == u'.' || c == u'-' || c == u'|' || c == u'/' ||
           c == u'\u00B7' || c == u'(' || c == u'\u2013' || c == u'\u2014';
}

std::u16string withEllipsis(std::u16string_view text, std::size_t length) {
    std::size_t end = length;
    while (end > 0 && (isBlank(text[end - 1]) || isSeparator(text[end - 1]))) --end;
    std::u16string out(text.substr(0, end));
    out.append(kEllipsis);
    return out;
}

bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The largest index in [0, count) whose candidate fits, or count when none does; fitting is taken
// to be monotonic (a longer run never fits where a shorter one did not).
template <typename Candidate>
std::size_t lastFitting(std::size_t count, const Candidate& candidate, const FitsBox& fits) {
    std::size_t low = 0, high = count;  // answer in [low, high); high == count: none found yet
    std::size_t best = count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (fits(candidate(middle))) {
            best = middle;
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return best;
}

}  // namespace

std::u16string fitAtWord(std::u16string_view text, const FitsBox& fits) {
    if (fits(text)) return std::u16string(text);

    // Word ends: every position where a blank follows a non-blank.
    std::vector<std::size_t> wordEnds;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (isBlank(text[i]) && !isBlank(text[i - 1])) wordEnds.push_back(i);
    }
    const auto byWords = [&](std::size_t k) { return withEllipsis(text, wordEnds[k]); };
    const std::size_t words = lastFitting(wordEnds.size(), byWords, fits);
    if (words < wordEnds.size()) return byWords(words);

    // Not even one word fits: cut inside it, at a character.
    const auto byCharacters = [&](std::size_t k) {
        std::size_t length = k + 1;
        if (length < text.size() && isLowSurrogate(text[length])) --length;  // keep the pair whole
        std::u16string out(text.substr(0, length));
        out.append(kEllipsis);
        return out;
    };
    const std::size_t characters = lastFitting(text.size(), byCharacters, fits);
    if (characters < text.size()) return byCharacters(characters);
    return std::u16string(kEllipsis);
}

}  // namespace nyra::ui
