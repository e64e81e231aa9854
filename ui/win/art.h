#pragma once
// The fonts and art carried in the executable's resources.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <array>
#include <memory>

namespace nyra::ui {

enum ArtId : int {
    kArtCardBackground = 101,
    kArtHero = 102,
    kArtDecorationTop = 103,
    kArtDecorationSide = 104,
    kArtLogo = 107,
    kArtFirstNewsCover = 110,  // 110..117
};
inline constexpr int kFontExtraBold = 106;
inline constexpr int kFontMedium = 108;
inline constexpr std::array<int, 13> kArtLoadOrder = {101, 102, 103, 104, 107, 110, 111, 112, 113, 114, 115, 116, 117};

// Decodes one RCDATA image into a 32-bit premultiplied ARGB bitmap. Throws "Arte do launcher
// ausente.", "Arte indisponivel." or "Arte do launcher invalida.".
std::unique_ptr<Gdiplus::Bitmap> loadArt(HINSTANCE module, int id);

// Everything drawn with: the private font collection (ExtraBold 106, then Medium 108) and the art
// images. Needs a running GDI+; release before shutting GDI+ down.
class LauncherAssets {
public:
    // Throws "Fonte do launcher ausente.", "Fonte indisponivel.", "Fonte do launcher invalida." or an
    // art failure.
    explicit LauncherAssets(HINSTANCE module);
    LauncherAssets(const LauncherAssets&) = delete;
    LauncherAssets& operator=(const LauncherAssets&) = delete;

    Gdiplus::PrivateFontCollection& fonts() { return fonts_; }
    Gdiplus::Bitmap* art(int id) const;

private:
    Gdiplus::PrivateFontCollection fonts_;
    std::array<std::unique_ptr<Gdiplus::Bitmap>, kArtLoadOrder.size()> art_;
};

}  // namespace nyra::ui
