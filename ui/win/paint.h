#pragma once
// The drawing primitives of the launcher window, in logical pixels (1280 x 820 design). Every
// primitive takes the graphics-context wrapper first and records the first GDI+ failure in it
// instead of stopping: the frame is still finished and presented.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/paint_geometry.h"

namespace nyra::ui {

using Gdiplus::ARGB;
using Gdiplus::REAL;

// The palette of the launcher (ARGB).
namespace colour {
inline constexpr ARGB kPrimaryText = 0xFFFCF4FF;
inline constexpr ARGB kMutedLilac = 0xFFC8B2D4;
inline constexpr ARGB kLightText = 0xFFECDCF2;
inline constexpr ARGB kLightGold = 0xFFFFE9AD;
inline constexpr ARGB kGold = 0xFFF2C66D;
inline constexpr ARGB kDarkGold = 0xFFB9852F;
inline constexpr ARGB kDeepPurple = 0xFF4A2C6E;
inline constexpr ARGB kNight = 0xFF1D1230;
inline constexpr ARGB kRose = 0xFFC2417F;
inline constexpr ARGB kTurquoise = 0xFF5FF2E6;
inline constexpr ARGB kOnlineGreen = 0xFF2FAE78;
inline constexpr ARGB kOfflineOrange = 0xFFF2AA50;
inline constexpr ARGB kErrorText = 0xFFE29682;
inline constexpr ARGB kDisabledEntry = 0xFF9682AA;
inline constexpr ARGB kReadyPercent = 0xFF8CF0BE;
}  // namespace colour

// Same colour with another alpha.
constexpr ARGB withAlpha(ARGB rgb, int alpha) {
    return (static_cast<ARGB>(alpha & 0xFF) << 24) | (rgb & 0x00FFFFFFu);
}

enum class Align { Near = 0, Centre = 1, Far = 2 };

// The two private families and the "Segoe UI" fallback (the generic sans-serif family when the
// system has no "Segoe UI"). Fonts are cached by style and size: a frame draws the same few.
class FontSet {
public:
    // collection may be null: every text then uses the fallback.
    explicit FontSet(Gdiplus::FontCollection* collection);
    FontSet(const FontSet&) = delete;
    FontSet& operator=(const FontSet&) = delete;
    ~FontSet();

    // The family for bold or regular texts; the fallback family when the private one is missing.
    // Null only when no family at all can be found.
    const Gdiplus::FontFamily* family(bool bold) const;
    bool privateFamily(bool bold) const { return bold ? extraBold_ != nullptr : medium_ != nullptr; }
    const Gdiplus::Font* font(bool bold, REAL size);

private:
    std::unique_ptr<Gdiplus::FontFamily> extraBold_;
    std::unique_ptr<Gdiplus::FontFamily> medium_;
    std::unique_ptr<Gdiplus::FontFamily> fallback_;
    std::map<std::pair<bool, int>, std::unique_ptr<Gdiplus::Font>> fonts_;
};

// What the primitives read besides their arguments.
struct PaintInputs {
    // Screen texts are written in Portuguese; this turns them into the UI language (UTF-8).
    std::function<std::string(const std::string&)> translate;
    float mouseX = -1, mouseY = -1;  // logical pixels; hover is taken from here
    bool caretOn = false;
    std::uint64_t nowMs = 0;  // milliseconds since boot, for the animations
};

// The graphics-context wrapper: the GDI+ context, what the primitives read, and the first failure.
class Canvas {
public:
    Canvas(Gdiplus::Graphics& graphics, FontSet& fonts, const PaintInputs& inputs);

    Gdiplus::Graphics& g() { return graphics_; }
    FontSet& fonts() { return fonts_; }
    const PaintInputs& inputs() const { return inputs_; }

    // Remembers the first failure; drawing goes on.
    Gdiplus::Status check(Gdiplus::Status status);
    Gdiplus::Status status() const { return status_; }

    bool hovered(const Box& box) const;

    // What a cached drawing depended on besides UiState: every hover question it asked (with its
    // answer) and whether it used the clock. A cache holding such a drawing stays valid while the
    // same questions get the same answers and it did not animate.
    struct HoverQuery {
        Box box;
        bool answer;
    };
    const std::vector<HoverQuery>& hoverQueries() const { return hoverQueries_; }
    void markAnimated() { animated_ = true; }

