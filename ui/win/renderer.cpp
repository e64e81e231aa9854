#include "ui/win/renderer.h"

#include "core/text.h"
#include "platform/win/handles.h"
#include "ui/input.h"
#include "ui/layout.h"
#include "ui/news.h"
#include "ui/screen_text.h"
#include "ui/translate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace nyra::ui {
namespace {

using Gdiplus::RectF;

// Drawing works in float boxes; the shared layout table is in doubles.
constexpr Box box(const Rect& r) {
    return {static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.w), static_cast<float>(r.h)};
}

// The screen's rectangles (logical pixels): the regions shared with hit testing, and the few that
// only drawing uses.
namespace rect {
constexpr Box kCard = box(layout::kCard);
constexpr float kCardRadius = static_cast<float>(layout::kCardRadius);
constexpr Box kAccountPanel = box(layout::kAccountPanel);
constexpr Box kPlay = box(layout::kPlayButton);
constexpr Box kVerify = box(layout::kVerifyButton);
constexpr Box kPortal = box(layout::kPortalButton);
constexpr Box kOptions = box(layout::kOptionsButton);
constexpr Box kUsername = box(layout::kUsernameField);
constexpr Box kPassword = box(layout::kPasswordField);
constexpr Box kShowHide = box(layout::kShowHidePassword);
constexpr Box kLanguageSwitch = box(layout::kLanguageSwitch);
constexpr Box kLanguageMenu = box(layout::kLanguageMenuPanel);
constexpr Box kLanguagePortuguese = box(layout::kLanguageOptionPortuguese);
constexpr Box kLanguageEnglish = box(layout::kLanguageOptionEnglish);
constexpr Box kSettingsResolution = box(layout::kSettingsResolutionValue);
constexpr Box kSettingsDisplayMode = box(layout::kSettingsDisplayModeValue);
constexpr Box kSettingsGraphics = box(layout::kSettingsGraphicsValue);
constexpr Box kSettingsGameLanguage = box(layout::kSettingsGameLanguageValue);
constexpr Box kSettingsSave = box(layout::kSettingsSaveButton);
constexpr Box kSettingsPanel = box(layout::kSettingsPanel);
constexpr Box kInstallPanel = box(layout::kInstallPanel);
constexpr Box kInstallChoose = box(layout::kInstallChooseFolder);
constexpr Box kInstallButton = box(layout::kInstallButton);
constexpr Box kSignOut = box(layout::kSignOutLink);
constexpr Box kRegister = box(layout::kRegisterLink);
constexpr Box kForgotPassword = box(layout::kForgotPasswordLink);
constexpr Box kNewsPanel = box(layout::kNewsPanel);
constexpr Box kNewsAll = box(layout::kNewsAllLink);
constexpr Box kNewsFeatured = box(layout::kNewsFeaturedCard);
constexpr Box newsRow(int k) { return box(layout::newsRow(k)); }
constexpr Box kStatusPanel = box(layout::kGameStatusPanel);
constexpr Box kSplashBar{415, 562, 300, 8};
constexpr Box kStatusBar = box(layout::kStatusBar);
constexpr Box kNewsCover{470, 332, 352, 128};
}  // namespace rect

// Where the background art stands (logical pixels; each picture drawn whole to the given height).
struct ArtPlace {
    float x, y, height;
};
namespace art {
// Splash: the hero beside the logo, feet on the card's lower edge.
constexpr ArtPlace kSplashHero{683, 170, 620};
// Home: the hero stands left of the news panel, below the titles and among the crystals, so the
// whole figure shows instead of a hood above the panel.
constexpr ArtPlace kHomeHero{40, 270, 520};
constexpr float kHeroWidthPerHeight = 1033.0f / 1240.0f;
// The crystal's glow reaches the picture's top row; its top 32 of 1240 rows fade out (the tip of
// the crystal starts below them), so the glow has no edge.
constexpr float kHeroTopFadeShare = 32.0f / 1240.0f;
// Crystals, lantern and rocks in the lower left corner, inside the card.
constexpr ArtPlace kSide{30, 296, 524};
}  // namespace art

// A label in one of the layout's text boxes.
void drawText(Canvas& c, std::string_view text, const layout::TextBox& t, ARGB colour, Align align, bool translate) {
    const Box b = box(t.rect);
    DrawLabel(c, text, b.x, b.y, b.w, b.h, t.size, colour, t.bold, align, t.wrap, translate);
}

// A wrapping text box whose one or two lines sit in the middle of its height, drawn smaller (down
// to `smallest`) when the text does not fit whole at the box's size.
void drawTextBlock(Canvas& c, std::string_view text, const layout::TextBox& t, float smallest, ARGB colour, Align align,
                   bool translate) {
    DrawTextBlock(c, text, box(t.rect), t.size, smallest, colour, t.bold, align, translate);
}

// The user name at the box's size when it fits one line, else at the largest smaller size that
// does (down to the smallest the layout allows, then cut with "..."), kept on the box's middle line.
void drawUserName(Canvas& c, const std::string& name, const layout::TextBox& t, ARGB colour) {
    const std::wstring wide = toWide(name);
    const Box b = box(t.rect);
    float size = t.size;
    while (size > layout::kSignedInNameSmallest && !LabelFits(c, wide, b.w, b.h, size, t.bold, false)) size -= 1;
    const float drop = (MeasureLabel(c, L"Ag", b.w, t.size, t.bold, false).Height -
                        MeasureLabel(c, L"Ag", b.w, size, t.bold, false).Height) / 2;
    DrawLabel(c, name, b.x, b.y + drop, b.w, b.h - drop, size, colour, t.bold, Align::Centre, false, false);
}

