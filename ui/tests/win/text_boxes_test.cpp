// The texts the launcher writes itself fit their boxes whole in both languages, measured with
// GDI+ and the fonts carried in Launcher.exe; texts from outside (news, server messages) that are
// too long are cut after a word with "...".
#include <gtest/gtest.h>

#include "core/text.h"
#include "net/operations.h"
#include "net/tests/win/service_fixture.h"
#include "ui/layout.h"
#include "ui/translate.h"
#include "ui/win/news_fetch.h"
#include "ui/win/paint.h"
#include "ui/tests/shown_texts.h"
#include "ui_test_support.h"

#include <cctype>
#include <memory>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

using ui::layout::TextBox;

// A graphics context with the rendering settings of a frame at scale 1, for measuring.
class Measure {
public:
    Measure() : bitmap_(64, 64, PixelFormat32bppPARGB), graphics_(&bitmap_), fonts_(&resources_.assets().fonts()) {
        canvas_ = std::make_unique<ui::Canvas>(graphics_, fonts_, inputs_);
        canvas_->applySettings(1.0);
    }

    // MeasureString with the label's font and wrapping, straight from GDI+: one line's width
    // (no wrap) or the height of the lines the text wraps into within the box's width.
    Gdiplus::SizeF size(const std::string& text, const TextBox& box) {
        const std::wstring wide = ui::toWide(text);
        const Gdiplus::Font* font = fonts_.font(box.bold, box.size);
        Gdiplus::StringFormat format;
        format.SetFormatFlags(box.wrap ? Gdiplus::StringFormatFlagsLineLimit : Gdiplus::StringFormatFlagsNoWrap);
        Gdiplus::RectF bounds;
        const Gdiplus::RectF layout(0, 0, box.wrap ? static_cast<float>(box.rect.w) : 100000.0f, 100000.0f);
        EXPECT_EQ(graphics_.MeasureString(wide.c_str(), static_cast<INT>(wide.size()), font, layout, &format, &bounds),
                  Gdiplus::Ok);
        return {bounds.Width, bounds.Height};
    }

    // Whole: the one line is no wider than the box, or the wrapped lines are no taller.
    void expectWhole(const std::string& text, const TextBox& box, const char* where) {
        const Gdiplus::SizeF measured = size(text, box);
        EXPECT_GT(measured.Width, 0) << text;
        if (box.wrap) {
            EXPECT_LE(measured.Height, box.rect.h + 0.01) << where << ": \"" << text << "\" needs " << measured.Height
                                                          << " px of height, the box has " << box.rect.h;
        } else {
            EXPECT_LE(measured.Width, box.rect.w + 0.01) << where << ": \"" << text << "\" needs " << measured.Width
                                                         << " px of width, the box has " << box.rect.w;
        }
    }

    // What a label of this box shows for the text.
    std::string shown(const std::string& text, const TextBox& box) {
        const std::wstring fitted = ui::FitLabelText(*canvas_, ui::toWide(text), static_cast<float>(box.rect.w),
                                                     static_cast<float>(box.rect.h), box.size, box.bold, box.wrap);
        return utf16ToUtf8(std::u16string(fitted.begin(), fitted.end()));
    }

    ui::Canvas& canvas() { return *canvas_; }

private:
    UiResources& resources_ = UiResources::get();  // GDI+ runs before anything below is made
    Gdiplus::Bitmap bitmap_;
    Gdiplus::Graphics graphics_;
    ui::FontSet fonts_;
    ui::PaintInputs inputs_;
    std::unique_ptr<ui::Canvas> canvas_;
};

// A text cut short keeps whole words only: what follows the kept part is no letter or digit.
bool cutAfterAWord(const std::string& original, const std::string& shown) {
    if (!shown.ends_with("...")) return false;
    const std::string kept = shown.substr(0, shown.size() - 3);
    if (!original.starts_with(kept) || kept.size() >= original.size()) return false;
    const char next = original[kept.size()];
    return !(std::isalnum(static_cast<unsigned char>(next)) || (static_cast<unsigned char>(next) & 0x80) != 0);
}

// Each text in Portuguese and in English.
template <typename F>
void inBothLanguages(const std::vector<std::string>& texts, F check) {
    for (const std::string& text : texts) {
        check(text);
        check(TranslateForDisplay(text, true));
    }
}

TEST(TextBoxes, TheLaunchersOwnTextsFitWhole) {
    Measure measure;
    namespace layout = ui::layout;
    std::vector<std::string> detail = statusTexts();
    for (const std::string& notice : noticeTexts()) detail.push_back(notice);
    inBothLanguages(detail, [&](const std::string& t) { measure.expectWhole(t, layout::kStatusDetail, "status detail"); });
    inBothLanguages(statusTitles(), [&](const std::string& t) { measure.expectWhole(t, layout::kStatusTitle, "status title"); });
    measure.expectWhole("100%", layout::kStatusPercent, "percentage");
    inBothLanguages(splashTexts(), [&](const std::string& t) { measure.expectWhole(t, layout::kSplashStatus, "splash"); });

    inBothLanguages({"Bem-vindo de volta,"},
                    [&](const std::string& t) { measure.expectWhole(t, layout::kSignedInGreeting, "greeting"); });
    // The longest user name (20 characters) of the widest letter, at the smallest size a name takes.
    TextBox smallestName = layout::kSignedInName;
    smallestName.size = layout::kSignedInNameSmallest;
    measure.expectWhole(std::string(20, 'W'), smallestName, "user name");
    inBothLanguages(signedInLines(), [&](const std::string& t) { measure.expectWhole(t, layout::kSignedInLine, "signed-in line"); });
    inBothLanguages({std::string(ui::kSignedInFooterText)},
                    [&](const std::string& t) { measure.expectWhole(t, layout::kSignedInFooter, "footer"); });
    inBothLanguages({"JOGO: 10.20.3040"}, [&](const std::string& t) { measure.expectWhole(t, layout::kGameVersionLine, "game version"); });
    measure.expectWhole("LAUNCHER 10.20.3040", layout::kLauncherVersionLine, "launcher version");
    inBothLanguages({"Mais notícias no portal e no Discord da comunidade."},
                    [&](const std::string& t) { measure.expectWhole(t, layout::kNewsOnlyItemLine, "only-item line"); });
}

