#include "ui/win/frame.h"

#include "platform/win/handles.h"

#include <cmath>
#include <cstring>

namespace nyra::ui {
namespace {

using Gdiplus::REAL;

constexpr Gdiplus::ARGB kPrimaryText = 0xFFFCF4FF;
constexpr Gdiplus::ARGB kLightText = 0xFFECDCF2;
constexpr Gdiplus::ARGB kGold = 0xFFF2C66D;
constexpr Gdiplus::ARGB kDeepPurple = 0xFF4A2C6E;
constexpr Gdiplus::ARGB kNight = 0xFF1D1230;

void addRoundedRect(Gdiplus::GraphicsPath& path, REAL x, REAL y, REAL w, REAL h, REAL r) {
    path.Reset();
    const REAL d = r * 2;
    path.AddArc(x, y, d, d, 180, 90);
    path.AddArc(x + w - d, y, d, d, 270, 90);
    path.AddArc(x + w - d, y + h - d, d, d, 0, 90);
    path.AddArc(x, y + h - d, d, d, 90, 90);
    path.CloseFigure();
}

void drawText(Gdiplus::Graphics& g, LauncherAssets& assets, const std::wstring& text, Gdiplus::RectF box,
              REAL size, Gdiplus::ARGB colour, bool bold) {
    Gdiplus::FontFamily family(bold ? L"Rounded Mplus 1c ExtraBold" : L"Rounded Mplus 1c Medium", &assets.fonts());
    Gdiplus::FontFamily fallback(L"Segoe UI");
    Gdiplus::Font font(family.GetLastStatus() == Gdiplus::Ok ? &family : &fallback, size, Gdiplus::FontStyleRegular,
                       Gdiplus::UnitPixel);
    Gdiplus::StringFormat format;
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    Gdiplus::SolidBrush brush{Gdiplus::Color(colour)};
    g.DrawString(text.c_str(), static_cast<INT>(text.size()), &font, box, &format, &brush);
}

void drawImageToHeight(Gdiplus::Graphics& g, Gdiplus::Bitmap* image, REAL x, REAL y, REAL height) {
    if (image == nullptr || image->GetHeight() == 0) return;
    const REAL width = static_cast<REAL>(image->GetWidth()) * height / static_cast<REAL>(image->GetHeight());
    g.DrawImage(image, x, y, width, height);
}

}  // namespace

std::unique_ptr<Gdiplus::Bitmap> renderFrame(LauncherAssets& assets, const FrameModel& model, double scale) {
    const auto width = static_cast<INT>(std::lround(1280 * scale));
    const auto height = static_cast<INT>(std::lround(820 * scale));
    auto frame = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
    Gdiplus::Graphics g(frame.get());
    g.Clear(Gdiplus::Color(0, 0, 0, 0));
    g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    g.ScaleTransform(static_cast<REAL>(scale), static_cast<REAL>(scale));

    Gdiplus::GraphicsPath card;
    addRoundedRect(card, 80, 70, 1120, 720, 26);
    {
        Gdiplus::SolidBrush base{Gdiplus::Color(kNight)};
        g.FillPath(&base, &card);
        g.SetClip(&card);
        if (auto* background = assets.art(kArtCardBackground)) g.DrawImage(background, 80, 70, 1120, 720);
        drawImageToHeight(g, assets.art(kArtDecorationTop), model.splash ? 770.0f : 548.0f, 2, 330);
        drawImageToHeight(g, assets.art(kArtDecorationSide), 4, 296, 524);
        drawImageToHeight(g, assets.art(kArtHero), model.splash ? 683.0f : 350.0f, 170, 620);
        g.ResetClip();
        Gdiplus::Pen outline{Gdiplus::Color(kDeepPurple), 2};
        g.DrawPath(&outline, &card);
    }

    if (model.splash) {
        if (auto* logo = assets.art(kArtLogo)) g.DrawImage(logo, 400, 130, 330, 328);
        drawText(g, assets, L"Sua jornada começa aqui.", {315, 480, 500, 38}, 26, kPrimaryText, true);
        drawText(g, assets, model.status, {315, 524, 500, 24}, 14, kLightText, false);
    } else {
        if (auto* logo = assets.art(kArtLogo)) g.DrawImage(logo, 918, 118, 196, 195);
        Gdiplus::GraphicsPath panel;
        addRoundedRect(panel, 400, 652, 436, 116, 16);
        Gdiplus::SolidBrush shade{Gdiplus::Color(0xD71D1230)};
        g.FillPath(&shade, &panel);
        Gdiplus::Pen border{Gdiplus::Color(kGold), 1};
        g.DrawPath(&border, &panel);
        drawText(g, assets, model.status, {416, 668, 404, 48}, 14, kLightText, false);
        Gdiplus::GraphicsPath bar;
        addRoundedRect(bar, 416, 730, 404, 10, 5);
        Gdiplus::SolidBrush track{Gdiplus::Color(0x40FFFFFF)};
        g.FillPath(&track, &bar);
        const int percent = model.progress < 0 ? 0 : (model.progress > 100 ? 100 : model.progress);
        if (percent > 0) {
            addRoundedRect(bar, 416, 730, 404.0f * static_cast<REAL>(percent) / 100.0f, 10, 5);
            Gdiplus::SolidBrush fill{Gdiplus::Color(kGold)};
            g.FillPath(&fill, &bar);
        }
    }
    // Minimize and close controls.
    Gdiplus::SolidBrush control{Gdiplus::Color(0xB31D1230)};
    Gdiplus::Pen ring{Gdiplus::Color(kGold), 1};
    for (const REAL x : {1126.0f, 1166.0f}) {
        g.FillEllipse(&control, x, 26.0f, 30.0f, 30.0f);
        g.DrawEllipse(&ring, x, 26.0f, 30.0f, 30.0f);
    }
    Gdiplus::Pen glyph{Gdiplus::Color(kPrimaryText), 2};
    g.DrawLine(&glyph, 1134.0f, 41.0f, 1148.0f, 41.0f);
    g.DrawLine(&glyph, 1175.0f, 35.0f, 1187.0f, 47.0f);
    g.DrawLine(&glyph, 1187.0f, 35.0f, 1175.0f, 47.0f);
    return frame;
}

void presentFrame(HWND window, Gdiplus::Bitmap& frame) {
    const auto width = static_cast<LONG>(frame.GetWidth());
    const auto height = static_cast<LONG>(frame.GetHeight());
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
    if (frame.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &locked) != Gdiplus::Ok) return;
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    for (LONG y = 0; y < height; ++y) {
        std::memcpy(static_cast<std::byte*>(bits) + static_cast<std::size_t>(y) * rowBytes,
                    static_cast<const std::byte*>(locked.Scan0) + static_cast<std::ptrdiff_t>(y) * locked.Stride,
                    rowBytes);
    }
    frame.UnlockBits(&locked);

    HGDIOBJ previous = ::SelectObject(memory.get(), dib.get());
    SIZE size{width, height};
    POINT source{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    ::UpdateLayeredWindow(window, screen.get(), nullptr, &size, memory.get(), &source, 0, &blend, ULW_ALPHA);
    ::SelectObject(memory.get(), previous);
}

}  // namespace nyra::ui
