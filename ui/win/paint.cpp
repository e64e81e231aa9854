#include "ui/win/paint.h"

#include "core/text.h"
#include "ui/text_fit.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <map>
#include <numbers>
#include <string>

namespace nyra::ui {
namespace {

using Gdiplus::Color;
using Gdiplus::GraphicsPath;
using Gdiplus::PointF;
using Gdiplus::RectF;

constexpr Box kMinimizeButton{1126, 26, 30, 30};
constexpr Box kCloseButton{1166, 26, 30, 30};
constexpr REAL kCardX = 80, kCardY = 70, kCardW = 1120, kCardH = 720;
constexpr REAL kAccountPanelLeft = 856;

Color argb(ARGB value) { return Color(value); }

// A brush whose colours change top to bottom between two y values.
using Gradient = std::unique_ptr<Gdiplus::LinearGradientBrush>;

Gradient verticalGradient(REAL top, REAL bottom, ARGB from, ARGB to) {
    auto brush = std::make_unique<Gdiplus::LinearGradientBrush>(PointF(0, top), PointF(0, bottom), argb(from), argb(to));
    brush->SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    return brush;
}

Gradient horizontalGradient(REAL left, REAL right, ARGB from, ARGB to) {
    auto brush = std::make_unique<Gdiplus::LinearGradientBrush>(PointF(left, 0), PointF(right, 0), argb(from), argb(to));
    brush->SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    return brush;
}

template <std::size_t N>
void presetBlend(Canvas& c, Gradient& brush, const ARGB (&colours)[N], const REAL (&positions)[N]) {
    Color blend[N];
    for (std::size_t i = 0; i < N; ++i) blend[i] = argb(colours[i]);
    c.check(brush->SetInterpolationColors(blend, positions, static_cast<INT>(N)));
}

template <typename T>
const T& ref(const T& value) { return value; }
template <typename T>
const T& ref(const std::unique_ptr<T>& value) { return *value; }

template <typename B, typename P>
void fillPath(Canvas& c, const B& brush, const P& path) { c.check(c.g().FillPath(&ref(brush), &ref(path))); }

template <typename P>
void strokePath(Canvas& c, ARGB colour, REAL width, const P& path) {
    Gdiplus::Pen pen(argb(colour), width);
    c.check(c.g().DrawPath(&pen, &ref(path)));
}

std::unique_ptr<GraphicsPath> roundedPath(const Box& box, REAL r) {
    auto path = std::make_unique<GraphicsPath>();
    AddRoundedRect(*path, box.x, box.y, box.w, box.h, r);
    return path;
}

void labelFormat(Gdiplus::StringFormat& format, Align align, bool wrap) {
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisWord);
    // Wrapped text shows whole lines only: a line that does not fit is cut, not half drawn.
    format.SetFormatFlags(wrap ? Gdiplus::StringFormatFlagsLineLimit : Gdiplus::StringFormatFlagsNoWrap);
    format.SetAlignment(align == Align::Centre  ? Gdiplus::StringAlignmentCenter
                        : align == Align::Far ? Gdiplus::StringAlignmentFar
                                              : Gdiplus::StringAlignmentNear);
    format.SetLineAlignment(Gdiplus::StringAlignmentNear);
}

std::string displayText(Canvas& c, std::string_view text, bool translate) {
    std::string owned(text);
    if (translate && c.inputs().translate) return c.inputs().translate(owned);
    return owned;
}

// A five-pointed star of outer radius r centred on (cx, cy).
void addStar(GraphicsPath& path, REAL cx, REAL cy, REAL r) {
    PointF points[10];
    for (int i = 0; i < 10; ++i) {
        const double angle = -std::numbers::pi / 2 + i * std::numbers::pi / 5;
        const double radius = (i % 2 == 0) ? r : r * 0.4;
        points[i] = PointF(cx + static_cast<REAL>(radius * std::cos(angle)), cy + static_cast<REAL>(radius * std::sin(angle)));
    }
    path.AddPolygon(points, 10);
}

// The stars are 84 discs of one or three pixels redrawn on every frame; blending them straight
// into the bitmap costs a fraction of 84 anti-aliased ellipse fills. Coverage falls off over
// the disc's edge pixel as anti-aliasing does. False when the bitmap cannot be written.
bool plotStars(Canvas& c, const Box& sky, double t) {
    Gdiplus::Bitmap* target = c.target();
    if (target == nullptr) return false;
    c.g().Flush(Gdiplus::FlushIntentionSync);
    const auto width = static_cast<INT>(target->GetWidth());
    const auto height = static_cast<INT>(target->GetHeight());
    Gdiplus::Rect all(0, 0, width, height);
    Gdiplus::BitmapData data{};
    if (target->LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeWrite, PixelFormat32bppPARGB, &data) !=
        Gdiplus::Ok) {
        return false;
    }
    const double s = c.scale();
    const int left = std::max(0, static_cast<int>(sky.x * s));
    const int top = std::max(0, static_cast<int>(sky.y * s));
    const int right = std::min(width, static_cast<int>((sky.x + sky.w) * s));
    const int bottom = std::min(height, static_cast<int>((sky.y + sky.h) * s));
    for (int k = 0; k < kStarCount; ++k) {
        const Star star = skyStar(k, kCardX, kCardY, t);
        const double cx = star.x * s, cy = star.y * s, radius = star.radius * s;
        const int x0 = std::max(left, static_cast<int>(std::floor(cx - radius - 1)));
        const int x1 = std::min(right - 1, static_cast<int>(std::ceil(cx + radius + 1)));
        const int y0 = std::max(top, static_cast<int>(std::floor(cy - radius - 1)));
        const int y1 = std::min(bottom - 1, static_cast<int>(std::ceil(cy + radius + 1)));
        for (int y = y0; y <= y1; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(static_cast<std::byte*>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride);
            for (int x = x0; x <= x1; ++x) {
                const double distance = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
                const double coverage = std::clamp(radius + 0.5 - distance, 0.0, 1.0);
                const auto alpha = static_cast<std::uint32_t>(star.alpha * coverage + 0.5);
                if (alpha == 0) continue;
                const std::uint32_t keep = 255 - alpha;
                const std::uint32_t d = row[x];
                const auto channel = [&](unsigned shift, std::uint32_t source) {
                    const std::uint32_t value = (source * alpha + 127) / 255 + (((d >> shift) & 0xFF) * keep + 127) / 255;
                    return std::min<std::uint32_t>(value, 255) << shift;
                };
                row[x] = channel(24, 255) | channel(16, 0xFF) | channel(8, 0xEF) | channel(0, 0xCA);
            }
        }
    }
    target->UnlockBits(&data);
    return true;
}

}  // namespace

