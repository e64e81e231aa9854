#pragma once
// What the Windows-side UI tests share: a running GDI+, the art and fonts of the Launcher.exe built
// beside the tests, and picture comparison with a tolerance for anti-aliasing differences.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

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
    double differingShare = 0;  // share of pixels with a channel off by more than the tolerance
    double meanChannelError = 0;
};
PictureDifference comparePictures(const std::filesystem::path& actual, const std::filesystem::path& expected);
PictureDifference comparePictures(Gdiplus::Bitmap& actual, Gdiplus::Bitmap& expected);

// ARGB of one pixel (non-premultiplied).
Gdiplus::ARGB pixelAt(Gdiplus::Bitmap& bitmap, int x, int y);

}  // namespace nyra::test
