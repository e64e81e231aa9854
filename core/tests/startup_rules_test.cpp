// The portable start-up rules: command-line options, window placement and text.
#include "core/command_line.h"
#include "core/layout.h"
#include "core/startup_services.h"
#include "core/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace nyra {
namespace {

TEST(CommandLine, WholeLineAndPrefixOptionsMatchAsTheirTableSays) {
    const struct {
        std::u16string_view line;
        LaunchMode mode;
        bool matches;
        std::u16string_view value;
    } cases[] = {
        {u"--home-settled", LaunchMode::HomeSettled, true, u""},
        {u"--home-settled ", LaunchMode::HomeSettled, false, u""},
        {u"--home-settled --other", LaunchMode::HomeSettled, false, u""},
        {u" --home-settled", LaunchMode::HomeSettled, false, u""},
        {u"--protect-diagnostics", LaunchMode::ProtectDiagnostics, true, u""},
        {u"--protect-diagnostics x", LaunchMode::ProtectDiagnostics, false, u""},
        {u"--apply-launcher-update", LaunchMode::ApplyLauncherUpdate, true, u""},
        {u"--apply-launcher-update \"C:\\Jogos\\Launcher.exe\" 42", LaunchMode::ApplyLauncherUpdate, true,
         u" \"C:\\Jogos\\Launcher.exe\" 42"},
        {u"x --apply-launcher-update", LaunchMode::ApplyLauncherUpdate, false, u""},
        {u"--security-probe=debugger check", LaunchMode::SecurityProbe, true, u"debugger check"},
        {u"--security-probe", LaunchMode::SecurityProbe, false, u""},
    };
    for (const auto& c : cases) {
        const auto matched = matchOption(c.line, c.mode);
        EXPECT_EQ(matched.has_value(), c.matches) << std::string(c.line.begin(), c.line.end());
        if (matched && c.matches) {
            EXPECT_EQ(matched->value, c.value);
        }
    }
}

TEST(CommandLine, PreviewOptionsAreTestedInTableOrder) {
    const struct {
        std::u16string_view line;
        std::optional<LaunchMode> mode;
        std::u16string_view value;
    } cases[] = {
        {u"--preview=C:\\out.png", LaunchMode::Preview, u"C:\\out.png"},
        {u"--preview-splash=a.png", LaunchMode::PreviewSplash, u"a.png"},
        {u"--preview-splash-hidpi=b.png", LaunchMode::PreviewSplashHidpi, u"b.png"},
        {u"--preview-hidpi=c.png", LaunchMode::PreviewHidpi, u"c.png"},
        {u"--preview-flags-en=d.png", LaunchMode::PreviewFlagsEnglish, u"d.png"},
        {u"--preview-flags-pt=", LaunchMode::PreviewFlagsPortuguese, u""},
        {u"--preview-settings=s.png", LaunchMode::PreviewSettings, u"s.png"},
        {u"--preview-account=s.png", LaunchMode::PreviewAccount, u"s.png"},
        {u"--preview-install=s.png", LaunchMode::PreviewInstall, u"s.png"},
        {u"--preview-update=s.png", LaunchMode::PreviewUpdate, u"s.png"},
        {u"--preview", std::nullopt, u""},
        {u"--home-settled", std::nullopt, u""},
        {u"", std::nullopt, u""},
    };
    for (const auto& c : cases) {
        const auto matched = matchPreview(c.line);
        ASSERT_EQ(matched.has_value(), c.mode.has_value()) << std::string(c.line.begin(), c.line.end());
        if (matched) {
            EXPECT_EQ(matched->mode, *c.mode);
            EXPECT_EQ(matched->value, c.value);
        }
    }
}

TEST(WindowPlacement, ScaleIsTheSmallestOfHeightWidthAndDpiFactors) {
    const struct {
        WorkArea work;
        unsigned dpi;
        double scale;
        int x, y, width, height;
    } cases[] = {
        // A 1366 x 768 laptop with a 40-pixel taskbar.
        {{0, 0, 1366, 728}, 96, 0.852292, 138, 15, 1090, 698},
        // Plenty of room: 96 DPI caps the scale at 1.
        {{0, 0, 2560, 1400}, 96, 1.0, 640, 290, 1280, 820},
        // 150 % on a 4K screen: DPI factor 1.5.
        {{0, 0, 3840, 2100}, 144, 1.5, 960, 435, 1920, 1230},
        // A narrow work area limits by width.
        {{0, 0, 1024, 1200}, 96, 0.768, 20, 285, 983, 629},
    };
    for (const auto& c : cases) {
        const auto placement = placeWindow(c.work, c.dpi);
        EXPECT_NEAR(placement.scale, c.scale, 1e-5);
        EXPECT_EQ(placement.width, c.width);
        EXPECT_EQ(placement.height, c.height);
        EXPECT_EQ(placement.x, c.x);
        EXPECT_EQ(placement.y, c.y);
    }
}

TEST(EngineFolder, SlotZeroIsPlainOthersAreNumbered) {
    EXPECT_EQ(engineFolderFor("/games", 0), std::filesystem::path("/games/.engine"));
    EXPECT_EQ(engineFolderFor("/games", 7), std::filesystem::path("/games/.engine-7"));
}

TEST(Text, RoundTripsEveryPlaneAndRefusesMalformedInput) {
    const std::string text = "Conexão ★ 𝄞 ok";
    EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(text)), text);
    EXPECT_EQ(utf8ToUtf16("ç"), u"ç");
    EXPECT_EQ(utf8ToUtf16("𝄞").size(), 2u);

    for (const char* bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"}) {
        EXPECT_THROW(
            {
                try {
                    utf8ToUtf16(bad);
                } catch (const std::runtime_error& error) {
                    EXPECT_STREQ(error.what(), "Texto invalido.");
                    throw;
                }
            },
            std::runtime_error);
    }
    EXPECT_THROW(utf16ToUtf8(std::u16string(1, u'\xD800')), std::runtime_error);
    EXPECT_THROW(utf16ToUtf8(std::u16string(1, u'\xDC00') + u"a"), std::runtime_error);
}

TEST(Text, WipeZeroesAndEmpties) {
    std::string secret = "hunter2";  // short enough to stay in the string's own buffer
    const char* bytes = secret.data();
    wipe(secret);
    EXPECT_TRUE(secret.empty());
    for (int i = 0; i < 7; ++i) EXPECT_EQ(bytes[i], '\0') << i;
}

}  // namespace
}  // namespace nyra