// Number of UTF-16 units of a UTF-8 text (what a badge is sized by).
std::size_t displayLength(const std::string& text) { return toWide(text).size(); }

void line(Canvas& c, ARGB colour, float width, float x1, float y1, float x2, float y2) {
    Gdiplus::Pen pen(Gdiplus::Color(colour), width);
    c.check(c.g().DrawLine(&pen, x1, y1, x2, y2));
}

// The rounded-box image drawing of the news covers: the centre of the picture covers the box.
void drawCover(Canvas& c, Gdiplus::Bitmap* cover, const Box& box, float radius, float opacity) {
    if (cover == nullptr || opacity <= 0) return;
    const Box source = coverSource(static_cast<float>(cover->GetWidth()), static_cast<float>(cover->GetHeight()), box.w, box.h);
    Gdiplus::GraphicsPath clip;
    AddRoundedRect(clip, box.x, box.y, box.w, box.h, radius);
    const Gdiplus::GraphicsState saved = c.g().Save();
    c.check(c.g().SetClip(&clip, Gdiplus::CombineModeIntersect));
    if (opacity >= 1) {
        c.check(c.g().DrawImage(cover, RectF(box.x, box.y, box.w, box.h), source.x, source.y, source.w, source.h,
                                Gdiplus::UnitPixel));
    } else {
        Gdiplus::ColorMatrix matrix{};
        for (int i = 0; i < 5; ++i) matrix.m[i][i] = 1;
        matrix.m[3][3] = opacity;
        Gdiplus::ImageAttributes attributes;
        c.check(attributes.SetColorMatrix(&matrix));
        c.check(c.g().DrawImage(cover, RectF(box.x, box.y, box.w, box.h), source.x, source.y, source.w, source.h,
                                Gdiplus::UnitPixel, &attributes));
    }
    c.check(c.g().Restore(saved));
}

std::unique_ptr<Gdiplus::Bitmap> newLayer(INT width, INT height) {
    auto layer = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
    if (layer->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return layer;
}

// Everything of UiState that the cached home group shows. Never the password, the fields or the
// status panel's content: those are drawn live on every frame.
std::string homeKey(const UiState& s, bool english) {
    nlohmann::json key = {english,
                          s.gameVersion,
                          s.signedIn ? s.username : std::string(),
                          s.busy,
                          s.busyKind,
                          s.serverOnline,
                          s.signedIn,
                          s.gameRunning,
                          unreadCount(s.notifications),
                          s.newsIndex,
                          s.newsRotatedMs};
    for (const NewsItem& item : s.news) {
        key.push_back({item.slug, item.category, item.title, item.summary, item.cover, item.displayDate, item.pinned});
    }
    return key.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string overlaysKey(const UiState& s, bool english) {
    nlohmann::json key = {english,          s.settingsOpen,     s.resolutionWidth,  s.resolutionHeight, s.fullScreen,
                          s.graphicsMode,   s.languageEnglish,  s.languageMenuOpen, s.installPanelOpen, s.selectedEntry,
                          s.installing,     s.installMessage};
    for (const InstallEntry& entry : s.installEntries) key.push_back({entry.path, entry.reason, entry.freeBytes, entry.usable});
    return key.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Source-over of one premultiplied layer onto another of the same size. GDI+ does the same with
// DrawImage, several times slower for a whole-window layer that is mostly transparent.
bool compositeOver(Gdiplus::Bitmap& target, Gdiplus::Bitmap& layer) {
    const auto width = static_cast<INT>(target.GetWidth());
    const auto height = static_cast<INT>(target.GetHeight());
    if (static_cast<INT>(layer.GetWidth()) != width || static_cast<INT>(layer.GetHeight()) != height) return false;
    Gdiplus::Rect all(0, 0, width, height);
    Gdiplus::BitmapData to{}, from{};
    if (target.LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeWrite, PixelFormat32bppPARGB, &to) !=
        Gdiplus::Ok) {
        return false;
    }
    if (layer.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &from) != Gdiplus::Ok) {
        target.UnlockBits(&to);
        return false;
    }
    for (INT y = 0; y < height; ++y) {
        auto* dst = reinterpret_cast<std::uint32_t*>(static_cast<std::byte*>(to.Scan0) + static_cast<std::ptrdiff_t>(y) * to.Stride);
        const auto* src =
            reinterpret_cast<const std::uint32_t*>(static_cast<const std::byte*>(from.Scan0) + static_cast<std::ptrdiff_t>(y) * from.Stride);
        for (INT x = 0; x < width; ++x) {
            const std::uint32_t s = src[x];
            const std::uint32_t alpha = s >> 24;
            if (alpha == 0) continue;
            if (alpha == 255) {
                dst[x] = s;
                continue;
            }
            const std::uint32_t d = dst[x];
            const std::uint32_t keep = 255 - alpha;
            // Premultiplied source-over per channel, rounded: s + d * (255 - a) / 255.
            const auto blend = [&](unsigned shift) {
                const std::uint32_t scaled = ((d >> shift) & 0xFF) * keep + 128;
                const std::uint32_t value = ((s >> shift) & 0xFF) + ((scaled + (scaled >> 8)) >> 8);
                return (value > 255 ? 255u : value) << shift;
            };
            dst[x] = blend(24) | blend(16) | blend(8) | blend(0);
        }
    }
    layer.UnlockBits(&from);
    target.UnlockBits(&to);
    return true;
}

// Fades out the top `fade` logical pixels of the band (x, top, width) of a layer: every pixel is
// multiplied (premultiplied, so all four channels) by how far inside the edge it lies.
void fadeTopEdge(Canvas& c, Gdiplus::Bitmap& layer, float x, float top, float width, float fade) {
    c.g().Flush(Gdiplus::FlushIntentionSync);
    const double s = c.scale();
    const auto layerWidth = static_cast<INT>(layer.GetWidth());
    const auto layerHeight = static_cast<INT>(layer.GetHeight());
    const INT left = std::clamp(static_cast<INT>(std::floor(x * s)), 0, layerWidth);
    const INT right = std::clamp(static_cast<INT>(std::ceil((x + width) * s)), 0, layerWidth);
    const INT first = std::clamp(static_cast<INT>(std::floor(top * s)), 0, layerHeight);
    const INT last = std::clamp(static_cast<INT>(std::ceil((top + fade) * s)), 0, layerHeight);
    if (right <= left || last <= first) return;
    Gdiplus::Rect band(left, first, right - left, last - first);
    Gdiplus::BitmapData data{};
    if (c.check(layer.LockBits(&band, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeWrite, PixelFormat32bppPARGB,
                               &data)) != Gdiplus::Ok) {
        return;
    }
    for (INT row = 0; row < band.Height; ++row) {
        const double inside = (static_cast<double>(first + row) + 0.5) / s - top;
        const auto keep = static_cast<std::uint32_t>(std::lround(edgeFade(static_cast<float>(inside), fade) * 256));
        auto* pixels = reinterpret_cast<std::uint32_t*>(static_cast<std::byte*>(data.Scan0) + static_cast<std::ptrdiff_t>(row) * data.Stride);
        for (INT column = 0; column < band.Width; ++column) {
            const std::uint32_t p = pixels[column];
            const auto channel = [&](unsigned shift) { return ((((p >> shift) & 0xFF) * keep) >> 8) << shift; };
            pixels[column] = channel(24) | channel(16) | channel(8) | channel(0);
        }
    }
    c.check(layer.UnlockBits(&data));
}

}  // namespace