std::wstring toWide(std::string_view utf8) {
    try {
        const std::u16string wide = utf8ToUtf16(utf8);
        return std::wstring(wide.begin(), wide.end());
    } catch (const std::exception&) {
        return {};  // text that is not valid UTF-8 is not drawn
    }
}

FontSet::FontSet(Gdiplus::FontCollection* collection) {
    if (collection != nullptr) {
        for (auto [name, slot] : {std::pair{L"Rounded Mplus 1c ExtraBold", &extraBold_},
                                  std::pair{L"Rounded Mplus 1c Medium", &medium_}}) {
            auto family = std::make_unique<Gdiplus::FontFamily>(name, collection);
            if (family->GetLastStatus() == Gdiplus::Ok && family->IsAvailable()) *slot = std::move(family);
        }
    }
    // "Segoe UI", else the system's generic sans-serif family, else any installed family: a
    // text must never vanish because a font is missing.
    fallback_ = std::make_unique<Gdiplus::FontFamily>(L"Segoe UI");
    if (fallback_->GetLastStatus() != Gdiplus::Ok || !fallback_->IsAvailable()) {
        const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
        fallback_.reset(generic != nullptr ? generic->Clone() : nullptr);
    }
    if (fallback_ && (fallback_->GetLastStatus() != Gdiplus::Ok || !fallback_->IsAvailable())) fallback_.reset();
    if (!fallback_) {
        Gdiplus::InstalledFontCollection installed;
        const INT count = installed.GetFamilyCount();
        if (count > 0) {
            std::vector<Gdiplus::FontFamily> families(static_cast<std::size_t>(count));
            INT found = 0;
            if (installed.GetFamilies(count, families.data(), &found) == Gdiplus::Ok && found > 0) {
                fallback_.reset(families[0].Clone());
            }
        }
    }
}

FontSet::~FontSet() = default;

const Gdiplus::FontFamily* FontSet::family(bool bold) const {
    const auto& own = bold ? extraBold_ : medium_;
    if (own) return own.get();
    if (fallback_) return fallback_.get();
    // No system sans-serif at all: the other private weight still shows the text.
    const auto& other = bold ? medium_ : extraBold_;
    return other.get();
}

const Gdiplus::Font* FontSet::font(bool bold, REAL size) {
    const std::pair key{bold, static_cast<int>(std::lround(size * 16))};
    auto& slot = fonts_[key];
    if (!slot) {
        const Gdiplus::FontFamily* chosen = family(bold);
        if (chosen == nullptr) return nullptr;
        const bool own = privateFamily(bold);
        const INT style = (!own && bold) ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular;
        slot = std::make_unique<Gdiplus::Font>(chosen, size, style, Gdiplus::UnitPixel);
    }
    return slot.get();
}

Canvas::Canvas(Gdiplus::Graphics& graphics, FontSet& fonts, const PaintInputs& inputs)
    : graphics_(graphics), fonts_(fonts), inputs_(inputs) {}

Gdiplus::Status Canvas::check(Gdiplus::Status status) {
    if (status != Gdiplus::Ok && status_ == Gdiplus::Ok) status_ = status;
    return status;
}

