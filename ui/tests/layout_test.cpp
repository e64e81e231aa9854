#include "ui/layout.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace nyra::ui {
namespace {

HitMask maskOf(std::initializer_list<Region> regions) {
    HitMask mask = 0;
    for (const Region r : regions) mask |= regionBit(r);
    return mask;
}

struct HitCase {
    double x, y;  // logical pixels
    std::initializer_list<Region> regions;
};

// Corners are inclusive; one step outside hits nothing; overlapping regions set every bit.
const HitCase kHitCases[] = {
    {880, 552, {Region::Play}},
    {1152, 608, {Region::Play}},
    {1152.01, 608, {}},
    {879.99, 552, {}},
    {966, 660, {Region::Verify}},
    {969, 640, {}},  // between verify and portal
    {973, 622, {Region::Portal}},
    {1066, 622, {Region::Options}},
    {1166, 26, {Region::Close}},
    {1196, 56, {Region::Close}},
    {1156, 56, {Region::Minimize}},
    {1100, 40, {Region::LanguageSwitch}},
    {878, 100, {Region::LanguagePortuguese}},
    {1100, 186, {Region::LanguageEnglish}},
    {952, 544, {Region::SignOut}},
    {880, 702, {Region::Register}},
    {1020, 674, {Region::ForgotPassword}},
    {722, 298, {Region::NewsAllLink, Region::ResolutionValue}},
    {810, 298, {Region::NewsAllLink}},
    {470, 528, {Region::NewsFeaturedCard}},
    {466, 540, {Region::NewsRow0}},
    {826, 630, {Region::NewsRow1}},
    {820, 584, {Region::NewsRow0}},  // the gap between the rows: row 0 ends at 584, row 1 starts at 586
    {820, 585, {}},
    {820, 586, {Region::NewsRow1}},
    // Settings rows lie over the news panel: both bits are set, the click rules decide.
    {600, 360, {Region::DisplayModeValue, Region::NewsFeaturedCard}},
    {600, 290, {Region::ResolutionValue}},
    {600, 450, {Region::GraphicsValue, Region::NewsFeaturedCard}},
    {600, 520, {Region::GameLanguageValue, Region::NewsFeaturedCard}},
    {600, 545, {Region::GameLanguageValue, Region::NewsRow0}},
    {600, 600, {Region::SettingsSave, Region::NewsRow1}},
    {-1, -1, {}},
};

TEST(HitMask, RegionsAtScaleOne) {
    for (const auto& c : kHitCases) {
        EXPECT_EQ(hitMask({c.x, c.y}), maskOf(c.regions)) << c.x << "," << c.y;
    }
}

TEST(HitMask, BitOrderFollowsTheRegionList) {
    EXPECT_EQ(regionBit(Region::Play), 1u);
    EXPECT_EQ(regionBit(Region::Close), 1u << 8);
    EXPECT_EQ(regionBit(Region::NewsRow1), 1u << 15);
    EXPECT_EQ(regionBit(Region::LanguageEnglish), 1u << 20);
    EXPECT_TRUE(hits(hitMask({900, 560}), Region::Play));
    EXPECT_FALSE(hits(hitMask({900, 560}), Region::Verify));
}

struct ScaledCase {
    double scale;
    int deviceX, deviceY;
    std::initializer_list<Region> regions;
};

// Device positions divided by the scale: the same edges hold at 1.5, 0.75 and 1.25.
const ScaledCase kScaledCases[] = {
    {1.5, 1749, 39, {Region::Close}},     // (1166, 26): the close button's top-left corner
    {1.5, 1794, 84, {Region::Close}},     // (1196, 56): its bottom-right corner
    {1.5, 1795, 84, {}},                  // 1196.67 is outside
    {1.5, 1320, 828, {Region::Play}},     // (880, 552)
    {1.5, 1319, 828, {}},                 // 879.33
    {0.75, 660, 414, {Region::Play}},     // (880, 552)
    {0.75, 659, 414, {}},                 // 878.67
    {0.75, 864, 456, {Region::Play}},     // (1152, 608)
    {0.75, 865, 456, {}},
    {1.25, 1458, 33, {Region::Close}},    // (1166.4, 26.4)
    {1.25, 1457, 33, {}},                 // (1165.6, 26.4): between minimise and close
};

TEST(HitMask, DeviceCoordinatesAreDividedByTheScale) {
    for (const auto& c : kScaledCases) {
        const Point logical = toLogical(c.deviceX, c.deviceY, c.scale);
        EXPECT_EQ(hitMask(logical), maskOf(c.regions)) << c.scale << ": " << c.deviceX << "," << c.deviceY;
    }
}

}  // namespace
}  // namespace nyra::ui
