#pragma once
// The home screen's geometry in logical pixels (the 1280 x 820 design, origin top left), shared
// by drawing and hit testing, and the hover mask. Mouse positions from the window are divided by
// the scale factor before any test; every region includes its edges.
#include <array>
#include <cstdint>
#include <string_view>

namespace nyra::ui {

struct Rect {
    double x = 0, y = 0, w = 0, h = 0;

    constexpr double right() const { return x + w; }
    constexpr double bottom() const { return y + h; }
    // Bounds inclusive: the right and bottom edges belong to the rectangle.
    constexpr bool contains(double px, double py) const { return px >= x && px <= x + w && py >= y && py <= y + h; }
};

// A mouse position in logical pixels; (-1, -1) until the mouse has been over the window.
struct Point {
    double x = -1, y = -1;
};

// Device (window client) coordinates to logical pixels.
constexpr Point toLogical(int deviceX, int deviceY, double scale) {
    return {static_cast<double>(deviceX) / scale, static_cast<double>(deviceY) / scale};
}

namespace layout {

inline constexpr Rect kCanvas{0, 0, 1280, 820};
inline constexpr Rect kCard{80, 70, 1120, 720};  // radius 26
inline constexpr double kCardRadius = 26;
inline constexpr Rect kAccountPanel{856, 112, 320, 656};
inline constexpr Rect kPlayButton{880, 552, 272, 56};
inline constexpr Rect kVerifyButton{880, 622, 86, 38};
inline constexpr Rect kPortalButton{973, 622, 86, 38};
inline constexpr Rect kOptionsButton{1066, 622, 86, 38};
inline constexpr Rect kUsernameField{880, 418, 272, 44};
inline constexpr Rect kPasswordField{880, 490, 272, 44};
inline constexpr Rect kShowHidePassword{1086, 497, 60, 30};
inline constexpr Rect kCloseButton{1166, 26, 30, 30};
inline constexpr Rect kMinimizeButton{1126, 26, 30, 30};
inline constexpr Rect kLanguageSwitch{994, 26, 112, 30};  // radius 15
inline constexpr Rect kLanguageMenuPanel{866, 68, 246, 128};  // radius 12
inline constexpr Rect kLanguageOptionPortuguese{878, 100, 222, 40};
inline constexpr Rect kLanguageOptionEnglish{878, 146, 222, 40};
inline constexpr Rect kSettingsResolutionValue{476, 270, 328, 44};
inline constexpr Rect kSettingsDisplayModeValue{476, 348, 328, 44};
inline constexpr Rect kSettingsGraphicsValue{476, 426, 328, 44};
inline constexpr Rect kSettingsGameLanguageValue{476, 504, 328, 44};
inline constexpr Rect kSettingsSaveButton{476, 584, 328, 44};
inline constexpr Rect kSettingsPanel{440, 168, 400, 484};  // radius 20
inline constexpr Rect kInstallPanel{440, 140, 400, 528};   // radius 20; takes every click inside it
inline constexpr Rect kInstallChooseFolder{468, 470, 344, 34};
inline constexpr Rect kInstallButton{476, 580, 328, 54};
inline constexpr Rect kSignOutLink{952, 520, 128, 24};
inline constexpr Rect kRegisterLink{880, 674, 132, 28};
inline constexpr Rect kForgotPasswordLink{1020, 674, 132, 28};
inline constexpr Rect kNewsPanel{456, 286, 380, 350};  // radius 18; no rotation while hovered
inline constexpr Rect kNewsAllLink{722, 298, 100, 26};
inline constexpr Rect kNewsFeaturedCard{470, 330, 352, 198};  // click and hover area
inline constexpr Rect kGameStatusPanel{400, 652, 436, 116};   // radius 16

// News list row k (k = 0, 1): (466, 540 + 46k, 360, 44).
inline constexpr int kNewsRows = 2;
constexpr Rect newsRow(int k) { return {466, 540 + 46.0 * k, 360, 44}; }

// A box that shows a text: where, at which size in pixels, in the bold or the regular font, and
// whether the text wraps into more lines. A text that does not fit is cut after a word with "...";
// the texts the launcher writes itself are sized to fit whole (a test measures them).
struct TextBox {
    Rect rect;
    float size = 12;
    bool bold = false;
    bool wrap = false;
};

// The game status panel. The detail line holds two lines (several status texts and notices are
// longer than one), so the bar sits 8 px lower than a one-line layout would put it. A failure text
// with its diagnostic suffix can need three: it is drawn smaller, down to the smallest size, where
// three lines fill the box, so that it is read whole rather than cut.
inline constexpr TextBox kStatusTitle{{418, 664, 300, 20}, 13, true, false};
inline constexpr TextBox kStatusPercent{{700, 660, 118, 34}, 26, true, false};
inline constexpr TextBox kStatusDetail{{418, 684, 400, 42}, 12, false, true};
inline constexpr float kStatusDetailSmallest = 10;
inline constexpr Rect kStatusBar{416, 728, 404, 26};

// The splash's status line.
inline constexpr TextBox kSplashStatus{{315, 524, 500, 24}, 14, false, false};

// The signed-in view of the account panel and the panel's foot. The footer under the buttons
// holds two lines, between the buttons (bottom 660) and the game version line (713).
inline constexpr TextBox kSignedInGreeting{{880, 410, 272, 24}, 15, false, false};
inline constexpr TextBox kSignedInName{{880, 438, 272, 52}, 34, true, false};
// A name too wide at 34 px is drawn at the largest size that fits, down to this one: enough for
// 20 of the widest letters.
inline constexpr float kSignedInNameSmallest = 14;
inline constexpr TextBox kSignedInLine{{880, 494, 272, 22}, 13, false, false};
inline constexpr TextBox kSignedInFooter{{880, 666, 272, 38}, 12, false, true};
inline constexpr TextBox kGameVersionLine{{880, 713, 272, 18}, 11, true, false};
inline constexpr TextBox kLauncherVersionLine{{880, 738, 272, 18}, 10, true, false};

// The news panel's texts: the featured item's title (one line, or two when it does not fit one)
// and its summary below it, the list rows' titles and captions, the line shown with one item.
inline constexpr TextBox kNewsTitleOneLine{{470, 465, 352, 26}, 17, true, false};
inline constexpr TextBox kNewsTitleTwoLines{{470, 465, 352, 50}, 17, true, true};
inline constexpr TextBox kNewsSummaryAfterOneLine{{470, 492, 352, 35}, 12, false, true};
inline constexpr TextBox kNewsSummaryAfterTwoLines{{470, 514, 352, 18}, 12, false, true};
inline constexpr TextBox kNewsOnlyItemLine{{472, 560, 348, 20}, 12, false, false};
constexpr TextBox newsRowTitle(int k) { return {{542, 544 + 46.0 * k, 278, 20}, 13, true, false}; }
constexpr TextBox newsRowCaption(int k) { return {{554, 564 + 46.0 * k, 266, 16}, 10, true, false}; }

}  // namespace layout

// The hover regions, in the order of their bits in the mask (bit 0 = Play).
enum class Region : unsigned {
    Play,
    Verify,
    Options,
    Portal,
    ResolutionValue,
    DisplayModeValue,
    SettingsSave,
    Minimize,
    Close,
    SignOut,
    Register,
    ForgotPassword,
    NewsAllLink,
    NewsFeaturedCard,
    NewsRow0,
    NewsRow1,
    GraphicsValue,
    GameLanguageValue,
    LanguageSwitch,
    LanguagePortuguese,
    LanguageEnglish,
};
inline constexpr unsigned kRegionCount = 21;

using HitMask = std::uint32_t;

constexpr HitMask regionBit(Region region) { return HitMask{1} << static_cast<unsigned>(region); }
constexpr bool hits(HitMask mask, Region region) { return (mask & regionBit(region)) != 0; }

// The rectangle of a hover region.
const Rect& regionRect(Region region);

// Every region that contains the logical point (geometry only: which of them are live depends on
// the screen, which the click rules and the drawing decide).
HitMask hitMask(Point logical);

}  // namespace nyra::ui
