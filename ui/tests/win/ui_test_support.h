#pragma once
// What the Windows-side UI tests share: a running GDI+, the art and fonts of the Launcher.exe built
// beside the tests, and picture comparison with a tolerance for anti-aliasing differences.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "ui/win/art.h"

namespace nyra::test {

std::filesystem::path testFolder();
std::filesystem::path referenceFolder();

// GDI+ and Launcher.exe's resources, once per test process.
class UiResources {
public:
    static UiResources& get();
    ui::LauncherAssets& assets() { return *assets_; }

private:
    UiResources();
    ULONG_PTR token_ = 0;
    HMODULE launcher_ = nullptr;
    std::unique_ptr<ui::LauncherAssets> assets_;
};

struct PictureDifference {
    bool sameSize = false;
    std::size_t differingPixels = 0;  // pixels with a channel off by more than the tolerance
    double differingShare = 0;        // the same as a share of all pixels
    double meanChannelError = 0;
    int largestChannelError = 0;
};
PictureDifference comparePictures(const std::filesystem::path& actual, const std::filesystem::path& expected);
PictureDifference comparePictures(Gdiplus::Bitmap& actual, Gdiplus::Bitmap& expected);

// The renders are deterministic (frozen clock, fixed star seed, the fonts and art of Launcher.exe):
// the same state gives the same picture to the last bit, in one process and across processes, so
// a picture must match its reference exactly. A wrong glyph changes dozens of pixels.
inline constexpr int kChannelTolerance = 0;

// Compares a rendered picture with ui/tests/reference/<name>. NYRA_UPDATE_REFERENCES=1 writes the
// picture as the new reference first (look at it before committing); a mismatch leaves the picture
// beside the test executable as <name> with ".actual.png" for a look. Failures go to GoogleTest.
void expectMatchesReference(const std::filesystem::path& picture, const std::string& name);

// ARGB of one pixel (non-premultiplied).
Gdiplus::ARGB pixelAt(Gdiplus::Bitmap& bitmap, int x, int y);

}  // namespace nyra::test