    // The bitmap under the context when primitives may write pixels themselves (the stars), and
    // the scale set by applySettings.
    void setTarget(Gdiplus::Bitmap* target) { target_ = target; }
    Gdiplus::Bitmap* target() const { return target_; }
    double scale() const { return scale_; }
    bool animated() const { return animated_; }
    // The rendering settings of every context: anti-aliased, high-quality, scaled by s.
    void applySettings(double scale);

private:
    Gdiplus::Graphics& graphics_;
    FontSet& fonts_;
    const PaintInputs& inputs_;
    Gdiplus::Status status_ = Gdiplus::Ok;
    mutable std::vector<HoverQuery> hoverQueries_;
    bool animated_ = false;
    Gdiplus::Bitmap* target_ = nullptr;
    double scale_ = 1.0;
};

std::wstring toWide(std::string_view utf8);  // empty when the text is not valid UTF-8

void AddRoundedRect(Gdiplus::GraphicsPath& path, REAL x, REAL y, REAL w, REAL h, REAL r);
void DrawImageToHeight(Canvas& c, Gdiplus::Image* image, REAL x, REAL y, REAL height);
void DrawLabel(Canvas& c, std::string_view text, REAL x, REAL y, REAL w, REAL h, REAL size, ARGB colour,
               bool bold, Align align, bool wrap, bool translate);
void DrawTitle(Canvas& c, std::string_view text, REAL x, REAL y, REAL size, Align align, REAL width);
void DrawButton(Canvas& c, const Box& rect, std::string_view label, bool primary, bool enabled);
void DrawPanel(Canvas& c, REAL x, REAL y, REAL w, REAL h, REAL r, int alpha);
void DrawDropShadow(Canvas& c, REAL x, REAL y, REAL w, REAL h, REAL r, int strength);
void DrawDiamond(Canvas& c, REAL cx, REAL cy, REAL r);
void DrawTextField(Canvas& c, REAL x, REAL y, REAL w, REAL h, std::string_view text, std::string_view placeholder,
                   bool focused, bool hasInlineButton);
void DrawProgressBar(Canvas& c, const Box& rect, float percent, bool indeterminate);
void DrawStatusProgress(Canvas& c, const Box& rect, float percent, bool indeterminate, bool busy);
void DrawWindowControls(Canvas& c);
void DrawFlag(Canvas& c, REAL x, REAL y, REAL w, REAL h, bool english);
// Stars and shooting stars; drawn under the decoration layer.
void DrawSky(Canvas& c, bool splash, ShootingStars& shooting);

// Fills/strokes a rounded rectangle (shorthands used by the screens).
void FillRounded(Canvas& c, const Box& box, REAL r, ARGB fill);
void StrokeRounded(Canvas& c, const Box& box, REAL r, ARGB pen, REAL width);
// The box a label's text takes with the label's font and format: one line (wrap off) or the lines
// it wraps into within `width`.
Gdiplus::SizeF MeasureLabel(Canvas& c, std::wstring_view text, REAL width, REAL size, bool bold, bool wrap);
// Whether a label's text fits its box whole: its one line within w (wrap off), or all its lines
// within h (wrap on).
bool LabelFits(Canvas& c, std::wstring_view text, REAL w, REAL h, REAL size, bool bold, bool wrap);
// The text a label shows: the whole text when it fits its box, else cut after a word with "...".
std::wstring FitLabelText(Canvas& c, std::wstring_view text, REAL w, REAL h, REAL size, bool bold, bool wrap);
// A wrapping label whose lines sit in the middle of the box's height (a one-line text is not left
// hanging at the top of a box made for two). A text that does not fit whole at `size` is drawn at
// the largest smaller size, down to `smallest`, at which it does; only then is it cut after a word.
void DrawTextBlock(Canvas& c, std::string_view text, const Box& box, REAL size, REAL smallest, ARGB colour, bool bold,
                   Align align, bool translate);
// The size DrawTextBlock draws the text at (the text as shown, after translation).
REAL TextBlockSize(Canvas& c, std::wstring_view text, const Box& box, REAL size, REAL smallest, bool bold);

}  // namespace nyra::ui