bool Canvas::hovered(const Box& box) const {
    const float x = inputs_.mouseX, y = inputs_.mouseY;
    const bool answer = x >= box.x && x <= box.x + box.w && y >= box.y && y <= box.y + box.h;
    hoverQueries_.push_back({box, answer});
    return answer;
}

void Canvas::applySettings(double scale) {
    scale_ = scale;
    check(graphics_.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias));
    check(graphics_.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic));
    check(graphics_.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality));
    check(graphics_.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias));
    check(graphics_.ResetTransform());
    check(graphics_.ScaleTransform(static_cast<REAL>(scale), static_cast<REAL>(scale)));
}

void AddRoundedRect(GraphicsPath& path, REAL x, REAL y, REAL w, REAL h, REAL r) {
    path.Reset();
    const REAL d = std::min({w, h, 2 * r});
    if (d <= 0) {
        path.AddRectangle(RectF(x, y, w, h));
        return;
    }
    path.AddArc(x, y, d, d, 180, 90);
    path.AddArc(x + w - d, y, d, d, 270, 90);
    path.AddArc(x + w - d, y + h - d, d, d, 0, 90);
    path.AddArc(x, y + h - d, d, d, 90, 90);
    path.CloseFigure();
}

void FillRounded(Canvas& c, const Box& box, REAL r, ARGB fill) {
    const auto path = roundedPath(box, r);
    Gdiplus::SolidBrush brush(argb(fill));
    fillPath(c, brush, path);
}

void StrokeRounded(Canvas& c, const Box& box, REAL r, ARGB pen, REAL width) {
    strokePath(c, pen, width, roundedPath(box, r));
}

void DrawImageToHeight(Canvas& c, Gdiplus::Image* image, REAL x, REAL y, REAL height) {
    if (image == nullptr || image->GetHeight() == 0) return;
    const REAL width = static_cast<REAL>(image->GetWidth()) * height / static_cast<REAL>(image->GetHeight());
    c.check(c.g().DrawImage(image, RectF(x, y, width, height)));
}

namespace {

// The key of a measured layout: the text and everything its measurement depends on.
std::wstring layoutKey(Canvas& c, std::wstring_view text, std::initializer_list<REAL> values, bool bold) {
    std::wstring key(text);
    const REAL fontKind = (bold ? 1.0f : 0.0f) + (c.fonts().privateFamily(bold) ? 2.0f : 0.0f);
    for (const REAL value : values) key += L'\x1F' + std::to_wstring(value);
    key += L'\x1F' + std::to_wstring(fontKind) + L'\x1F' + std::to_wstring(c.scale());
    return key;
}

// A small memory of measured layouts: the labels drawn on every frame (the status panel, the
// splash) are measured once per text, not once per frame. Drawing happens on one thread.
template <typename Value, typename Make>
const Value& remembered(std::map<std::wstring, Value>& memory, std::wstring key, Make make) {
    auto found = memory.find(key);
    if (found == memory.end()) {
        if (memory.size() >= 64) memory.clear();
        found = memory.emplace(std::move(key), make()).first;
    }
    return found->second;
}

std::wstring cachedFit(Canvas& c, const std::wstring& text, REAL w, REAL h, REAL size, bool bold, bool wrap) {
    static std::map<std::wstring, std::wstring> fitted;
    return remembered(fitted, layoutKey(c, text, {w, h, size, wrap ? 1.0f : 0.0f}, bold),
                      [&] { return FitLabelText(c, text, w, h, size, bold, wrap); });
}

}  // namespace

void DrawLabel(Canvas& c, std::string_view text, REAL x, REAL y, REAL w, REAL h, REAL size, ARGB colour, bool bold,
               Align align, bool wrap, bool translate) {
    std::wstring wide = toWide(displayText(c, text, translate));
    if (wide.empty()) return;
    Gdiplus::StringFormat format;
    labelFormat(format, align, wrap);
    const Gdiplus::Font* font = c.fonts().font(bold, size);
    if (font == nullptr) return;
    // Not every GDI+ trims at a word (Wine cuts the glyphs at the box's edge): the text that does
    // not fit is cut after a word here, so the format's trimming never has to act.
    wide = cachedFit(c, wide, w, h, size, bold, wrap);
    Gdiplus::SolidBrush brush(argb(colour));
    c.check(c.g().DrawString(wide.c_str(), static_cast<INT>(wide.size()), font, RectF(x, y, w, h),
                             &format, &brush));
}

Gdiplus::SizeF MeasureLabel(Canvas& c, std::wstring_view text, REAL width, REAL size, bool bold, bool wrap) {
    if (text.empty()) return {};
    const Gdiplus::Font* font = c.fonts().font(bold, size);
    if (font == nullptr) return {};
    Gdiplus::StringFormat format;
    labelFormat(format, Align::Near, wrap);
    RectF bounds;
    c.check(c.g().MeasureString(text.data(), static_cast<INT>(text.size()), font,
                                RectF(0, 0, wrap ? width : 100000.0f, 100000.0f), &format, &bounds));
    return {bounds.Width, bounds.Height};
}

