#pragma once
// The game's display, graphics and language settings: loaded from "preferences.json" at start-up,
// saved from the settings panel, written into the game's "client.ini" before a start, read back
// from it when the player may have changed them inside the game, and mirrored into the
// environment variables the game inherits.
#include <filesystem>
#include <functional>
#include <optional>

#include "core/preferences.h"
#include "core/services.h"
#include "core/ui_state.h"
#include "state/win/preferences_file.h"

namespace nyra {

inline constexpr const char* kGameVideoNotSaved = "Nao foi possivel salvar o video do jogo.";
inline constexpr wchar_t kGameIniName[] = L"client.ini";

class GameSettingsStore final : public GameSettings {
public:
    // `engineFolder` is this instance's engine folder, where the game keeps "client.ini".
    GameSettingsStore(UiStore& store, PreferencesFile& preferences, ProcessEnvironment& environment,
                      std::filesystem::path engineFolder);

    // Start-up: the stored choices (or the initial values when the file is unusable) into the
    // settings record, the UI language and the environment; then the game's INI, unless a
    // launcher change is still pending.
    void loadPreferences();

    // The INI's screen options into the settings record, only while nothing is pending; values
    // the INI lacks keep what is held.
    void reloadGameIni();

    // The settings panel's save: marks the change pending, mirrors the environment and writes
    // "preferences.json". Throws the file's message; the change then stays pending in memory.
    void saveSettings();

    // Writes a pending change into `gameFolder`/"client.ini" (full screen, width, height) and
    // clears the pending flag, then reads the INI back. "Nao foi possivel salvar o video do jogo."
    // when a write fails; the change then stays pending for the next preparation.
    void applyPendingAndReload(const std::filesystem::path& gameFolder) override;

private:
    void reloadFrom(const std::filesystem::path& iniPath);
    void exportEnvironment(const Preferences& preferences);

    UiStore& store_;
    PreferencesFile& preferences_;
    ProcessEnvironment& environment_;
    std::filesystem::path engineFolder_;
};

// The refresh rate of the current display mode; nullopt when the system does not tell.
std::optional<int> currentDisplayRefreshRate();

// Before each start: stores a high display refresh rate as the game's "ScreenFrequency" when the
// INI holds none above 60 Hz. Does nothing when "client.ini" is absent; a failed write is left
// for the game to live with (it starts at its own rate).
void adjustRefreshRate(const std::filesystem::path& iniPath,
                       const std::function<std::optional<int>()>& displayRefreshRate = currentDisplayRefreshRate);

}  // namespace nyra
