// Frames and primitives drawn with the real art and fonts: what is cached and when it is drawn
// anew, the fallback font, bar edge cases and the remembered GDI+ failure.
#include <gtest/gtest.h>

#include "core/ui_state.h"
#include "ui/win/paint.h"
#include "ui/win/renderer.h"
#include "ui_test_support.h"

#include <cmath>
#include <memory>
#include <string>
#include <utility>

namespace nyra::test {
namespace {

class FixedClock final : public Clock {
public:
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t) override {}
    std::uint64_t now = 5'000'000;
};

class NoWindow final : public WindowPoster {
public:
    void post(unsigned, std::uintptr_t) override {}
};

class Frames : public ::testing::Test {
protected:
    Frames() : store_(clock_, poster_), renderer_(UiResources::get().assets(), store_, clock_, 3) {
        store_.splash().store(false);
    }
    FixedClock clock_;
    NoWindow poster_;
    UiStore store_;
    ui::Renderer renderer_;
};

TEST_F(Frames, BackgroundLayersAreBuiltOnlyForANewScaleOrSplash) {
    for (int i = 0; i < 3; ++i) ASSERT_NE(renderer_.RenderFrame(1.0, false), nullptr);
    EXPECT_EQ(renderer_.layerBuilds(), 1);
    const auto scaled = renderer_.RenderFrame(1.5, false);
    EXPECT_EQ(scaled->GetWidth(), 1920u);
    EXPECT_EQ(scaled->GetHeight(), 1230u);
    EXPECT_EQ(renderer_.layerBuilds(), 2);
    store_.splash().store(true);
    renderer_.RenderFrame(1.5, false);
    EXPECT_EQ(renderer_.layerBuilds(), 3);
    renderer_.RenderFrame(1.5, true);  // the preview flag asks for the home screen
    EXPECT_EQ(renderer_.layerBuilds(), 4);
    // The layers carry the home titles, so a language switch must not leave them in the old language.
    store_.uiEnglish().store(true);
    renderer_.RenderFrame(1.5, true);
    EXPECT_EQ(renderer_.layerBuilds(), 5);
    EXPECT_EQ(renderer_.lastStatus(), Gdiplus::Ok);
}

TEST_F(Frames, HomeGroupIsReusedUntilWhatItShowsChanges) {
    renderer_.RenderFrame(1.0, false);
    const int first = renderer_.homeGroupBuilds();
    clock_.now += 50;  // the sky moves, the home screen does not
    renderer_.RenderFrame(1.0, false);
    EXPECT_EQ(renderer_.homeGroupBuilds(), first);

    store_.withLock([](UiState& s) {
        s.username = "digitando";  // the fields are drawn live
        s.statusText = "Baixando nyra-001.pck: 12 MB de 480 MB";  // so is the status panel's content
        s.progress = 3;
    });
    renderer_.RenderFrame(1.0, false);
    EXPECT_EQ(renderer_.homeGroupBuilds(), first);

    store_.withLock([](UiState& s) { s.serverOnline = true; });  // the chip and the play label change
    renderer_.RenderFrame(1.0, false);
    EXPECT_EQ(renderer_.homeGroupBuilds(), first + 1);

    renderer_.setMouse(1016, 580);  // over Play: its hover look
    renderer_.RenderFrame(1.0, false);
    EXPECT_EQ(renderer_.homeGroupBuilds(), first + 2);
    renderer_.setMouse(1017, 581);  // still over Play: same answers, same group
    renderer_.RenderFrame(1.0, false);
    EXPECT_EQ(renderer_.homeGroupBuilds(), first + 2);
}

TEST_F(Frames, CachedFrameEqualsAFreshlyDrawnOne) {
    store_.withLock([](UiState& s) {
        s.serverOnline = true;
        s.progress = 100;
        s.statusText = "Tudo pronto. Os arquivos da aventura foram conferidos.";
    });
    renderer_.RenderFrame(1.0, false);
    const auto reused = renderer_.RenderFrame(1.0, false);
    ui::Renderer fresh(UiResources::get().assets(), store_, clock_, 3);
    const auto drawn = fresh.RenderFrame(1.0, false);
    const PictureDifference difference = comparePictures(*reused, *drawn);
    ASSERT_TRUE(difference.sameSize);
    EXPECT_EQ(difference.differingShare, 0.0);
}

// A transparent 200 x 60 canvas at scale 1 for one primitive.
struct Sheet {
    Sheet() : bitmap(200, 60, PixelFormat32bppPARGB), graphics(&bitmap) {
        graphics.Clear(Gdiplus::Color(0, 0, 0, 0));
    }
    int paintedPixels() {
        int count = 0;
        for (INT y = 0; y < 60; ++y) {
            for (INT x = 0; x < 200; ++x) count += (pixelAt(bitmap, x, y) >> 24) != 0 ? 1 : 0;
        }
        return count;
    }
    Gdiplus::Bitmap bitmap;
    Gdiplus::Graphics graphics;
};

TEST(Primitives, TextsAppearInTheFallbackFontWhenThePrivateFontsAreMissing) {
    UiResources::get();
    ui::FontSet noPrivateFonts(nullptr);
    ASSERT_FALSE(noPrivateFonts.privateFamily(true));
    ui::PaintInputs inputs;
    Sheet sheet;
    ui::Canvas canvas(sheet.graphics, noPrivateFonts, inputs);
    canvas.applySettings(1.0);
    ui::DrawLabel(canvas, "JOGAR AGORA", 0, 0, 200, 30, 19, ui::colour::kGold, true, ui::Align::Near, false, false);
    EXPECT_GT(sheet.paintedPixels(), 100);
    EXPECT_EQ(canvas.status(), Gdiplus::Ok);
}

TEST(Primitives, BarFillIsClampedAndTooNarrowFillsAreNotDrawn) {
    ui::FontSet fonts(&UiResources::get().assets().fonts());
    ui::PaintInputs inputs;
    const auto fillAt = [&](float percent, int x) {
        Sheet sheet;
        ui::Canvas canvas(sheet.graphics, fonts, inputs);
        canvas.applySettings(1.0);
        ui::DrawProgressBar(canvas, {10, 20, 180, 8}, percent, false);
        return pixelAt(sheet.bitmap, x, 24);
    };
    const Gdiplus::ARGB track = fillAt(-10, 100);
    EXPECT_EQ(fillAt(0, 100), track);
    EXPECT_EQ(fillAt(3, 12), fillAt(-10, 12));   // 5.4 px: narrower than the bar's height
    EXPECT_NE(fillAt(150, 185), track);           // full
    EXPECT_EQ(fillAt(150, 185), fillAt(100, 185));
}

// A 300 x 60 sheet with one text field (272 x 44 at (10, 8)), focused with the caret shown.
std::unique_ptr<Gdiplus::Bitmap> fieldWith(std::string_view text, bool inlineButton) {
    ui::FontSet fonts(&UiResources::get().assets().fonts());
    ui::PaintInputs inputs;
    inputs.caretOn = true;
    auto bitmap = std::make_unique<Gdiplus::Bitmap>(300, 60, PixelFormat32bppPARGB);
    Gdiplus::Graphics graphics(bitmap.get());
    graphics.Clear(Gdiplus::Color(0, 0, 0, 0));
    ui::Canvas canvas(graphics, fonts, inputs);
    canvas.applySettings(1.0);
    ui::DrawTextField(canvas, 10, 8, 272, 44, text, "", true, inlineButton);
    EXPECT_EQ(canvas.status(), Gdiplus::Ok);
    return bitmap;
}

// Columns [from, to) in which two sheets differ.
int differingColumns(Gdiplus::Bitmap& a, Gdiplus::Bitmap& b, int from, int to) {
    int columns = 0;
    for (int x = from; x < to; ++x) {
        for (int y = 0; y < 60; ++y) {
            if (pixelAt(a, x, y) != pixelAt(b, x, y)) {
                ++columns;
                break;
            }
        }
    }
    return columns;
}

TEST(Primitives, ALongFieldTextScrollsToItsEndAndStaysInsideTheField) {
    const std::string bullets = [] {
        std::string text;
        for (int i = 0; i < 64; ++i) text += "\xE2\x80\xA2";  // a hidden 64-character password
        return text;
    }();
    for (const auto& [text, inlineButton] : {std::pair{std::string("WWWWWWWWWWWWWWWWWWWW"), false}, {bullets, true}}) {
        const auto empty = fieldWith("", inlineButton);
        const auto full = fieldWith(text, inlineButton);
        const ui::FieldText area = ui::fieldText({10, 8, 272, 44}, 1e9f, inlineButton);
        const int clipRight = static_cast<int>(std::ceil(area.clip.x + area.clip.w));
        // Nothing is drawn right of the text area: not over the inline button, not past the field.
        EXPECT_EQ(differingColumns(*full, *empty, clipRight + 1, 300), 0) << inlineButton;
        // The text reaches the caret at the end of the area: its tail is what shows.
        EXPECT_GT(differingColumns(*full, *empty, clipRight - 30, clipRight - 3), 10) << inlineButton;
        // ... and the head scrolled out: the first columns inside the padding stay as they were.
        EXPECT_EQ(differingColumns(*full, *empty, 0, static_cast<int>(area.clip.x) - 1), 0) << inlineButton;
    }
}

TEST(Primitives, AFailedCallIsRememberedAndDrawingGoesOn) {
    ui::FontSet fonts(&UiResources::get().assets().fonts());
    ui::PaintInputs inputs;
    Sheet sheet;
    ui::Canvas canvas(sheet.graphics, fonts, inputs);
    canvas.applySettings(1.0);
    // A call GDI+ refuses (no image) stands for any failure while drawing.
    const Gdiplus::Status failure = canvas.check(sheet.graphics.DrawImage(static_cast<Gdiplus::Image*>(nullptr), 0, 0));
    EXPECT_NE(failure, Gdiplus::Ok);
    ui::DrawButton(canvas, {10, 10, 180, 40}, "JOGAR", true, true);
    EXPECT_GT(sheet.paintedPixels(), 1000);
    canvas.check(Gdiplus::OutOfMemory);
    EXPECT_EQ(canvas.status(), failure);  // the first failure is the one kept
}

}  // namespace
}  // namespace nyra::test