bool LabelFits(Canvas& c, std::wstring_view text, REAL w, REAL h, REAL size, bool bold, bool wrap) {
    constexpr REAL kSlack = 0.01f;  // float noise of the measurement, far below a pixel
    const Gdiplus::SizeF measured = MeasureLabel(c, text, w, size, bold, wrap);
    return wrap ? measured.Height <= h + kSlack : measured.Width <= w + kSlack;
}

std::wstring FitLabelText(Canvas& c, std::wstring_view text, REAL w, REAL h, REAL size, bool bold, bool wrap) {
    const std::u16string fitted = fitAtWord(std::u16string(text.begin(), text.end()), [&](std::u16string_view candidate) {
        const std::wstring wide(candidate.begin(), candidate.end());
        return LabelFits(c, wide, w, h, size, bold, wrap);
    });
    return std::wstring(fitted.begin(), fitted.end());
}

namespace {

// How a text block is laid out: the text shown, and the width and height of its lines.
struct BlockLayout {
    std::wstring text;
    REAL size = 0;
    REAL width = 0;
    REAL height = 0;
};

// The size the text is drawn at: the box's, or, for a text too long for the box at that size, the
// largest smaller one (in half pixels, down to `smallest`) at which it fits whole.
REAL blockSize(Canvas& c, const std::wstring& text, const Box& box, REAL size, REAL smallest, bool bold) {
    REAL chosen = size;
    while (chosen - 0.5f >= smallest && !LabelFits(c, text, box.w, box.h, chosen, bold, true)) chosen -= 0.5f;
    return chosen;
}

// Fits the text, then narrows the lines as far as their count allows, so that two lines come out
// about even instead of a full line and an orphan word.
BlockLayout layOutBlock(Canvas& c, const std::wstring& text, const Box& box, REAL largest, REAL smallest, bool bold) {
    BlockLayout out;
    const REAL size = blockSize(c, text, box, largest, smallest, bold);
    out.size = size;
    out.text = FitLabelText(c, text, box.w, box.h, size, bold, true);
    out.width = box.w;
    out.height = MeasureLabel(c, out.text, box.w, size, bold, true).Height;
    const REAL oneLine = MeasureLabel(c, L"Ag", box.w, size, bold, false).Height;
    if (out.height < oneLine * 1.5f) return out;
    REAL low = box.w / 2, high = box.w;  // high keeps the line count, low may not
    while (high - low > 1) {
        const REAL middle = (low + high) / 2;
        if (MeasureLabel(c, out.text, middle, size, bold, true).Height <= out.height + 0.01f) {
            high = middle;
        } else {
            low = middle;
        }
    }
    out.width = std::min(box.w, high + 1);  // a pixel to spare against rounding
    return out;
}

}  // namespace

REAL TextBlockSize(Canvas& c, std::wstring_view text, const Box& box, REAL size, REAL smallest, bool bold) {
    return blockSize(c, std::wstring(text), box, size, smallest, bold);
}

void DrawTextBlock(Canvas& c, std::string_view text, const Box& box, REAL size, REAL smallest, ARGB colour, bool bold,
                   Align align, bool translate) {
    const std::wstring wide = toWide(displayText(c, text, translate));
    if (wide.empty()) return;
    // The status line is drawn on every frame: its layout (a dozen measurements) is remembered.
    static std::map<std::wstring, BlockLayout> layouts;
    const BlockLayout& block = remembered(layouts, layoutKey(c, wide, {box.w, box.h, size, smallest}, bold),
                                          [&] { return layOutBlock(c, wide, box, size, smallest, bold); });
    const Gdiplus::Font* font = c.fonts().font(bold, block.size);
    if (font == nullptr) return;
    const REAL left = align == Align::Centre ? box.x + (box.w - block.width) / 2
                      : align == Align::Far  ? box.x + box.w - block.width
                                             : box.x;
    const REAL top = box.y + std::max(0.0f, (box.h - block.height) / 2);
    Gdiplus::StringFormat format;
    labelFormat(format, align, true);
    Gdiplus::SolidBrush brush(argb(colour));
    c.check(c.g().DrawString(block.text.c_str(), static_cast<INT>(block.text.size()), font,
                             RectF(left, top, block.width, box.y + box.h - top), &format, &brush));
}