// The featured item shows its title whole (one line, else two); its summary, the rows' titles
// (written by the portal's editors, of any length) show whole or cut after a word; the caption
// (category and date) fits.
void expectNewsFits(Measure& measure, const NewsItem& item) {
    namespace layout = ui::layout;
    for (const bool english : {false, true}) {
        const std::string title = TranslateForDisplay(item.title, english);
        const bool oneLine = measure.size(title, layout::kNewsTitleOneLine).Width <= layout::kNewsTitleOneLine.rect.w;
        if (!oneLine) measure.expectWhole(title, layout::kNewsTitleTwoLines, "featured title");
        measure.expectWhole(TranslateForDisplay(ui::newsRowCaption(item), english), layout::newsRowCaption(1), "row caption");

        const struct {
            std::string text;
            TextBox box;
        } cut[] = {
            {TranslateForDisplay(item.summary, english),
             oneLine ? layout::kNewsSummaryAfterOneLine : layout::kNewsSummaryAfterTwoLines},
            {title, layout::newsRowTitle(1)},
        };
        for (const auto& c : cut) {
            const std::string shown = measure.shown(c.text, c.box);
            measure.expectWhole(shown, c.box, "news text");
            if (shown != c.text) {
                EXPECT_TRUE(cutAfterAWord(c.text, shown)) << c.text << " -> " << shown;
            }
        }
    }
}

TEST(TextBoxes, TheBuiltInNewsItemFits) {
    Measure measure;
    expectNewsFits(measure, ui::builtInNewsItem());
}

class StandInNews : public ServiceTest {};

TEST_F(StandInNews, TheSampleNewsFit) {
    Measure measure;
    const auto items = ui::fetchNews();
    ASSERT_FALSE(items.empty());
    for (const NewsItem& item : items) expectNewsFits(measure, item);
}

// The failures a job leaves in the status line, with their diagnostic suffix, are read whole:
// too long for two lines at the box's size, they are drawn smaller, never below the smallest size.
TEST(TextBoxes, FailureTextsInTheStatusLineAreDrawnSmallerRatherThanCut) {
    Measure measure;
    namespace layout = ui::layout;
    std::vector<std::string> failures;
    for (const char* stage : {"certificado", "envio", "resposta"}) {
        for (const unsigned long code : {12002ul, 12007ul, 12029ul, 12030ul, 12175ul, 4294967295ul}) {
            failures.push_back(api::describeTransportFailure(stage, code));
        }
    }
    failures.push_back(api::statusMessage(api::lookupOperation("/api/launcher/packages/nyra-999.pck"),
                                          "/api/launcher/packages/nyra-999.pck", 404));
    failures.emplace_back(
        "O servidor ainda nao publicou a atualizacao assinada do launcher. Tente novamente em instantes.");
    const auto& r = layout::kStatusDetail.rect;
    const ui::Box detail{static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.w),
                         static_cast<float>(r.h)};
    const auto drawnSize = [&](const std::string& text) {
        return ui::TextBlockSize(measure.canvas(), ui::toWide(text), detail, layout::kStatusDetail.size,
                                 layout::kStatusDetailSmallest, layout::kStatusDetail.bold);
    };
    for (const std::string& text : failures) {
        const float size = drawnSize(text);
        EXPECT_GE(size, layout::kStatusDetailSmallest) << text;
        TextBox drawn = layout::kStatusDetail;
        drawn.size = size;
        measure.expectWhole(text, drawn, "status detail, drawn smaller");
    }
    // The launcher's own status texts keep the box's size.
    for (const std::string& text : statusTexts()) {
        EXPECT_EQ(drawnSize(text), layout::kStatusDetail.size) << text;
    }
}

// Texts from outside can be any length: what does not fit is cut after its last whole word.
TEST(TextBoxes, TooLongTextsAreCutAfterAWordWithAnEllipsis) {
    Measure measure;
    namespace layout = ui::layout;
    const struct {
        std::string text;
        TextBox box;
        std::string shown;
    } cases[] = {
        {"Atualizacao 5.5: novas masmorras nos Jardins Suspensos", layout::newsRowTitle(0),
         "Atualizacao 5.5: novas masmorras nos..."},
        {"Missoes especiais, recompensas em dobro e a parada das lanternas na praca central.",
         layout::kNewsSummaryAfterTwoLines, "Missoes especiais, recompensas em dobro e a parada das..."},
    };
    for (const auto& c : cases) {
        const std::string shown = measure.shown(c.text, c.box);
        EXPECT_EQ(shown, c.shown);
        measure.expectWhole(shown, c.box, "cut text");
        EXPECT_TRUE(cutAfterAWord(c.text, shown)) << shown;
    }
}

}  // namespace
}  // namespace nyra::test