template <typename Draw>
void Renderer::drawCached(Canvas& frame, CachedGroup& group, const std::string& key, const PaintInputs& inputs,
                          double scale, Draw draw) {
    bool valid = group.bitmap && !group.animated && group.scale == scale && group.key == key;
    for (std::size_t i = 0; valid && i < group.queries.size(); ++i) {
        const Box& b = group.queries[i].box;
        const bool now = inputs.mouseX >= b.x && inputs.mouseX <= b.x + b.w && inputs.mouseY >= b.y && inputs.mouseY <= b.y + b.h;
        valid = now == group.queries[i].answer;
    }
    if (!valid) {
        group.bitmap = newLayer(static_cast<INT>(baseLayer_->GetWidth()), static_cast<INT>(baseLayer_->GetHeight()));
        group.key = key;
        group.scale = scale;
        ++group.builds;
        if (!group.bitmap) return;
        Gdiplus::Graphics g(group.bitmap.get());
        Canvas c(g, fonts_, inputs);
        c.check(g.Clear(Gdiplus::Color(0, 0, 0, 0)));
        c.applySettings(scale);
        draw(c);
        group.queries = c.hoverQueries();
        group.animated = c.animated();
        if (c.status() != Gdiplus::Ok) frame.check(c.status());
    }
    blit(frame, *group.bitmap, scale);
}

// Layers are already at device resolution: a one-to-one copy needs no filtering.
void Renderer::blit(Canvas& frame, Gdiplus::Bitmap& layer, double scale) {
    Gdiplus::Graphics& g = frame.g();
    if (target_ != nullptr) {
        g.Flush(Gdiplus::FlushIntentionSync);
        if (compositeOver(*target_, layer)) return;
    }
    const auto width = static_cast<INT>(layer.GetWidth());
    const auto height = static_cast<INT>(layer.GetHeight());
    frame.check(g.ResetTransform());
    frame.check(g.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor));
    frame.check(g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeNone));
    frame.check(g.DrawImage(&layer, Gdiplus::Rect(0, 0, width, height), 0, 0, width, height, Gdiplus::UnitPixel));
    frame.applySettings(scale);
}

Renderer::Renderer(LauncherAssets& assets, UiStore& store, Clock& clock, std::uint32_t seed)
    : assets_(assets), store_(store), clock_(clock), fonts_(&assets.fonts()), shooting_(seed) {}

Renderer::~Renderer() = default;

Gdiplus::Bitmap* Renderer::newsCover(const std::string& cover) const {
    return assets_.art(kFirstCoverResource + static_cast<int>(coverIndex(cover)));
}

