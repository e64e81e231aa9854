#include "ui/layout.h"

namespace nyra::ui {
namespace {

constexpr std::array<Rect, kRegionCount> kRegionRects{{
    layout::kPlayButton,
    layout::kVerifyButton,
    layout::kOptionsButton,
    layout::kPortalButton,
    layout::kSettingsResolutionValue,
    layout::kSettingsDisplayModeValue,
    layout::kSettingsSaveButton,
    layout::kMinimizeButton,
    layout::kCloseButton,
    layout::kSignOutLink,
    layout::kRegisterLink,
    layout::kForgotPasswordLink,
    layout::kNewsAllLink,
    layout::kNewsFeaturedCard,
    layout::newsRow(0),
    layout::newsRow(1),
    layout::kSettingsGraphicsValue,
    layout::kSettingsGameLanguageValue,
    layout::kLanguageSwitch,
    layout::kLanguageOptionPortuguese,
    layout::kLanguageOptionEnglish,
}};

static_assert(kRegionCount <= 32, "the mask is 32 bits wide");

}  // namespace

const Rect& regionRect(Region region) { return kRegionRects[static_cast<unsigned>(region)]; }

HitMask hitMask(Point logical) {
    HitMask mask = 0;
    for (unsigned bit = 0; bit < kRegionCount; ++bit) {
        if (kRegionRects[bit].contains(logical.x, logical.y)) mask |= HitMask{1} << bit;
    }
    return mask;
}

}  // namespace nyra::ui
