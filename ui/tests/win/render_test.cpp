// Frames and primitives drawn with the real art and fonts: what is cached and when it is drawn
// anew, the fallback font, bar edge cases and the remembered GDI+ failure.
#include <gtest/gtest.h>

#include "core/ui_state.h"
#include "ui/win/paint.h"
#include "ui/win/renderer.h"
#include "ui_test_support.h"

#include <memory>

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
