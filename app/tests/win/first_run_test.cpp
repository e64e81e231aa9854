// A new player's first run: Launcher.exe alone in a fresh folder opens the install panel; Enter
// installs it into the selected game folder, which gets the launcher, the home marker and the
// desktop shortcut; the launcher restarts there with "--home-settled" and this one ends.
#include "app/tests/win/launcher_harness.h"
#include "core/win/instance_slot.h"
#include "platform/win/handles.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path desktopShortcut() {
    PWSTR desktop = nullptr;
    fs::path shortcut;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &desktop))) {
        shortcut = fs::path(desktop) / L"Nyra Saga Brasil.lnk";
    }
    ::CoTaskMemFree(desktop);
    return shortcut;
}

struct Found {
    fs::path image;
    HWND window = nullptr;
    DWORD process = 0;
};

BOOL CALLBACK findLauncherRunningFrom(HWND window, LPARAM parameter) {
    auto* found = reinterpret_cast<Found*>(parameter);
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    if (std::wstring_view(name) != L"NyraBrasilNative" || !::IsWindowVisible(window)) return TRUE;
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    win::UniqueHandle handle(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process));
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (handle && ::QueryFullProcessImageNameW(handle.get(), 0, image, &size) &&
        _wcsicmp(image, found->image.c_str()) == 0) {
        found->window = window;
        found->process = process;
        return FALSE;
    }
    return TRUE;
}

TEST(FirstRun, LauncherAloneInAFreshFolderInstallsItselfAndRestartsInTheGameFolder) {
    const fs::path game = L"C:\\Jogos\\NyraBrasil";
    const fs::path shortcut = desktopShortcut();
    std::error_code ignored;
    fs::remove_all(game, ignored);
    fs::remove(shortcut, ignored);

    LauncherFolder download;
    LauncherProcess launcher(download, L"");
    HWND window = launcher.waitForWindow(L"NyraBrasilNative");
    ASSERT_NE(window, nullptr);
    // The panel opened with the game folder of drive C: selected; Enter installs.
    ::PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(launcher.waitForExit(), 0u);

    EXPECT_EQ(slurp(game / L"Launcher.exe"), slurp(download.executable()));
    EXPECT_TRUE(fs::exists(game / L".nyra-home"));
    EXPECT_TRUE(fs::exists(shortcut));
    EXPECT_FALSE(fs::exists(download.path() / L".nyra-home"));  // the download folder is left as it was

    // The launcher in the game folder is up, holding the first instance slot.
    Found restarted{game / L"Launcher.exe"};
    for (int i = 0; i < 600 && restarted.window == nullptr; ++i) {
        ::EnumWindows(findLauncherRunningFrom, reinterpret_cast<LPARAM>(&restarted));
        if (restarted.window == nullptr) ::Sleep(50);
    }
    ASSERT_NE(restarted.window, nullptr) << "no launcher window from the game folder";
    EXPECT_TRUE(namedMutexExists(instanceMutexName(0)));
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, restarted.process));
    ::PostMessageW(restarted.window, WM_CLOSE, 0, 0);
    ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD code = 1;
    ::GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);

    fs::remove_all(game, ignored);
    fs::remove(game.parent_path(), ignored);
    fs::remove(shortcut, ignored);
}

}  // namespace
}  // namespace nyra::test
