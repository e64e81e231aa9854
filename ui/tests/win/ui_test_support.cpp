#include "ui_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace nyra::test {
namespace {

std::vector<std::uint32_t> pixels(Gdiplus::Bitmap& bitmap) {
    const auto width = static_cast<INT>(bitmap.GetWidth());
    const auto height = static_cast<INT>(bitmap.GetHeight());
    std::vector<std::uint32_t> out(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    Gdiplus::Rect all(0, 0, width, height);
    Gdiplus::BitmapData data{};
    data.Width = static_cast<UINT>(width);
    data.Height = static_cast<UINT>(height);
    data.Stride = width * 4;
    data.PixelFormat = PixelFormat32bppARGB;
    data.Scan0 = out.data();
    if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf, PixelFormat32bppARGB,
                        &data) != Gdiplus::Ok) {
        throw std::runtime_error("picture cannot be read");
    }
    bitmap.UnlockBits(&data);
    return out;
}

}  // namespace

std::filesystem::path testFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

std::filesystem::path referenceFolder() { return std::filesystem::path(NYRA_SOURCE_DIR) / "ui" / "tests" / "reference"; }

UiResources& UiResources::get() {
    static UiResources resources;
    return resources;
}

UiResources::UiResources() {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok) throw std::runtime_error("GDI+ did not start");
    const auto launcher = testFolder() / L"Launcher.exe";
    launcher_ = ::LoadLibraryExW(launcher.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (launcher_ == nullptr) throw std::runtime_error("Launcher.exe resources not found");
    assets_ = std::make_unique<ui::LauncherAssets>(launcher_);
}

PictureDifference comparePictures(Gdiplus::Bitmap& actual, Gdiplus::Bitmap& expected) {
    PictureDifference result;
    if (actual.GetWidth() != expected.GetWidth() || actual.GetHeight() != expected.GetHeight()) return result;
    result.sameSize = true;
    const auto a = pixels(actual);
    const auto b = pixels(expected);
    std::size_t differing = 0;
    double total = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        int worst = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const int d = std::abs(static_cast<int>((a[i] >> shift) & 0xFF) - static_cast<int>((b[i] >> shift) & 0xFF));
            total += d;
            if (d > worst) worst = d;
        }
        if (worst > kChannelTolerance) ++differing;
        if (worst > result.largestChannelError) result.largestChannelError = worst;
    }
    result.differingPixels = differing;
    result.differingShare = a.empty() ? 0 : static_cast<double>(differing) / static_cast<double>(a.size());
    result.meanChannelError = a.empty() ? 0 : total / (4.0 * static_cast<double>(a.size()));
    return result;
}

PictureDifference comparePictures(const std::filesystem::path& actual, const std::filesystem::path& expected) {
    Gdiplus::Bitmap a(actual.c_str());
    Gdiplus::Bitmap b(expected.c_str());
    if (a.GetLastStatus() != Gdiplus::Ok || b.GetLastStatus() != Gdiplus::Ok) return {};
    return comparePictures(a, b);
}

void expectMatchesReference(const std::filesystem::path& picture, const std::string& name) {
    const auto reference = referenceFolder() / name;
    // Removed first: the C runtime under Wine gives every file of one drive the same identity, so
    // copy_file's overwrite would refuse as if a file were copied onto itself.
    if (std::getenv("NYRA_UPDATE_REFERENCES") != nullptr) {
        std::filesystem::remove(reference);
        std::filesystem::copy_file(picture, reference);
    }
    const PictureDifference difference = comparePictures(picture, reference);
    ASSERT_TRUE(difference.sameSize) << name << ": missing, unreadable or another size";
    EXPECT_EQ(difference.differingPixels, 0u)
        << name << ": " << difference.differingPixels << " pixels differ (largest channel error "
        << difference.largestChannelError << ", mean " << difference.meanChannelError << ")";
    if (difference.differingPixels != 0) {
        auto kept = testFolder() / name;
        kept.replace_extension(L".actual.png");
        std::error_code ignored;
        std::filesystem::remove(kept, ignored);
        std::filesystem::copy_file(picture, kept, ignored);
    }
}

Gdiplus::ARGB pixelAt(Gdiplus::Bitmap& bitmap, int x, int y) {
    Gdiplus::Color colour;
    bitmap.GetPixel(x, y, &colour);
    return colour.GetValue();
}

}  // namespace nyra::test
