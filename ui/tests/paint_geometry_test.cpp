// The arithmetic of the animated and measured parts of a frame.
#include <gtest/gtest.h>

#include "ui/paint_geometry.h"

#include <cmath>
#include <set>

namespace nyra::ui {
namespace {

TEST(SplashBar, FillFollowsThePercentClampedAndSkipsFillsNarrowerThanTheBar) {
    const Box bar{415, 562, 300, 8};
    const struct {
        float percent;
        float width;
        bool visible;
    } cases[] = {{-20, 0, false}, {0, 0, false}, {2, 6, false}, {50, 150, true}, {100, 300, true}, {250, 300, true}};
    for (const auto& c : cases) {
        const Fill fill = splashBarFill(bar, c.percent, false, 123456);
        EXPECT_FLOAT_EQ(fill.left, 415) << c.percent;
        EXPECT_FLOAT_EQ(fill.width, c.width) << c.percent;
        EXPECT_EQ(fill.visible, c.visible) << c.percent;
    }
}

TEST(SplashBar, IndeterminateFillSweepsEvery2200Ms) {
    const Box bar{415, 562, 300, 8};
    const Fill start = splashBarFill(bar, 0, true, 2200 * 7);
    EXPECT_FLOAT_EQ(start.width, 72);
    EXPECT_FLOAT_EQ(start.left, 415);
    EXPECT_FLOAT_EQ(splashBarFill(bar, 0, true, 2200 * 7 + 1100).left, 415 + 114);  // half way
    EXPECT_LT(splashBarFill(bar, 0, true, 2200 * 8 - 1).left, 415 + 228.0f);
}

TEST(StatusBar, InnerAreaAndPingPongOfTheIndeterminateFill) {
    const Box bar{416, 720, 404, 26};
    const Box inner = statusBarInner(bar);
    EXPECT_FLOAT_EQ(inner.x, 419);
    EXPECT_FLOAT_EQ(inner.w, 398);
    EXPECT_FLOAT_EQ(inner.h, 20);

    EXPECT_FLOAT_EQ(statusBarFill(bar, 100, false, 0).width, 398);
    EXPECT_FALSE(statusBarFill(bar, 5, false, 0).visible);  // 19.9 wide, below the inner height
    EXPECT_TRUE(statusBarFill(bar, 6, false, 0).visible);

    const float width = 0.26f * 398;
    EXPECT_NEAR(statusBarFill(bar, 0, true, 0).left, 419, 1e-3);                          // left end
    EXPECT_NEAR(statusBarFill(bar, 0, true, 1200).left, 419 + (398 - width), 1e-3);       // right end after 1.2 s
    EXPECT_NEAR(statusBarFill(bar, 0, true, 2400).left, 419, 1e-3);                       // back after 2.4 s
    EXPECT_NEAR(statusBarFill(bar, 0, true, 600000 + 1200).left, 419 + (398 - width), 1e-3);  // t wraps at 600 s
}

TEST(StatusBar, SheenSweepsRightAt230PixelsPerSecond) {
    const Fill fill{419, 200, true};
    EXPECT_FLOAT_EQ(statusSheenLeft(fill, 0), 349);
    EXPECT_NEAR(statusSheenLeft(fill, 1000), 349 + 230, 1e-3);
    EXPECT_NEAR(statusSheenLeft(fill, 2000), 349 + 460 - 340, 1e-3);  // wraps at fill width + 140
}

TEST(Caret, FollowsTheTextButNeverPassesTheFieldLimit) {
    EXPECT_FLOAT_EQ(caretX(880, 272, 0, false), 894);
    EXPECT_FLOAT_EQ(caretX(880, 272, 100, false), 994);
    EXPECT_FLOAT_EQ(caretX(880, 272, 5000, false), 880 + 254);  // w - 18
    EXPECT_FLOAT_EQ(caretX(880, 272, 5000, true), 880 + 208);   // w - 64 beside the inline button
}

TEST(FieldText, ALongTextScrollsSoItsEndAndTheCaretStayInView) {
    const Box field{880, 490, 272, 44};
    const struct {
        float textWidth;
        bool inlineButton;
        float textLeft, caret;
    } cases[] = {
        {0, false, 894, 894},               // empty: the caret at the padding
        {100, false, 894, 994},             // fits: no scrolling
        {240, false, 894, 1134},            // exactly up to the limit (w - 18)
        {241, false, 893, 1134},            // one pixel more scrolls one pixel
        {560, false, 574, 1134},            // the tail is in view, the head scrolled out
        {194, true, 894, 1088},             // up to w - 64 beside the inline button
        {520, true, 568, 1088},             // 64 bullets: the last ones stay in view
        {-3, false, 894, 894},              // a failed measurement counts as empty
    };
    for (const auto& c : cases) {
        const FieldText text = fieldText(field, c.textWidth, c.inlineButton);
        EXPECT_FLOAT_EQ(text.textLeft, c.textLeft) << c.textWidth;
        EXPECT_FLOAT_EQ(text.caret, c.caret) << c.textWidth;
        // The caret is always inside the area the text is clipped to, and that area keeps clear of
        // the inline button's label (about 1093 onwards) and of the field's rounded border.
        EXPECT_GE(text.caret, text.clip.x) << c.textWidth;
        EXPECT_LE(text.caret, text.clip.x + text.clip.w) << c.textWidth;
        EXPECT_GT(text.clip.x, field.x + 10) << c.textWidth;
        EXPECT_LE(text.clip.x + text.clip.w, c.inlineButton ? 1092.0f : field.x + field.w - 12) << c.textWidth;
    }
}

TEST(EdgeFade, FromNothingAtTheEdgeToEverythingInsideWithoutASeam) {
    const struct {
        float distance, width, kept;
    } cases[] = {
        {-5, 16, 0}, {0, 16, 0}, {8, 16, 0.5f}, {16, 16, 1}, {300, 16, 1},
        {4, 16, 0.15625f},  // smoothstep: slow at the edge
        {12, 16, 0.84375f},
        {0, 0, 1}, {-1, 0, 1},  // no fade
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(edgeFade(c.distance, c.width), c.kept) << c.distance << "/" << c.width;
    // Rising everywhere, and flat at both ends (no visible step where the ramp meets the picture).
    float previous = 0;
    for (float d = 0; d <= 16; d += 0.25f) {
        EXPECT_GE(edgeFade(d, 16), previous);
        previous = edgeFade(d, 16);
    }
    EXPECT_LT(edgeFade(0.25f, 16), 0.01f);
    EXPECT_GT(edgeFade(15.75f, 16), 0.99f);
}

TEST(Sky, EightyFourStarsInsideTheCardWithEveryNinthCrossed) {
    int crossed = 0;
    for (int k = 0; k < kStarCount; ++k) {
        const Star star = skyStar(k, 80, 70, 12.5);
        EXPECT_GE(star.x, 80 + 22);
        EXPECT_LE(star.x, 80 + 22 + 1016);
        EXPECT_GE(star.y, 70 + 26 - 3);
        EXPECT_LE(star.y, 70 + 26 + 454 + 3);
        EXPECT_GE(star.alpha, 22);
        EXPECT_LE(star.alpha, 116);
        if (star.cross) {
            ++crossed;
            EXPECT_FLOAT_EQ(star.radius, 1.5f);
        }
    }
    EXPECT_EQ(crossed, 10);  // k = 0, 9, ..., 81
    EXPECT_EQ(29 + 137 * (kStarCount - 1) < 11537, true);
    EXPECT_EQ(29 + 137 * kStarCount < 11537, false);
}

TEST(ShootingStars, SpawnWithinTheirRangesAndNeverMoreThanFourteen) {
    ShootingStars stars(42);
    std::uint64_t now = 1000;
    std::size_t most = 0;
    for (int frame = 0; frame < 2000; ++frame) {
        stars.advance(now, 80, 70, 856);
        most = std::max(most, stars.live().size());
        for (const ShootingStar& s : stars.live()) {
            EXPECT_GE(s.speed, 200);
            EXPECT_LE(s.speed, 420);
            EXPECT_GE(s.lifetime, 0.9f);
            EXPECT_LE(s.lifetime, 1.8f);
            EXPECT_GE(s.x, 200);
            EXPECT_LE(s.x, 976);
            EXPECT_GE(s.y, 80);
            EXPECT_LE(s.y, 400);
        }
        stars.prune();
        now += 50;
    }
    EXPECT_GE(most, 2u);
    EXPECT_LE(most, ShootingStars::kMaxLive);
}

TEST(ShootingStars, ElapsedTimeIsClampedSoAPauseDoesNotJumpAhead) {
    ShootingStars stars(7);
    stars.advance(1000, 80, 70, 1200);  // first frame spawns at once, age 0
    ASSERT_EQ(stars.live().size(), 1u);
    EXPECT_FLOAT_EQ(stars.live()[0].age, 0);
    stars.advance(61000, 80, 70, 1200);  // a minute minimised counts as 0.1 s
    EXPECT_FLOAT_EQ(stars.live()[0].age, 0.1f);
}

TEST(ShootingStars, TrailFadesTowardsItsTailAndTheHeadMovesDownLeft) {
    ShootingStar star;
    star.x = 500;
    star.y = 100;
    star.speed = 300;
    star.length = 90;
    star.lifetime = 1.0f;
    star.slope = 0.5f;
    star.age = 0.5f;  // brightest
    float hx = 0, hy = 0;
    ShootingStars::head(star, hx, hy);
    EXPECT_FLOAT_EQ(hx, 350);
    EXPECT_FLOAT_EQ(hy, 175);
    EXPECT_FLOAT_EQ(ShootingStars::brightness(star), 1.0f);

    const TrailSegment first = ShootingStars::segment(star, 0);
    EXPECT_FLOAT_EQ(first.x1, 350);
    EXPECT_FLOAT_EQ(first.x2, 355);
    EXPECT_FLOAT_EQ(first.y2, 172.5f);
    EXPECT_EQ(first.alpha, 185);
    EXPECT_FLOAT_EQ(first.width, 1.9f);
    const TrailSegment last = ShootingStars::segment(star, 17);
    EXPECT_EQ(last.alpha, static_cast<int>((1.0f - 17.0f / 18) * 185));
    EXPECT_FLOAT_EQ(last.width, 1.1f);
}

TEST(NewsPanel, PagerBadgeFadeAndCoverCrop) {
    EXPECT_TRUE(newsPager(1, 0).empty());
    const auto pills = newsPager(3, 1);
    ASSERT_EQ(pills.size(), 3u);
    EXPECT_FLOAT_EQ(pills[0].x, 566);
    EXPECT_FLOAT_EQ(pills[0].width, 7);
    EXPECT_FLOAT_EQ(pills[1].x, 579);
    EXPECT_FLOAT_EQ(pills[1].width, 18);
    EXPECT_TRUE(pills[1].current);
    EXPECT_FLOAT_EQ(pills[2].x, 603);

    EXPECT_FLOAT_EQ(badgeWidth(6), 7.2f * 6 + 12);

    EXPECT_FLOAT_EQ(coverFade(1000, 1000), 0);
    EXPECT_FLOAT_EQ(coverFade(1175, 1000), 0.5f);
    EXPECT_FLOAT_EQ(coverFade(5000, 1000), 1);

    const Box crop = coverSource(720, 268, 352, 128);  // wider box: full width, centre band
    EXPECT_FLOAT_EQ(crop.w, 720);
    EXPECT_NEAR(crop.h, 261.8, 0.1);
    EXPECT_NEAR(crop.y, 3.1, 0.1);
    const Box thumb = coverSource(720, 268, 62, 34);  // narrower box: full height, centre part
    EXPECT_FLOAT_EQ(thumb.h, 268);
    EXPECT_NEAR(thumb.x, (720 - 62 * 268 / 34.0) / 2, 0.1);
}

}  // namespace
}  // namespace nyra::ui