void Renderer::rebuildLayers(double scale, bool splash, PaintInputs& inputs) {
    const auto width = static_cast<INT>(std::lround(1280 * scale));
    const auto height = static_cast<INT>(std::lround(820 * scale));
    baseLayer_ = newLayer(width, height);
    decorationLayer_ = newLayer(width, height);
    layerScale_ = scale;
    layerSplash_ = splash;
    ++layerBuilds_;
    if (!baseLayer_ || !decorationLayer_) return;
    const Box& card = rect::kCard;
    {
        Gdiplus::Graphics g(baseLayer_.get());
        Canvas c(g, fonts_, inputs);
        c.check(g.Clear(Gdiplus::Color(0, 0, 0, 0)));
        c.applySettings(scale);
        DrawDropShadow(c, card.x, card.y, card.w, card.h, rect::kCardRadius, 90);
        Gdiplus::GraphicsPath cardPath;
        AddRoundedRect(cardPath, card.x, card.y, card.w, card.h, rect::kCardRadius);
        c.check(g.SetClip(&cardPath));
        if (auto* art = assets_.art(kArtCardBackground)) c.check(g.DrawImage(art, RectF(card.x, card.y, card.w, card.h)));
        Gdiplus::LinearGradientBrush veil(Gdiplus::PointF(80, 0), Gdiplus::PointF(720, 0), Gdiplus::Color(0x961D1230),
                                          Gdiplus::Color(0x001D1230));
        c.check(g.FillRectangle(&veil, RectF(80, 70, 640, 720)));
        c.check(g.ResetClip());
        if (c.status() != Gdiplus::Ok) lastStatus_ = c.status();
    }
    {
        Gdiplus::Graphics g(decorationLayer_.get());
        Canvas c(g, fonts_, inputs);
        c.check(g.Clear(Gdiplus::Color(0, 0, 0, 0)));
        c.applySettings(scale);
        Gdiplus::GraphicsPath cardPath;
        AddRoundedRect(cardPath, card.x, card.y, card.w, card.h, rect::kCardRadius);
        c.check(g.SetClip(&cardPath));
        // The hero is the first thing in the layer, so fading the layer's top band fades the hero alone.
        const ArtPlace& hero = splash ? art::kSplashHero : art::kHomeHero;
        DrawImageToHeight(c, assets_.art(kArtHero), hero.x, hero.y, hero.height);
        fadeTopEdge(c, *decorationLayer_, hero.x, hero.y, hero.height * art::kHeroWidthPerHeight,
                    hero.height * art::kHeroTopFadeShare);
        Gdiplus::LinearGradientBrush shade(Gdiplus::PointF(0, 600), Gdiplus::PointF(0, card.y + card.h),
                                           Gdiplus::Color(0x001D1230), Gdiplus::Color(0xD21D1230));
        shade.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
        c.check(g.FillRectangle(&shade, RectF(80, 600, 1120, 190)));
        // The crystals stand inside the card and end at its rounded edge, under the frame lines.
        DrawImageToHeight(c, assets_.art(kArtDecorationSide), art::kSide.x, art::kSide.y, art::kSide.height);
        c.check(g.ResetClip());

        StrokeRounded(c, {83, 73, 1114, 714}, 23, 0xEB1D1230, 4);
        StrokeRounded(c, {86, 76, 1108, 708}, 20, 0x8CF2C66D, 1.2f);
        StrokeRounded(c, card, rect::kCardRadius, colour::kGold, 2);
        for (const auto& [x, y] : {std::pair{110.0f, 70.0f}, {1170.0f, 70.0f}, {110.0f, 790.0f}, {1170.0f, 790.0f}}) {
            DrawDiamond(c, x, y, 6);
        }
        // The crescent and its lanterns hang from above the card.
        DrawImageToHeight(c, assets_.art(kArtDecorationTop), splash ? 770.0f : 548.0f, 2, 330);
        Gdiplus::Bitmap* logo = assets_.art(kArtLogo);
        if (splash) {
            if (logo != nullptr) c.check(g.DrawImage(logo, RectF(400, 130, 330, 328)));
        } else {
            const Box& panel = rect::kAccountPanel;
            DrawPanel(c, panel.x, panel.y, panel.w, panel.h, 20, 246);
            DrawDiamond(c, 1016, 112, 7);
            if (logo != nullptr) c.check(g.DrawImage(logo, RectF(918, 118, 196, 195)));
            DrawLabel(c, "CONTINUE SUA JORNADA", 122, 104, 420, 24, 14, colour::kLightGold, true, Align::Near, false, true);
            DrawTitle(c, "De volta ao mundo", 116, 124, 44, Align::Near, 700);
            DrawTitle(c, "de Nyra Saga", 116, 184, 52, Align::Near, 700);
        }
        if (c.status() != Gdiplus::Ok) lastStatus_ = c.status();
    }
}

