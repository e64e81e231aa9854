#include "state/win/game_settings.h"

#include <windows.h>

#include <stdexcept>
#include <string>

#include "state/settings_rules.h"

namespace nyra {
namespace {

constexpr wchar_t kSection[] = L"Option";

bool fileExists(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int readIni(const std::filesystem::path& ini, const wchar_t* key, int fallback) {
    // The API hands back an unsigned value that carries a signed one.
    return static_cast<int>(::GetPrivateProfileIntW(kSection, key, fallback, ini.c_str()));
}

bool writeIni(const std::filesystem::path& ini, const wchar_t* key, int value) {
    return ::WritePrivateProfileStringW(kSection, key, std::to_wstring(value).c_str(), ini.c_str()) != 0;
}

}  // namespace

GameSettingsStore::GameSettingsStore(UiStore& store, PreferencesFile& preferences, ProcessEnvironment& environment,
                                     std::filesystem::path engineFolder)
    : store_(store), preferences_(preferences), environment_(environment), engineFolder_(std::move(engineFolder)) {}

void GameSettingsStore::loadPreferences() {
    const std::optional<Preferences> stored = preferences_.read();
    const Preferences current = store_.withLock([&](UiState& s) {
        if (stored) applyPreferences(s, *stored);
        return preferencesOf(s);
    });
    store_.uiEnglish().store(current.english);
    exportEnvironment(current);
    reloadGameIni();
}

void GameSettingsStore::reloadGameIni() { reloadFrom(engineFolder_ / kGameIniName); }

void GameSettingsStore::reloadFrom(const std::filesystem::path& iniPath) {
    if (!fileExists(iniPath)) return;
    const auto [pending, held] = store_.withLock([](UiState& s) { return std::pair{s.applyToGame, preferencesOf(s)}; });
    if (pending) return;
    // Read outside the mutex; stored only if no launcher change became pending meanwhile.
    const int width = readIni(iniPath, L"ScreenWidth", held.width);
    const int height = readIni(iniPath, L"ScreenHeight", held.height);
    const bool fullScreen = readIni(iniPath, L"FullScreenMode", held.fullScreen ? 1 : 0) != 0;
    store_.withLock([&](UiState& s) {
        if (s.applyToGame) return;
        s.resolutionWidth = width;
        s.resolutionHeight = height;
        s.fullScreen = fullScreen;
    });
}

void GameSettingsStore::saveSettings() {
    const Preferences saved = store_.withLock([](UiState& s) {
        s.applyToGame = true;
        return preferencesOf(s);
    });
    exportEnvironment(saved);
    preferences_.write(preferencesDocument(saved));
}

void GameSettingsStore::applyPendingAndReload(const std::filesystem::path& gameFolder) {
    if (gameFolder.empty()) return;
    const auto [pending, wanted] = store_.withLock([](UiState& s) { return std::pair{s.applyToGame, preferencesOf(s)}; });
    const std::filesystem::path ini = gameFolder / kGameIniName;
    if (pending) {
        if (!writeIni(ini, L"FullScreenMode", wanted.fullScreen ? 1 : 0) || !writeIni(ini, L"ScreenWidth", wanted.width) ||
            !writeIni(ini, L"ScreenHeight", wanted.height)) {
            throw std::runtime_error(kGameVideoNotSaved);
        }
        store_.withLock([](UiState& s) { s.applyToGame = false; });
    }
    reloadFrom(ini);
}

void GameSettingsStore::exportEnvironment(const Preferences& preferences) {
    environment_.setVariable(std::string(kGraphicsVariable), std::string(graphicsEnvironmentValue(preferences.enhancedGraphics)));
    environment_.setVariable(std::string(kLanguageVariable), std::string(languageEnvironmentValue(preferences.english)));
}

std::optional<int> currentDisplayRefreshRate() {
    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    if (!::EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode)) return std::nullopt;
    return static_cast<int>(mode.dmDisplayFrequency);
}

void adjustRefreshRate(const std::filesystem::path& iniPath, const std::function<std::optional<int>()>& displayRefreshRate) {
    if (!fileExists(iniPath)) return;
    const std::optional<int> display = displayRefreshRate();
    if (!display) return;
    if (const auto store = screenFrequencyToStore(*display, readIni(iniPath, L"ScreenFrequency", 0))) {
        writeIni(iniPath, L"ScreenFrequency", *store);
    }
}

}  // namespace nyra
