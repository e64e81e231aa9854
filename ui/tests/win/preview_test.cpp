// Every "--preview…" option of the real Launcher.exe writes its screen as a PNG that matches the
// committed reference picture exactly (set NYRA_UPDATE_REFERENCES=1 to rewrite the references,
// then look at each one before committing it).
#include <gtest/gtest.h>

#include "app/tests/win/launcher_harness.h"
#include "ui_test_support.h"

#include <string>

namespace nyra::test {
namespace {

struct PreviewCase {
    const char* name;
    const wchar_t* option;
    const char* reference;
    unsigned width;
    unsigned height;
};

void PrintTo(const PreviewCase& preview, std::ostream* out) { *out << preview.name; }

class PreviewOption : public ::testing::TestWithParam<PreviewCase> {};

TEST_P(PreviewOption, WritesThePictureOfItsScreen) {
    const PreviewCase& preview = GetParam();
    UiResources::get();  // GDI+ for reading the pictures
    LauncherFolder folder;
    const auto picture = folder.path() / L"out.png";
    LauncherProcess launcher(folder, std::wstring(preview.option) + picture.wstring());
    ASSERT_EQ(launcher.waitForExit(), 0u);
    ASSERT_TRUE(std::filesystem::exists(picture));

    Gdiplus::Bitmap written(picture.c_str());
    ASSERT_EQ(written.GetLastStatus(), Gdiplus::Ok);
    EXPECT_EQ(written.GetWidth(), preview.width);
    EXPECT_EQ(written.GetHeight(), preview.height);
    // The margin around the card is fully transparent: the window looks like a floating card.
    EXPECT_EQ(pixelAt(written, 2, static_cast<int>(preview.height) - 2) >> 24, 0u);

    expectMatchesReference(picture, preview.reference);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, PreviewOption,
    // The Portuguese flags option shows the default screen: both compare with one reference.
    ::testing::Values(PreviewCase{"home", L"--preview=", "home.png", 1280, 820},
                      PreviewCase{"home_en", L"--preview-flags-en=", "home-en.png", 1280, 820},
                      PreviewCase{"home_pt", L"--preview-flags-pt=", "home.png", 1280, 820},
                      PreviewCase{"splash", L"--preview-splash=", "splash.png", 1280, 820},
                      PreviewCase{"settings", L"--preview-settings=", "settings.png", 1280, 820},
                      PreviewCase{"account", L"--preview-account=", "account.png", 1280, 820},
                      PreviewCase{"install", L"--preview-install=", "install.png", 1280, 820},
                      PreviewCase{"update", L"--preview-update=", "update.png", 1280, 820},
                      PreviewCase{"home_hidpi", L"--preview-hidpi=", "home-hidpi.png", 2560, 1640},
                      PreviewCase{"splash_hidpi", L"--preview-splash-hidpi=", "splash-hidpi.png", 2560, 1640}),
    [](const ::testing::TestParamInfo<PreviewCase>& param) { return std::string(param.param.name); });

TEST(PreviewOption, UnwritableTargetEndsWithFailure) {
    LauncherFolder folder;
    LauncherProcess launcher(folder, L"--preview=" + (folder.path() / L"missing" / L"out.png").wstring());
    EXPECT_EQ(launcher.waitForExit(), 1u);
}

}  // namespace
}  // namespace nyra::test