std::unique_ptr<Gdiplus::Bitmap> Renderer::RenderFrame(double scale, bool preview) {
    const UiSnapshot state = store_.snapshot();
    const bool english = store_.uiEnglish().load();
    const bool splash = store_.splash().load() && !preview;

    PaintInputs inputs;
    inputs.translate = [this, english](const std::string& text) {
        if (translationObserver_) translationObserver_(text);
        return TranslateForDisplay(text, english);
    };
    inputs.mouseX = mouseX_;
    inputs.mouseY = mouseY_;
    inputs.caretOn = caretOn_;
    inputs.nowMs = clock_.tickMs();
    lastStatus_ = Gdiplus::Ok;

    // The layers carry titles in the UI language, so a language change rebuilds them too.
    if (!baseLayer_ || !decorationLayer_ || layerScale_ != scale || layerSplash_ != splash || layerEnglish_ != english) {
        layerEnglish_ = english;
        rebuildLayers(scale, splash, inputs);
    }
    if (!baseLayer_ || !decorationLayer_) return nullptr;
    if (layerBuildsSeen_ != layerBuilds_) {
        // New layers (scale, splash or language changed): the groups are drawn anew as well.
        home_.bitmap.reset();
        overlays_.bitmap.reset();
        layerBuildsSeen_ = layerBuilds_;
    }
    const auto width = static_cast<INT>(baseLayer_->GetWidth());
    const auto height = static_cast<INT>(baseLayer_->GetHeight());

    // Copying the base layer is the "draw with SourceCopy" of the frame's first step.
    std::unique_ptr<Gdiplus::Bitmap> frame(baseLayer_->Clone(0, 0, width, height, PixelFormat32bppPARGB));
    if (!frame || frame->GetLastStatus() != Gdiplus::Ok) return nullptr;
    Gdiplus::Graphics g(frame.get());
    Canvas c(g, fonts_, inputs);
    target_ = frame.get();
    c.setTarget(frame.get());
    c.check(g.SetCompositingMode(Gdiplus::CompositingModeSourceOver));
    c.applySettings(scale);

    DrawSky(c, splash, shooting_);

    blit(c, *decorationLayer_, scale);

    if (splash) {
        DrawLabel(c, "Sua jornada começa aqui.", 315, 480, 500, 38, 26, colour::kPrimaryText, true, Align::Centre, false, true);
        drawText(c, state.statusText, layout::kSplashStatus, colour::kLightText, Align::Centre, true);
        DrawProgressBar(c, rect::kSplashBar, 0, true);
    } else {
        // Most of the home screen changes only with the state or the hover; it is drawn into a
        // cached group. The text fields (typing, caret) and the status panel's texts and bar
        // (progress, animation) are drawn live, in their place in the order: nothing of the group
        // lies over them.
        drawCached(c, home_, homeKey(state, english), inputs, scale, [&](Canvas& group) { drawHome(group, state); });
        if (!state.signedIn) drawLoginFields(c, state);
        drawStatusContent(c, state);
        drawCached(c, overlays_, overlaysKey(state, english), inputs, scale, [&](Canvas& group) {
            if (state.settingsOpen) drawSettingsPanel(group, state);
            drawLanguageSwitch(group, state);
            if (state.installPanelOpen) drawInstallPanel(group, state);
        });
    }
    target_ = nullptr;
    if (lastStatus_ == Gdiplus::Ok) lastStatus_ = c.status();
    return frame;
}

void Renderer::drawHome(Canvas& c, const UiState& s) {
    DrawWindowControls(c);
    drawAccountPanel(c, s);
    drawNewsPanel(c, s);
    drawStatusPanel(c, s);
}

void Renderer::drawAccountPanel(Canvas& c, const UiState& s) {
    FillRounded(c, {944, 322, 144, 26}, 13, 0x96120A1E);
    StrokeRounded(c, {944, 322, 144, 26}, 13, 0x5AF7A8C8, 1);
    Gdiplus::SolidBrush dot(Gdiplus::Color(s.serverOnline ? colour::kOnlineGreen : colour::kOfflineOrange));
    c.check(c.g().FillEllipse(&dot, RectF(956, 330, 8, 8)));
    DrawLabel(c, serverChipText(s), 970, 325, 112, 20, 12, colour::kLightText, true,
              Align::Near, false, true);
    DrawLabel(c, "ACESSO À CONTA", 880, 360, 272, 22, 13, colour::kGold, true, Align::Near, false, true);
    line(c, 0x5AF2C66D, 1, 880, 386, 1152, 386);

    if (!s.signedIn) {
        DrawLabel(c, "Usuário", 880, 396, 272, 20, 13, colour::kLightText, true, Align::Near, false, true);
        DrawLabel(c, "Senha", 880, 468, 272, 20, 13, colour::kLightText, true, Align::Near, false, true);
        DrawButton(c, rect::kRegister, "CRIAR CONTA", false, true);
        DrawButton(c, rect::kForgotPassword, "ESQUECI SENHA", false, true);
    } else {
        drawText(c, "Bem-vindo de volta,", layout::kSignedInGreeting, colour::kLightText, Align::Centre, true);
        drawUserName(c, s.username, layout::kSignedInName, colour::kLightGold);
        // Unread notifications are news worth the gold; the other lines stay quiet.
        const std::size_t unread = unreadCount(s.notifications);
        const bool announce = !s.busy && unread > 0;
        drawText(c, signedInLine(s, unread), layout::kSignedInLine, announce ? colour::kLightGold : colour::kMutedLilac,
                 Align::Centre, true);
        DrawButton(c, rect::kSignOut, "SAIR DA CONTA", false, !s.busy && !s.gameRunning);
        drawTextBlock(c, kSignedInFooterText, layout::kSignedInFooter, layout::kSignedInFooter.size, colour::kMutedLilac,
                      Align::Centre, true);
    }

    DrawButton(c, rect::kPlay, playButtonLabel(s), true, !s.busy);
    DrawButton(c, rect::kVerify, "VERIFICAR", false, !s.busy);
    DrawButton(c, rect::kPortal, "PORTAL", false, true);
    DrawButton(c, rect::kOptions, "OPÇÕES", false, !s.busy);

    drawText(c, "LAUNCHER " + launcherVersion_, layout::kLauncherVersionLine, 0xFFC8B2D4, Align::Centre, false);
    drawText(c, "JOGO: " + s.gameVersion, layout::kGameVersionLine, colour::kLightText, Align::Centre, true);
}

