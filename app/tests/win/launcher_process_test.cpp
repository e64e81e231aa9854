// Launcher.exe as a player starts it: slot, window, message box, exit code.
#include "app/tests/win/launcher_harness.h"
#include "core/win/instance_slot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace nyra::test {
namespace {

constexpr wchar_t kLauncherClass[] = L"NyraBrasilNative";
constexpr wchar_t kMessageBoxClass[] = L"#32770";

// Reads the start-up failure message box of a process, confirms it and returns its text.
std::wstring confirmFailureMessage(const LauncherProcess& launcher) {
    HWND box = launcher.waitForWindow(kMessageBoxClass);
    if (box == nullptr) return L"<no message box>";
    EXPECT_EQ(windowText(box), L"Nyra Saga Brasil");
    const std::wstring text = dialogText(box);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
}

TEST(LauncherProcess, ClaimsSlotZeroOpensLayeredWindowAndExitsZeroWhenClosed) {
    ASSERT_FALSE(namedMutexExists(instanceMutexName(0)));
    LauncherFolder folder;
    LauncherProcess launcher(folder, L"");

    HWND window = launcher.waitForWindow(kLauncherClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(window), L"Nyra Saga Brasil");
    const auto extended = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE));
    EXPECT_NE(extended & WS_EX_LAYERED, 0u);
    EXPECT_NE(extended & WS_EX_APPWINDOW, 0u);
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE));
    EXPECT_NE(style & WS_POPUP, 0u);
    EXPECT_TRUE(namedMutexExists(instanceMutexName(0)));

    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.waitForExit(), 0u);
    EXPECT_FALSE(namedMutexExists(instanceMutexName(0)));
}

TEST(LauncherProcess, EleventhConcurrentLauncherShowsLimitMessageAndExitsOne) {
    LauncherFolder folder;
    std::vector<std::unique_ptr<LauncherProcess>> running;
    std::vector<HWND> windows;
    for (int i = 0; i < kInstanceSlots; ++i) {
        running.push_back(std::make_unique<LauncherProcess>(folder, L""));
        HWND window = running.back()->waitForWindow(kLauncherClass);
        ASSERT_NE(window, nullptr) << "launcher " << i;
        windows.push_back(window);
    }
    for (int slot = 0; slot < kInstanceSlots; ++slot) EXPECT_TRUE(namedMutexExists(instanceMutexName(slot)));

    LauncherProcess eleventh(folder, L"");
    EXPECT_EQ(confirmFailureMessage(eleventh), L"Limite de janelas do launcher atingido.");
    EXPECT_EQ(eleventh.waitForExit(), 1u);

    for (HWND window : windows) ::PostMessageW(window, WM_CLOSE, 0, 0);
    for (auto& launcher : running) EXPECT_EQ(launcher->waitForExit(), 0u);
}

// A mode that cannot run refuses with a clear message, never a silent success: the updater mode
// (chosen by its prefix) refuses a command line the launcher did not write, and the protection
// self-test is not part of this build.
TEST(LauncherProcess, ModesThatCannotRunFailWithAMessageAndExitOne) {
    const struct {
        const wchar_t* arguments;
        const wchar_t* message;
    } cases[] = {
        {L"--apply-launcher-update \"C:\\x\\Launcher.exe.update\"", L"Parametros do atualizador invalidos."},
        {L"--security-probe=self", L"Autoteste de protecao indisponivel nesta versao."},
    };
    LauncherFolder folder;
    for (const auto& c : cases) {
        LauncherProcess launcher(folder, c.arguments);
        EXPECT_EQ(confirmFailureMessage(launcher), c.message) << c.arguments;
        EXPECT_EQ(launcher.waitForExit(), 1u) << c.arguments;
    }
}