void DrawTitle(Canvas& c, std::string_view text, REAL x, REAL y, REAL size, Align align, REAL width) {
    const std::wstring wide = toWide(displayText(c, text, true));
    if (wide.empty()) return;
    Gdiplus::StringFormat format;
    format.SetAlignment(align == Align::Centre ? Gdiplus::StringAlignmentCenter : Gdiplus::StringAlignmentNear);
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    GraphicsPath path;
    const Gdiplus::FontFamily* family = c.fonts().family(true);
    if (family == nullptr) return;
    const INT style = c.fonts().privateFamily(true) ? Gdiplus::FontStyleRegular : Gdiplus::FontStyleBold;
    c.check(path.AddString(wide.c_str(), static_cast<INT>(wide.size()), family, style, size,
                           RectF(x, y, width, 1.6f * size), &format));

    std::unique_ptr<GraphicsPath> shadow(path.Clone());
    Gdiplus::Matrix down(1, 0, 0, 1, 0, 5);
    c.check(shadow->Transform(&down));
    Gdiplus::SolidBrush shadowBrush(argb(0x6E1D1230));
    fillPath(c, shadowBrush, *shadow);

    Gdiplus::Pen outline(argb(colour::kDeepPurple), 0.12f * size);
    outline.SetLineJoin(Gdiplus::LineJoinRound);
    c.check(c.g().DrawPath(&outline, &path));

    RectF bounds;
    c.check(path.GetBounds(&bounds));
    auto face = verticalGradient(bounds.Y, bounds.Y + bounds.Height + 1, 0xFFFFFAF0, 0xFFFFE7A6);
    presetBlend(c, face, {0xFFFFFAF0, 0xFFFFE39A, 0xFFF2B84B, 0xFFFFE7A6}, {0.0f, 0.42f, 0.58f, 1.0f});
    fillPath(c, face, path);
}

void DrawButton(Canvas& c, const Box& rect, std::string_view label, bool primary, bool enabled) {
    const bool hovered = enabled && c.hovered(rect);
    const REAL x = rect.x, y = rect.y, w = rect.w, h = rect.h;
    const auto body = roundedPath(rect, h / 2);
    if (primary) {
        if (enabled) {
            FillRounded(c, {x - 2, y + 3, w + 4, h + 2}, h / 2 + 2, hovered ? 0x78F2C66D : 0x50F2C66D);
        }
        const ARGB top = !enabled ? 0xFF78688C : hovered ? 0xFFFFF6CE : 0xFFFFE9AD;
        const ARGB bottom = !enabled ? 0xFF544668 : hovered ? 0xFFE8AA48 : 0xFFD99A3A;
        auto fill = verticalGradient(y, y + h + 1, top, bottom);
        fillPath(c, fill, body);
        strokePath(c, enabled ? colour::kDarkGold : 0xFF4A3C5C, 1.5f, body);
        Gdiplus::Pen highlight(argb(enabled ? 0x96FFFFFF : 0x28FFFFFF), 1.2f);
        c.check(c.g().DrawLine(&highlight, x + h / 2, y + 3, x + w - h / 2, y + 3));
        DrawLabel(c, label, x + 8, y + (h - 26) / 2, w - 16, 30, 19, enabled ? 0xFF3A1D00 : 0xFFC8BAD6, true,
                  Align::Centre, false, true);
        return;
    }
    Gdiplus::SolidBrush fill(argb(hovered ? 0x3CFFFFFF : 0x1AFFFFFF));
    fillPath(c, fill, body);
    strokePath(c, hovered ? colour::kGold : 0x78F2C66D, 1.0f, body);
    if (label.empty()) return;
    const ARGB text = !enabled ? 0xFF8C78A0 : hovered ? colour::kLightGold : colour::kLightText;
    DrawLabel(c, label, x + 4, y + (h - 17) / 2, w - 8, 22, 12, text, true, Align::Centre, false, true);
}

void DrawDropShadow(Canvas& c, REAL x, REAL y, REAL w, REAL h, REAL r, int strength) {
    for (int n = 6; n >= 1; --n) {
        const auto nf = static_cast<REAL>(n);
        FillRounded(c, {x - 1.5f * nf, y + 2 * nf, w + 3 * nf, h + 1.5f * nf}, r + 1.5f * nf,
                    withAlpha(0x0D061A, strength / n));
    }
}

void DrawPanel(Canvas& c, REAL x, REAL y, REAL w, REAL h, REAL r, int alpha) {
    DrawDropShadow(c, x, y, w, h, r, 60);
    const auto body = roundedPath({x, y, w, h}, r);
    auto fill = verticalGradient(y, y + h + 1, withAlpha(0x3A2256, alpha), withAlpha(0x1D1230, alpha));
    fillPath(c, fill, body);
    {
        const Gdiplus::GraphicsState saved = c.g().Save();
        c.check(c.g().SetClip(body.get(), Gdiplus::CombineModeIntersect));
        GraphicsPath glow;
        c.check(glow.AddEllipse(x - 0.1f * w, y - 0.45f * h, 1.2f * w, 0.8f * h));
        Gdiplus::PathGradientBrush brush(&glow);
        brush.SetCenterColor(argb(0x2CFF7AA8));
        Color surround = argb(0x00FF7AA8);
        INT count = 1;
        brush.SetSurroundColors(&surround, &count);
        fillPath(c, brush, glow);
        c.check(c.g().Restore(saved));
    }
    StrokeRounded(c, {x + 2.5f, y + 2.5f, w - 5, h - 5}, r - 2.5f, 0xE61D1230, 3);
    StrokeRounded(c, {x + 4.5f, y + 4.5f, w - 9, h - 9}, r - 4.5f, 0x73F2C66D, 1);
    strokePath(c, colour::kGold, 1.4f, body);
}