// The login fields change with every key and blink with the caret: drawn on every frame.
void Renderer::drawLoginFields(Canvas& c, const UiSnapshot& s) {
    const Box& user = rect::kUsername;
    DrawTextField(c, user.x, user.y, user.w, user.h, s.username, "Seu usuário", s.focusedField == kFocusUsername, false);
    std::string shown;
    if (s.passwordShown) {
        shown = s.password;
    } else {
        // The snapshot carries only the hidden password's length.
        for (std::size_t i = 0; i < s.passwordLength; ++i) shown += "\xE2\x80\xA2";  // U+2022 per character
    }
    const Box& pass = rect::kPassword;
    DrawTextField(c, pass.x, pass.y, pass.w, pass.h, shown, "Sua senha", s.focusedField == kFocusPassword, true);
    wipe(shown);
    DrawLabel(c, s.passwordShown ? "OCULTAR" : "MOSTRAR", 1086, 505, 60, 18, 10,
              c.hovered(rect::kShowHide) ? colour::kLightGold : colour::kMutedLilac, true, Align::Centre, false, true);
}

void Renderer::drawStatusPanel(Canvas& c, const UiState&) {
    const Box& panel = rect::kStatusPanel;
    DrawPanel(c, panel.x, panel.y, panel.w, panel.h, 16, 240);
}

// The status panel's texts and bar follow every progress step of a download: drawn live.
void Renderer::drawStatusContent(Canvas& c, const UiState& s) {
    drawText(c, statusPanelTitle(s), layout::kStatusTitle, colour::kGold, Align::Near, true);
    const bool ready = readyToPlay(s);
    drawText(c, std::to_string(s.progress) + "%", layout::kStatusPercent, ready ? colour::kReadyPercent : colour::kLightGold,
             Align::Far, false);
    const bool notice = noticeVisible(s, c.inputs().nowMs);
    drawTextBlock(c, statusDetail(s, c.inputs().nowMs), layout::kStatusDetail, layout::kStatusDetailSmallest,
                  notice ? colour::kLightGold : colour::kLightText, Align::Near, true);
    DrawStatusProgress(c, rect::kStatusBar, static_cast<float>(s.progress), s.busy && s.progress == 0, s.busy);
}

void Renderer::drawNewsPanel(Canvas& c, const UiState& s) {
    const Box& panel = rect::kNewsPanel;
    DrawPanel(c, panel.x, panel.y, panel.w, panel.h, 18, 238);
    DrawDiamond(c, 646, 286, 6);
    DrawLabel(c, "NOTÍCIAS", 472, 302, 120, 22, 15, colour::kGold, true, Align::Near, false, true);

    const NewsItem fallback = builtInNewsItem();
    const bool empty = s.news.empty();
    const int n = empty ? 1 : static_cast<int>(s.news.size());
    const int current = static_cast<int>(currentNewsIndex(s));
    const auto item = [&](int index) -> const NewsItem& { return empty ? fallback : s.news[static_cast<std::size_t>(index % n)]; };

    for (const PagerPill& pill : newsPager(n, current)) {
        FillRounded(c, {pill.x, 309, pill.width, 7}, 3.5f, pill.current ? colour::kGold : 0x5AF2C66D);
    }
    const bool linkHovered = c.hovered(rect::kNewsAll);
    FillRounded(c, rect::kNewsAll, 13, linkHovered ? 0x3CFFFFFF : 0x1AFFFFFF);
    StrokeRounded(c, rect::kNewsAll, 13, linkHovered ? colour::kGold : 0x78F2C66D, 1);
    DrawLabel(c, "VER TODAS  ›", 722, 303, 100, 18, 11, linkHovered ? colour::kLightGold : colour::kLightText, true,
              Align::Centre, false, true);

    const NewsItem& featured = item(current);
    const Box coverBox{470, 332, 352, 128};
    const float fade = coverFade(c.inputs().nowMs, s.newsRotatedMs);
    if (fade < 1) c.markAnimated();  // fading in: draw again next frame
    drawCover(c, newsCover(featured.cover), coverBox, 12, fade);
    StrokeRounded(c, coverBox, 12, 0x96F2C66D, 1);
    {
        Gdiplus::GraphicsPath clip;
        AddRoundedRect(clip, coverBox.x, coverBox.y, coverBox.w, coverBox.h, 12);
        const Gdiplus::GraphicsState saved = c.g().Save();
        c.check(c.g().SetClip(&clip, Gdiplus::CombineModeIntersect));
        Gdiplus::LinearGradientBrush shade(Gdiplus::PointF(0, 406), Gdiplus::PointF(0, 461), Gdiplus::Color(0x001D1230),
                                           Gdiplus::Color(0xD71D1230));
        shade.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
        c.check(c.g().FillRectangle(&shade, RectF(470, 406, 352, 54)));
        if (c.hovered(rect::kNewsFeatured)) {
            Gdiplus::SolidBrush lit(Gdiplus::Color(0x1CFFFFFF));
            c.check(c.g().FillRectangle(&lit, RectF(coverBox.x, coverBox.y, coverBox.w, coverBox.h)));
        }
        c.check(c.g().Restore(saved));
    }
    FillRounded(c, {480, 342, 96, 20}, 10, 0xEB1D1230);
    StrokeRounded(c, {480, 342, 96, 20}, 10, colour::kGold, 1);
    DrawLabel(c, featured.pinned ? "★ FIXADO" : "★ DESTAQUE", 480, 345, 96, 16, 10, colour::kLightGold, true, Align::Centre,
              false, true);

    const CategoryStyle look = categoryStyle(featured.category);
    const std::string label = c.inputs().translate ? c.inputs().translate(std::string(look.label)) : std::string(look.label);
    const float badge = badgeWidth(displayLength(label));
    FillRounded(c, {482, 432, badge, 18}, 6, look.badgeColour);
    DrawLabel(c, label, 482, 434, badge, 16, 10, look.textColour, true, Align::Centre, false, false);
    if (!featured.displayDate.empty()) {
        DrawLabel(c, featured.displayDate, 490 + badge, 433, 200, 18, 11, colour::kPrimaryText, true, Align::Near, false, false);
    }

    const bool cardHovered = c.hovered(rect::kNewsFeatured);
    const std::string title = c.inputs().translate ? c.inputs().translate(featured.title) : featured.title;
    const layout::TextBox& oneLine = layout::kNewsTitleOneLine;
    const bool twoLines = !LabelFits(c, toWide(title), static_cast<float>(oneLine.rect.w), static_cast<float>(oneLine.rect.h),
                                     oneLine.size, oneLine.bold, false);
    drawText(c, title, twoLines ? layout::kNewsTitleTwoLines : oneLine, cardHovered ? colour::kLightGold : colour::kPrimaryText,
             Align::Near, false);
    drawText(c, featured.summary, twoLines ? layout::kNewsSummaryAfterTwoLines : layout::kNewsSummaryAfterOneLine,
             colour::kLightText, Align::Near, true);
    line(c, 0x46F2C66D, 1, 472, 536, 820, 536);

    for (int k = 0; k < 2 && k + 1 < n; ++k) {
        const NewsItem& next = item(current + k + 1);
        const Box row = rect::newsRow(k);
        const bool hovered = c.hovered(row);
        if (hovered) FillRounded(c, row, 10, 0x1EFFFFFF);
        drawCover(c, newsCover(next.cover), {470, row.y + 5, 62, 34}, 7, 1);
        drawText(c, next.title, layout::newsRowTitle(k), hovered ? colour::kLightGold : colour::kPrimaryText, Align::Near, true);
        Gdiplus::SolidBrush dot(Gdiplus::Color(categoryStyle(next.category).badgeColour));
        c.check(c.g().FillEllipse(&dot, RectF(543, row.y + 29, 6, 6)));
        // The category word at its start is translated; the date is not.
        drawText(c, newsRowCaption(next), layout::newsRowCaption(k), colour::kMutedLilac, Align::Near, true);
    }
    if (n == 1) {
        drawText(c, "Mais notícias no portal e no Discord da comunidade.", layout::kNewsOnlyItemLine, colour::kMutedLilac,
                 Align::Centre, true);
    }
}