TEST(LauncherProcess, ProtectDiagnosticsWritesOneJsonLine) {
    LauncherFolder folder;
    {
        LauncherProcess launcher(folder, L"--protect-diagnostics", /*captureOutput=*/true);
        EXPECT_EQ(launcher.readOutput(), R"({"migrated":0,"ok":true,"protection":"windows-dpapi-current-user"})" "\n");
        EXPECT_EQ(launcher.waitForExit(), 0u);
    }
    std::ofstream(folder.path() / L"last-launch.dat") << "x";
    LauncherProcess launcher(folder, L"--protect-diagnostics", /*captureOutput=*/true);
    EXPECT_EQ(launcher.readOutput(), R"({"error":"Formato de diagnostico protegido invalido.","ok":false})" "\n");
    EXPECT_EQ(launcher.waitForExit(), 1u);
}

TEST(LauncherProcess, ProtectDiagnosticsMigratesLegacyFilesAndReadsThemBack) {
    LauncherFolder folder;
    std::ofstream(folder.path() / L"last-launch.json") << R"({"exit_code":0})";
    std::ofstream(folder.path() / L"last-verification.json") << R"({"checked":3})";
    {
        LauncherProcess launcher(folder, L"--protect-diagnostics", /*captureOutput=*/true);
        EXPECT_EQ(launcher.readOutput(), R"({"migrated":2,"ok":true,"protection":"windows-dpapi-current-user"})" "\n");
        EXPECT_EQ(launcher.waitForExit(), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(folder.path() / L"last-launch.json"));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / L"last-verification.json"));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / L"last-launch.dat"));

    // Protected files of the wrong kind are a failure of the mode.
    ASSERT_TRUE(::CopyFileW((folder.path() / L"last-launch.dat").c_str(),
                            (folder.path() / L"last-verification.dat").c_str(), FALSE));
    LauncherProcess launcher(folder, L"--protect-diagnostics", /*captureOutput=*/true);
    EXPECT_EQ(launcher.readOutput(),
              R"({"error":"Diagnostico alterado ou pertencente a outra conta do Windows.","ok":false})" "\n");
    EXPECT_EQ(launcher.waitForExit(), 1u);
}

// Support files never keep the player out: a legacy file that cannot be converted stays for
// "--protect-diagnostics" to report, and the launcher opens as usual.
TEST(LauncherProcess, StartsNormallyWhenLegacyDiagnosticsCannotBeConverted) {
    LauncherFolder folder;
    std::ofstream(folder.path() / L"last-launch.json") << "{not json";
    LauncherProcess launcher(folder, L"");
    HWND window = launcher.waitForWindow(kLauncherClass);
    ASSERT_NE(window, nullptr);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.waitForExit(), 0u);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / L"last-launch.json"));
}

// Start-up clears the native components a crashed game session left in this slot's engine folder,
// and refuses to start while that game still holds one of them.
TEST(LauncherProcess, StartupCleansTheEngineFolderOfItsSlotOrStopsWhileTheGameHoldsIt) {
    LauncherFolder folder;
    {
        LauncherProcess launcher(folder, L"");
        HWND window = launcher.waitForWindow(kLauncherClass);
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(std::filesystem::exists(folder.path() / L".engine")) << "the clean-up created the folder";
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(launcher.waitForExit(), 0u);
    }

    const auto engine = folder.path() / L".engine";
    std::filesystem::create_directories(engine);
    std::ofstream(engine / L"game.bin") << "left by a crashed session";
    std::ofstream(engine / L"client.ini") << "[screen]";
    {
        HANDLE running = ::CreateFileW((engine / L"game.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(running, INVALID_HANDLE_VALUE);
        LauncherProcess launcher(folder, L"");
        EXPECT_EQ(confirmFailureMessage(launcher), L"Feche o jogo anterior para limpar os componentes temporarios.");
        EXPECT_EQ(launcher.waitForExit(), 1u);
        ::CloseHandle(running);
    }

    LauncherProcess launcher(folder, L"");
    HWND window = launcher.waitForWindow(kLauncherClass);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(std::filesystem::exists(engine / L"game.bin"));
    EXPECT_TRUE(std::filesystem::exists(engine / L"client.ini"));
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.waitForExit(), 0u);
}

}  // namespace
}  // namespace nyra::test