void DrawDiamond(Canvas& c, REAL cx, REAL cy, REAL r) {
    const PointF points[4] = {PointF(cx, cy - r), PointF(cx + r, cy), PointF(cx, cy + r), PointF(cx - r, cy)};
    GraphicsPath path;
    c.check(path.AddPolygon(points, 4));
    auto fill = verticalGradient(cy - r, cy + r + 1, colour::kLightGold, colour::kDarkGold);
    fillPath(c, fill, path);
    strokePath(c, colour::kDeepPurple, 1, path);
}

void DrawTextField(Canvas& c, REAL x, REAL y, REAL w, REAL h, std::string_view text, std::string_view placeholder,
                   bool focused, bool hasInlineButton) {
    const auto body = roundedPath({x, y, w, h}, 12);
    Gdiplus::SolidBrush fill(argb(0x96120A1E));
    fillPath(c, fill, body);
    if (focused) {
        StrokeRounded(c, {x - 3, y - 3, w + 6, h + 6}, 15, 0x405FF2E6, 3);
        strokePath(c, colour::kTurquoise, 1.5f, body);
    } else {
        strokePath(c, 0x5AF7A8C8, 1, body);
    }
    if (text.empty()) {
        const REAL placeholderWidth = hasInlineButton ? w - 72 : w - 28;
        DrawLabel(c, placeholder, x + 14, y + 11, placeholderWidth, h - 12, 15, 0x73EAF4FF, false, Align::Near, false, true);
    }
    // The text is measured and drawn with the same font and typographic format, so the caret
    // stands exactly at its end; a text longer than the field scrolls and is clipped to it.
    std::wstring wide = toWide(text);
    const Gdiplus::Font* font = c.fonts().font(false, 15);
    Gdiplus::StringFormat format(Gdiplus::StringFormat::GenericTypographic());
    format.SetFormatFlags(format.GetFormatFlags() | Gdiplus::StringFormatFlagsNoWrap |
                          Gdiplus::StringFormatFlagsMeasureTrailingSpaces);
    REAL measured = 0;
    if (!wide.empty() && font != nullptr) {
        RectF bounds;
        if (c.check(c.g().MeasureString(wide.c_str(), static_cast<INT>(wide.size()), font, PointF(0, 0), &format,
                                        &bounds)) == Gdiplus::Ok) {
            measured = bounds.Width;
        }
    }
    const FieldText shown = fieldText({x, y, w, h}, measured, hasInlineButton);
    if (!wide.empty() && font != nullptr) {
        const Gdiplus::GraphicsState saved = c.g().Save();
        c.check(c.g().SetClip(RectF(shown.clip.x, shown.clip.y, shown.clip.w, shown.clip.h), Gdiplus::CombineModeIntersect));
        Gdiplus::SolidBrush brush(argb(colour::kPrimaryText));
        c.check(c.g().DrawString(wide.c_str(), static_cast<INT>(wide.size()), font, PointF(shown.textLeft, y + 11), &format,
                                 &brush));
        c.check(c.g().Restore(saved));
    }
    // The text may be the shown password: no copy of it stays behind in freed memory.
    for (volatile wchar_t& unit : wide) unit = L'\0';
    if (!focused || !c.inputs().caretOn) return;
    Gdiplus::Pen pen(argb(colour::kTurquoise), 1.4f);
    c.check(c.g().DrawLine(&pen, shown.caret, y + 11, shown.caret, y + 33));
}

void DrawProgressBar(Canvas& c, const Box& rect, float percent, bool indeterminate) {
    const auto track = roundedPath(rect, rect.h / 2);
    Gdiplus::SolidBrush trackFill(argb(0xC8120A1E));
    fillPath(c, trackFill, track);
    strokePath(c, 0x46F7A8C8, 1, track);
    const Fill fill = splashBarFill(rect, percent, indeterminate, c.inputs().nowMs);
    if (!fill.visible) return;
    auto brush = horizontalGradient(fill.left, fill.left + fill.width + 1, 0xFFFF7AA8, colour::kGold);
    fillPath(c, brush, roundedPath({fill.left, rect.y, fill.width, rect.h}, rect.h / 2));
}