void Renderer::drawSettingsPanel(Canvas& c, const UiState& s) {
    const bool en = store_.uiEnglish().load();
    FillRounded(c, rect::kCard, rect::kCardRadius, 0xC8120A1E);
    const Box& panel = rect::kSettingsPanel;
    DrawPanel(c, panel.x, panel.y, panel.w, panel.h, 20, 246);
    DrawDiamond(c, 640, 168, 7);
    DrawTitle(c, en ? "Settings" : "Configurações", 440, 192, 36, Align::Centre, 400);

    const std::string resolution = resolutionValueText(s.resolutionWidth, s.resolutionHeight);
    const std::string display(displayModeText(s.fullScreen, en));
    const std::string quality = graphicsValueText(s.graphicsMode, en);
    const std::string language(gameLanguageValueText(s.languageEnglish));
    struct Row {
        const char* pt;
        const char* en;
        float labelY;
        Box value;
        const std::string& text;
    };
    const Row rows[] = {
        {"RESOLUÇÃO", "RESOLUTION", 246, rect::kSettingsResolution, resolution},
        {"MODO DE EXIBIÇÃO", "DISPLAY MODE", 324, rect::kSettingsDisplayMode, display},
        {"GRÁFICOS", "GRAPHICS", 402, rect::kSettingsGraphics, quality},
        {"IDIOMA DO JOGO", "GAME LANGUAGE", 480, rect::kSettingsGameLanguage, language},
    };
    for (const Row& row : rows) {
        DrawLabel(c, en ? row.en : row.pt, 476, row.labelY, 328, 20, 12, colour::kGold, true, Align::Near, false, false);
        DrawButton(c, row.value, row.text, false, true);
    }
    DrawLabel(c, en ? "Applied the next time you start the game." : "Aplicado ao iniciar o jogo.", 476, 555, 328, 22, 11,
              colour::kMutedLilac, false, Align::Centre, true, false);
    DrawButton(c, rect::kSettingsSave, en ? "SAVE AND BACK" : "SALVAR E VOLTAR", true, true);
}

void Renderer::drawLanguageSwitch(Canvas& c, const UiState& s) {
    const bool en = store_.uiEnglish().load();
    const Box& sw = rect::kLanguageSwitch;
    FillRounded(c, sw, 15, 0xF51D1230);
    StrokeRounded(c, sw, 15, c.hovered(sw) ? colour::kLightGold : colour::kGold, 1);
    DrawFlag(c, 1003, 32, 27, 18, en);
    DrawLabel(c, en ? "EN  ▾" : "PT-BR  ▾", 1037, 33, 64, 19, 11, colour::kPrimaryText, true, Align::Near, false, false);
    if (!s.languageMenuOpen) return;
    const Box& menu = rect::kLanguageMenu;
    DrawPanel(c, menu.x, menu.y, menu.w, menu.h, 12, 246);
    DrawLabel(c, en ? "LANGUAGE" : "IDIOMA", 880, 78, 210, 18, 10, colour::kGold, true, Align::Near, false, false);
    for (const bool optionEnglish : {false, true}) {
        const Box& option = optionEnglish ? rect::kLanguageEnglish : rect::kLanguagePortuguese;
        DrawButton(c, option, "", false, true);
        DrawFlag(c, option.x + 10, option.y + 10, 30, 20, optionEnglish);
        DrawLabel(c, optionEnglish ? "English" : "Português (Brasil)", option.x + 51, option.y + 12, 155, 20, 12,
                  optionEnglish == en ? colour::kLightGold : colour::kPrimaryText, true, Align::Near, false, false);
    }
}

