#include "ui/text_fit.h"

#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace nyra::ui {
namespace {

// A box that holds `limit` UTF-16 units; counts how often it was asked.
struct Box {
    std::size_t limit;
    int asked = 0;
    FitsBox fits() {
        return [this](std::u16string_view candidate) {
            ++asked;
            return candidate.size() <= limit;
        };
    }
};

std::string fitted(std::string_view text, std::size_t limit) {
    Box box{limit};
    return utf16ToUtf8(fitAtWord(utf8ToUtf16(text), box.fits()));
}

TEST(TextFit, CutsAfterAWholeWordWithAnEllipsis) {
    const struct {
        const char* text;
        std::size_t limit;
        const char* shown;
    } cases[] = {
        {"Clique em Jogar para entrar no mundo de Nyra Saga.", 60, "Clique em Jogar para entrar no mundo de Nyra Saga."},
        {"Clique em Jogar para entrar no mundo de Nyra Saga.", 50, "Clique em Jogar para entrar no mundo de Nyra Saga."},
        {"Clique em Jogar para entrar no mundo de Nyra Saga.", 49, "Clique em Jogar para entrar no mundo de Nyra..."},
        {"Clique em Jogar para entrar no mundo de Nyra Saga.", 46, "Clique em Jogar para entrar no mundo de..."},
        // Punctuation before the cut goes with it.
        {"Conferindo pacote 3/12 - nyra-003.pck | 5 / 480 MB", 30, "Conferindo pacote 3/12..."},
        {"Missoes especiais, recompensas em dobro", 30, "Missoes especiais..."},
        {"Atualizacao 5.5:  novas masmorras", 20, "Atualizacao 5.5..."},
        {"Tente novamente. O jogo nao foi aberto.", 20, "Tente novamente..."},
        // One word longer than the box: cut inside it.
        {"nyra-000000000000000000.pck", 10, "nyra-00..."},
        {"Palavra", 1, "..."},
        {"Palavra", 0, "..."},
        {"", 0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(fitted(c.text, c.limit), c.shown) << c.text << " in " << c.limit;
}

TEST(TextFit, NeverSplitsASurrogatePair) {
    // "ab" + U+1F319 (two UTF-16 units) + "cdef": the cut falls after "ab" rather than inside the pair.
    EXPECT_EQ(fitted("ab\xF0\x9F\x8C\x99" "cdef", 6), "ab...");  // "ab" + half the pair would fit
    EXPECT_EQ(fitted("ab\xF0\x9F\x8C\x99" "cdef", 7), "ab\xF0\x9F\x8C\x99...");
}

TEST(TextFit, LongTextsNeedFewMeasurements) {
    std::string summary;
    for (int i = 0; i < 200; ++i) summary += "palavra ";  // 1600 units, 200 words
    Box box{300};
    const std::u16string shown = fitAtWord(utf8ToUtf16(summary), box.fits());
    EXPECT_LE(shown.size(), 300u);
    EXPECT_TRUE(shown.ends_with(u"palavra...")) << utf16ToUtf8(shown);  // whole words only
    EXPECT_LE(box.asked, 10);
}

}  // namespace
}  // namespace nyra::ui