void DrawStatusProgress(Canvas& c, const Box& rect, float percent, bool indeterminate, bool busy) {
    const auto track = roundedPath(rect, rect.h / 2);
    Gdiplus::SolidBrush trackFill(argb(0xEB0E0818));
    fillPath(c, trackFill, track);
    {
        const Gdiplus::GraphicsState saved = c.g().Save();
        c.check(c.g().SetClip(track.get(), Gdiplus::CombineModeIntersect));
        auto shade = verticalGradient(rect.y - 1, rect.y + 0.6f * rect.h, 0x96000000, 0x00000000);
        c.check(c.g().FillRectangle(shade.get(), RectF(rect.x, rect.y - 1, rect.w, 0.6f * rect.h + 1)));
        c.check(c.g().Restore(saved));
    }
    strokePath(c, 0x78F2C66D, 1, track);

    const Box inner = statusBarInner(rect);
    const std::uint64_t now = c.inputs().nowMs;
    const Fill fill = statusBarFill(rect, percent, indeterminate, now);
    if (!fill.visible) return;
    for (int n = 3; n >= 1; --n) {
        const auto nf = static_cast<REAL>(n);
        FillRounded(c, {fill.left - 1.5f * nf, inner.y - 1.5f * nf, fill.width + 3 * nf, inner.h + 3 * nf},
                    inner.h / 2 + 1.5f * nf, withAlpha(0xFF96AA, 26 / n));
    }
    const auto body = roundedPath({fill.left, inner.y, fill.width, inner.h}, inner.h / 2);
    auto gradient = horizontalGradient(fill.left, fill.left + fill.width + 1, 0xFFEC6098, 0xFFFFD678);
    presetBlend(c, gradient, {0xFFEC6098, 0xFFFF9696, 0xFFFFD678}, {0.0f, 0.55f, 1.0f});
    fillPath(c, gradient, body);
    {
        const Gdiplus::GraphicsState saved = c.g().Save();
        c.check(c.g().SetClip(body.get(), Gdiplus::CombineModeIntersect));
        const REAL sheenHeight = 0.55f * inner.h;
        auto sheen = verticalGradient(inner.y, inner.y + sheenHeight + 1, 0x82FFFFFF, 0x00FFFFFF);
        c.check(c.g().FillRectangle(sheen.get(), RectF(fill.left, inner.y, fill.width, sheenHeight)));
        if (busy) {
            const REAL band = statusSheenLeft(fill, now);
            auto moving = horizontalGradient(band, band + 70, 0x00FFFFFF, 0x00FFFFFF);
            presetBlend(c, moving, {0x00FFFFFF, 0x78FFFFFF, 0x00FFFFFF}, {0.0f, 0.5f, 1.0f});
            c.check(c.g().FillRectangle(moving.get(), RectF(band, inner.y, 70, inner.h)));
        }
        c.check(c.g().Restore(saved));
    }
    if (!indeterminate && percent < 100) {
        const REAL cx = fill.left + fill.width, cy = inner.y + inner.h / 2;
        GraphicsPath glow;
        c.check(glow.AddEllipse(cx - 12, cy - 12, 24.0f, 24.0f));
        Gdiplus::PathGradientBrush brush(&glow);
        brush.SetCenterColor(argb(0xC8FFF6DC));
        Color surround = argb(0x00FFF6DC);
        INT count = 1;
        brush.SetSurroundColors(&surround, &count);
        fillPath(c, brush, glow);
    }
}

void DrawWindowControls(Canvas& c) {
    Gdiplus::Pen glyph(argb(colour::kPrimaryText), 1.6f);
    glyph.SetStartCap(Gdiplus::LineCapRound);
    glyph.SetEndCap(Gdiplus::LineCapRound);
    for (const Box& box : {kMinimizeButton, kCloseButton}) {
        const bool hovered = c.hovered(box);
        Gdiplus::SolidBrush fill(argb(hovered ? 0xE6C2417F : 0xC81D1230));
        c.check(c.g().FillEllipse(&fill, RectF(box.x, box.y, box.w, box.h)));
        Gdiplus::Pen ring(argb(hovered ? colour::kLightGold : 0xAAF2C66D), 1);
        c.check(c.g().DrawEllipse(&ring, RectF(box.x, box.y, box.w, box.h)));
    }
    const Box& m = kMinimizeButton;
    c.check(c.g().DrawLine(&glyph, m.x + 9, m.y + 15, m.x + 21, m.y + 15));
    const Box& x = kCloseButton;
    c.check(c.g().DrawLine(&glyph, x.x + 10, x.y + 10, x.x + 20, x.y + 20));
    c.check(c.g().DrawLine(&glyph, x.x + 20, x.y + 10, x.x + 10, x.y + 20));
}

