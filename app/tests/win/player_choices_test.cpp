// The player's choices through the product wiring: the language picked in the menu is the
// launcher's language after a restart, and the settings panel's values reach the game's
// client.ini at the next preparation against the stand-in service.
#include "app/tests/win/launcher_harness.h"
#include "app/win/product_services.h"
#include "app/win/screen_actions.h"
#include "content/tests/win/temporary_folder.h"
#include "content/win/game_preparation.h"
#include "content/win/primitives.h"
#include "core/flow.h"
#include "core/tests/verify_surroundings.h"
#include "core/win/process_environment.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "state/win/game_settings.h"
#include "state/win/preferences_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

struct NoWindow final : WindowPoster {
    void post(unsigned, std::uintptr_t) override {}
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The launcher's own wiring of the local state, as the window procedure reaches it.
struct LocalState {
    explicit LocalState(const fs::path& launcherFolder)
        : preferences(launcherFolder),
          settings(store, preferences, environment, launcherFolder / L".engine"),
          actions(settings, preferences, environment, clock) {}

    WinClock clock;
    NoWindow poster;
    UiStore store{clock, poster};
    Win32ProcessEnvironment environment;
    PreferencesFile preferences;
    GameSettingsStore settings;
    ProductScreenActions actions;
};

// The PNG a preview option of the copied launcher writes.
std::string previewPicture(const LauncherFolder& folder, const wchar_t* option, const wchar_t* name) {
    LauncherProcess launcher(folder, std::wstring(option) + name);
    EXPECT_EQ(launcher.waitForExit(), 0u) << fs::path(option).string();
    return slurp(folder.path() / name);
}

TEST(PlayerChoices, TheLanguagePickedInTheMenuIsTheLanguageAfterARestart) {
    LauncherFolder folder;
    const std::string portuguese = previewPicture(folder, L"--preview-flags-pt=", L"pt.png");
    const std::string english = previewPicture(folder, L"--preview-flags-en=", L"en.png");
    ASSERT_NE(portuguese, english);
    EXPECT_EQ(previewPicture(folder, L"--preview=", L"before.png"), portuguese);

    {
        LocalState launcher(folder.path());
        launcher.actions.applyLanguage(launcher.store, true);
        EXPECT_EQ(slurp(folder.path() / L"preferences.json"), R"({"language":"en"})");
    }
    // A new process with no language option: the saved choice.
    EXPECT_EQ(previewPicture(folder, L"--preview=", L"after.png"), english);
}

TEST(PlayerChoices, AChoiceThatCannotBeStoredSaysSoInTheNotice) {
    const fs::path folder = freshTemporaryFolder(L"nyra-choices-");
    fs::create_directories(folder / L"preferences.json");  // nothing can be stored under that name
    {
        LocalState launcher(folder);
        launcher.actions.applyLanguage(launcher.store, true);
        EXPECT_EQ(launcher.store.snapshot().noticeText, "Nao foi possivel salvar o idioma.");
        EXPECT_TRUE(launcher.store.uiEnglish().load());  // the screens follow the choice all the same

        launcher.actions.saveSettings(launcher.store);
        EXPECT_EQ(launcher.store.snapshot().noticeText, "Falha ao gravar arquivo.");
        EXPECT_TRUE(launcher.store.snapshot().applyToGame);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

class SettingsPanel : public ServiceTest {};

TEST_F(SettingsPanel, SavedValuesReachTheGameIniAtTheNextPreparation) {
    const fs::path folder = freshTemporaryFolder(L"nyra-settings-flow-");
    WinClock clock;
    {
        Http http(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock, "localhost");
        writeWholeFile(folder / L"Launcher.exe", http.exchange("/api/download/launcher", "", "", 134217728));
    }
    {
        LocalState launcher(folder);
        launcher.settings.loadPreferences();
        launcher.store.withLock([&](UiState& s) {
            s.resolutionWidth = 1600;
            s.resolutionHeight = 900;
            s.fullScreen = true;
            s.graphicsMode = 1;
        });
        launcher.actions.saveSettings(launcher.store);  // WM_APP + 3
        EXPECT_TRUE(launcher.preferences.read()->applyToGame);
    }

    // The next start: the saved values are loaded and wait for the game's INI.
    LocalState launcher(folder);
    launcher.settings.loadPreferences();
    WinHttpBackendFactory backend(clock);
    VerifySurroundings rest;
    // The protected components would make the engine folder; this preparation has none.
    fs::create_directories(folder / L".engine");
    GamePreparation preparation(std::make_shared<NoComponents>(folder / L".engine"), nullptr);
    FlowServices services{backend, rest,  rest, rest, rest, preparation, launcher.settings, launcher.preferences,
                          launcher.environment, rest};
    {
        FlowController flow(launcher.store, services, clock, launcher.poster, folder);
        launcher.store.withLock([&](UiState& s) {
            s.serverOnline = true;
            s.username = service->user;
            s.password = service->password;
        });
        flow.start(true);
        flow.joinAll();
    }
    const UiState ui = launcher.store.snapshot();
    EXPECT_EQ(ui.statusText, "Arquivos recebidos e validados. Tudo pronto para jogar.");
    const fs::path ini = folder / L".engine" / L"client.ini";
    EXPECT_EQ(::GetPrivateProfileIntW(L"Option", L"ScreenWidth", 0, ini.c_str()), 1600u);
    EXPECT_EQ(::GetPrivateProfileIntW(L"Option", L"ScreenHeight", 0, ini.c_str()), 900u);
    EXPECT_EQ(::GetPrivateProfileIntW(L"Option", L"FullScreenMode", 0, ini.c_str()), 1u);
    EXPECT_FALSE(ui.applyToGame);
    EXPECT_EQ(slurp(folder / L"preferences.json"),
              R"({"apply_to_game":false,"full_screen":true,"graphics_mode":"enhanced","height":900,"language":"pt-BR","width":1600})");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace
}  // namespace nyra::test