void Renderer::drawInstallPanel(Canvas& c, const UiState& s) {
    FillRounded(c, rect::kCard, rect::kCardRadius, 0xD7120A1E);
    const Box& panel = rect::kInstallPanel;
    DrawPanel(c, panel.x, panel.y, panel.w, panel.h, 20, 246);
    DrawDiamond(c, 640, 140, 7);
    DrawTitle(c, "Instalar o Nyra", 440, 160, 34, Align::Centre, 400);
    DrawLabel(c, "Escolha onde o jogo será instalado. Ele ocupa cerca de 10 GB.", 468, 206, 344, 36, 12, colour::kMutedLilac,
              false, Align::Centre, true, true);
    for (std::size_t i = 0; i < s.installEntries.size() && i < 4; ++i) {
        const InstallEntry& entry = s.installEntries[i];
        const float y = 250 + 54 * static_cast<float>(i);
        const Box row{468, y, 344, 46};
        const bool selected = static_cast<int>(i) == s.selectedEntry;
        const bool hovered = entry.usable && !s.installing && c.hovered(row);
        FillRounded(c, row, 14, selected ? 0x50F2C66D : hovered ? 0x32FFFFFF : 0x16FFFFFF);
        StrokeRounded(c, row, 14, selected ? colour::kGold : 0x6EF2C66D, selected ? 2.0f : 1.0f);
        if (selected) {
            Gdiplus::SolidBrush dot(Gdiplus::Color(colour::kGold));
            c.check(c.g().FillEllipse(&dot, RectF(480, y + 19, 8, 8)));
        }
        DrawLabel(c, entry.path, 496, y + 5, 304, 20, 13,
                  selected ? colour::kLightGold : entry.usable ? colour::kPrimaryText : colour::kDisabledEntry, true, Align::Near,
                  false, false);
        if (entry.usable) {
            char space[32];
            std::snprintf(space, sizeof space, "%.0f GB livres", static_cast<double>(entry.freeBytes) / 1073741824.0);
            DrawLabel(c, space, 496, y + 25, 304, 18, 11, colour::kMutedLilac, false, Align::Near, false, true);
        } else {
            DrawLabel(c, entry.reason, 496, y + 25, 304, 18, 11, colour::kErrorText, false, Align::Near, false, true);
        }
    }
    DrawButton(c, rect::kInstallChoose, "ESCOLHER OUTRA PASTA…", false, !s.installing);
    const bool selectionUsable = s.selectedEntry >= 0 && static_cast<std::size_t>(s.selectedEntry) < s.installEntries.size() &&
                                 s.installEntries[static_cast<std::size_t>(s.selectedEntry)].usable;
    if (!s.installMessage.empty()) {
        DrawLabel(c, s.installMessage, 468, 516, 344, 52, 12, colour::kLightGold, false, Align::Centre, true, true);
    } else {
        DrawLabel(c,
                  selectionUsable ? "Um atalho \"Nyra Saga Brasil\" será criado na Área de Trabalho."
                                  : "Escolha um disco com espaço livre.",
                  468, 516, 344, 52, 12, colour::kMutedLilac, false, Align::Centre, true, true);
    }
    DrawButton(c, rect::kInstallButton, s.installing ? "INSTALANDO..." : "INSTALAR AQUI", true, selectionUsable && !s.installing);
}

void Renderer::PresentFrame(HWND window, double scale) {
    if (window == nullptr) return;
    std::unique_ptr<Gdiplus::Bitmap> frame = RenderFrame(scale, false);
    if (!frame) return;
    const auto width = static_cast<LONG>(frame->GetWidth());
    const auto height = static_cast<LONG>(frame->GetHeight());
    win::ScreenDc screen;
    if (!screen) return;
    win::UniqueMemoryDc memory(::CreateCompatibleDC(screen.get()));
    if (!memory) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    win::UniqueGdiObject dib(::CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || bits == nullptr) return;

    Gdiplus::Rect all(0, 0, width, height);
    Gdiplus::BitmapData locked{};
    if (frame->LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &locked) != Gdiplus::Ok) return;
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    for (LONG y = 0; y < height; ++y) {
        std::memcpy(static_cast<std::byte*>(bits) + static_cast<std::size_t>(y) * rowBytes,
                    static_cast<const std::byte*>(locked.Scan0) + static_cast<std::ptrdiff_t>(y) * locked.Stride, rowBytes);
    }
    frame->UnlockBits(&locked);

    HGDIOBJ previous = ::SelectObject(memory.get(), dib.get());
    SIZE size{width, height};
    POINT source{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    ::UpdateLayeredWindow(window, screen.get(), nullptr, &size, memory.get(), &source, 0, &blend, ULW_ALPHA);
    ::SelectObject(memory.get(), previous);
}

std::string launcherVersionText() {
    wchar_t path[32768];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, 32768);
    if (length == 0 || length >= 32768) return {};
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return {};
    std::vector<std::byte> data(size);
    if (!::GetFileVersionInfoW(path, 0, size, data.data())) return {};
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || fixed == nullptr ||
        fixedSize < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS));
}

}  // namespace nyra::ui