void DrawFlag(Canvas& c, REAL x, REAL y, REAL w, REAL h, bool english) {
    const Gdiplus::GraphicsState saved = c.g().Save();
    c.check(c.g().SetClip(RectF(x, y, w, h), Gdiplus::CombineModeIntersect));
    if (english) {
        Gdiplus::SolidBrush white(argb(0xFFFFFFFF));
        c.check(c.g().FillRectangle(&white, RectF(x, y, w, h)));
        Gdiplus::SolidBrush red(argb(0xFFB22234));
        const REAL stripe = h / 13;
        for (int i = 0; i < 13; i += 2) {
            c.check(c.g().FillRectangle(&red, RectF(x, y + stripe * static_cast<REAL>(i), w, stripe)));
        }
        const REAL cantonW = 0.4f * w, cantonH = 7 * h / 13;
        Gdiplus::SolidBrush blue(argb(0xFF3C3B6E));
        c.check(c.g().FillRectangle(&blue, RectF(x, y, cantonW, cantonH)));
        // A 4 x 3 grid of stars reads as the canton at icon size.
        GraphicsPath stars;
        const REAL r = std::max(0.6f, cantonH / 10);
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 4; ++col) {
                addStar(stars, x + cantonW * (static_cast<REAL>(col) + 0.5f) / 4, y + cantonH * (static_cast<REAL>(row) + 0.5f) / 3, r);
            }
        }
        fillPath(c, white, stars);
    } else {
        Gdiplus::SolidBrush green(argb(0xFF009C3B));
        c.check(c.g().FillRectangle(&green, RectF(x, y, w, h)));
        const REAL mx = 0.085f * w, my = 0.12f * h;
        const PointF rhombus[4] = {PointF(x + w / 2, y + my), PointF(x + w - mx, y + h / 2), PointF(x + w / 2, y + h - my),
                                   PointF(x + mx, y + h / 2)};
        Gdiplus::SolidBrush yellow(argb(0xFFFFDF00));
        c.check(c.g().FillPolygon(&yellow, rhombus, 4));
        const REAL d = 0.5f * h;
        const REAL cx = x + w / 2, cy = y + h / 2;
        Gdiplus::SolidBrush blue(argb(0xFF002776));
        c.check(c.g().FillEllipse(&blue, RectF(cx - d / 2, cy - d / 2, d, d)));
        // The white band: an arc across the disc, slightly below its centre.
        const Gdiplus::GraphicsState inDisc = c.g().Save();
        GraphicsPath disc;
        c.check(disc.AddEllipse(cx - d / 2, cy - d / 2, d, d));
        c.check(c.g().SetClip(&disc, Gdiplus::CombineModeIntersect));
        Gdiplus::Pen band(argb(0xFFFFFFFF), std::max(0.8f, d * 0.12f));
        c.check(c.g().DrawArc(&band, RectF(cx - d * 1.1f, cy - d * 0.35f, d * 2.2f, d * 2.0f), 200, 140));
        c.check(c.g().Restore(inDisc));
    }
    c.check(c.g().Restore(saved));
    Gdiplus::Pen outline(argb(0x8C1D1230), 0.8f);
    c.check(c.g().DrawRectangle(&outline, RectF(x, y, w, h)));
}

void DrawSky(Canvas& c, bool splash, ShootingStars& shooting) {
    const REAL skyRight = splash ? kCardX + kCardW : kAccountPanelLeft;
    const Box sky{kCardX + 8, kCardY + 8, skyRight - (kCardX + 8), kCardH - 16};
    const Gdiplus::GraphicsState saved = c.g().Save();
    const auto clip = roundedPath(sky, 18);
    c.check(c.g().SetClip(clip.get(), Gdiplus::CombineModeIntersect));

    const std::uint64_t now = c.inputs().nowMs;
    const double t = animationSeconds(now);
    const bool plotted = plotStars(c, sky, t);
    for (int k = 0; k < kStarCount; ++k) {
        const Star star = skyStar(k, kCardX, kCardY, t);
        if (!plotted) {
            Gdiplus::SolidBrush brush(argb(withAlpha(0xFFEFCA, star.alpha)));
            c.check(c.g().FillEllipse(&brush, RectF(star.x - star.radius, star.y - star.radius, 2 * star.radius, 2 * star.radius)));
        }
        if (star.cross) {
            Gdiplus::Pen pen(argb(withAlpha(0xFFF4DC, star.alpha / 2)), 0.7f);
            c.check(c.g().DrawLine(&pen, star.x - 3.8f, star.y, star.x + 3.8f, star.y));
            c.check(c.g().DrawLine(&pen, star.x, star.y - 3.8f, star.x, star.y + 3.8f));
        }
    }

    shooting.advance(now, kCardX, kCardY, skyRight);
    for (const ShootingStar& star : shooting.live()) {
        if (!ShootingStars::visible(star)) continue;
        const ARGB tint = star.blue ? 0xBEE9FF : 0xFFEBB9;
        for (int n = ShootingStars::kSegments - 1; n >= 0; --n) {
            const TrailSegment s = ShootingStars::segment(star, n);
            if (s.alpha <= 0) continue;
            Gdiplus::Pen pen(argb(withAlpha(tint, s.alpha)), s.width);
            c.check(c.g().DrawLine(&pen, s.x1, s.y1, s.x2, s.y2));
        }
        float hx = 0, hy = 0;
        ShootingStars::head(star, hx, hy);
        const int alpha = static_cast<int>(ShootingStars::brightness(star) * 245);
        if (alpha > 0) {
            Gdiplus::SolidBrush headBrush(argb(withAlpha(0xFFFAE6, alpha)));
            c.check(c.g().FillEllipse(&headBrush, RectF(hx - 1.7f, hy - 1.7f, 3.4f, 3.4f)));
        }
    }
    shooting.prune();
    c.check(c.g().Restore(saved));
}

}  // namespace nyra::ui
