#pragma once
// The screens' requests bound to the local state of this build: the language switch and the
// settings panel are stored and reach the game; the install panel lists, picks and installs.
#include "core/clock.h"
#include "core/services.h"
#include "home/folder_rules.h"
#include "state/win/game_settings.h"
#include "state/win/preferences_file.h"
#include "ui/win/window.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

namespace nyra {

// What the install panel works with besides UiState: the folder rules' facts, where the launcher
// runs from, and what happens once the game is installed.
struct InstallHost {
    home::FolderFacts* facts = nullptr;
    std::filesystem::path launcherFolder;
    std::filesystem::path runningExecutable;
    std::function<HWND()> window;  // owner of the folder picker
    std::function<std::optional<std::filesystem::path>(HWND owner)> pickFolder;
    std::function<std::filesystem::path()> desktopFolder;  // where the shortcut goes (empty: none)
    // Installed elsewhere: start the new launcher with "--home-settled" (false when it did not
    // start), close the single-instance handle once it has, then end this launcher (stop flag,
    // WM_CLOSE).
    std::function<void()> releaseInstanceSlot;
    std::function<bool(const std::filesystem::path& launcher)> startLauncher;
    std::function<void()> endLauncher;
    // Settled in the launcher's own folder: the start-up continues here.
    std::function<void()> continueHere;
    WindowPoster* poster = nullptr;
};

class ProductScreenActions final : public ui::ScreenActions {
public:
    ProductScreenActions(GameSettingsStore& settings, PreferencesFile& preferences, ProcessEnvironment& environment,
                         Clock& clock)
        : settings_(settings), preferences_(preferences), environment_(environment), clock_(clock) {}
    ~ProductScreenActions() override { joinInstallWorker(); }
    ProductScreenActions(const ProductScreenActions&) = delete;
    ProductScreenActions& operator=(const ProductScreenActions&) = delete;

    // Without a host the install panel keeps the default answer (installing is unavailable).
    void setInstallHost(InstallHost host) { install_ = std::move(host); }
    // Waits for a running install (shutdown does this before the flow and the slot go away).
    void joinInstallWorker();

    // Rows select or explain, "ESCOLHER OUTRA PASTA…" opens the picker, the button installs.
    void installPanelClick(UiStore& store, ui::Point logical) override;
    // The install button or Enter: starts the install worker for the selected entry.
    void confirmInstall(UiStore& store) override;

    // A failure to store the choice replaces the "applied" notice with its message.
    void applyLanguage(UiStore& store, bool english) override;
    // A failure to save is shown as a notice; the change stays pending for the next start.
    void saveSettings(UiStore& store) override;
    void reloadVideoSettings(UiStore& store) override;

private:
    void notify(UiStore& store, std::string text);
    void pickFolder(UiStore& store);
    void runInstall(UiStore& store, std::filesystem::path folder);
    void refresh();

    std::optional<InstallHost> install_;
    std::thread installWorker_;

    GameSettingsStore& settings_;
    PreferencesFile& preferences_;
    ProcessEnvironment& environment_;
    Clock& clock_;
};

}  // namespace nyra
