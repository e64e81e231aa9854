#pragma once
// "preferences.json" in the launcher folder: the player's display, graphics and language choices
// and whether the display choice still waits to be written into the game's INI. This is the
// file's format; the flow rewrites it after a preparation and the local-state shell reads and
// writes it (state/win/preferences_file.*). Anything wrong with the file never stops the
// launcher: it is then treated as absent.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra {

struct UiState;

inline constexpr std::size_t kPreferencesLimit = 4096;
inline constexpr std::string_view kPreferencesFileName = "preferences.json";

// The settings record as the file holds it; members absent from the file take these defaults.
struct Preferences {
    int width = 1920;
    int height = 1080;
    bool fullScreen = false;
    bool applyToGame = false;       // the display choice is not yet in the game's INI
    bool english = false;           // "language" is exactly "en"
    bool enhancedGraphics = false;  // "graphics_mode" is anything but "standard"

    bool operator==(const Preferences&) const = default;
};

// The file's content as read; nullopt when it is not a JSON object, nests deeper than the
// document limit, or a member has the wrong type.
std::optional<Preferences> parsePreferences(std::string_view content);

// Reads at most 4096 bytes of launcherFolder/"preferences.json"; nullopt on any failure
// (missing, too large, unreadable, malformed).
std::optional<Preferences> readPreferences(const std::filesystem::path& launcherFolder);

// All six members, as the launcher writes them.
nlohmann::json preferencesDocument(const Preferences& preferences);

// The file's text with only "language" changed: every other member, known or not, is kept. A
// missing file (nullopt) or a text that is not a usable JSON object starts from an empty object.
std::string preferencesTextWithLanguage(const std::optional<std::string>& existing, bool english);

// The settings record of the UI state (read under the UI mutex by the caller).
Preferences preferencesOf(const UiState& state);
// Stores a record into the UI state (the caller holds the UI mutex).
void applyPreferences(UiState& state, const Preferences& preferences);

// The values exported to the game's environment.
inline constexpr std::string_view kGraphicsVariable = "NYRA_GRAPHICS";
inline constexpr std::string_view kLanguageVariable = "NYRA_LANGUAGE";
inline std::string_view graphicsEnvironmentValue(bool enhanced) { return enhanced ? "enhanced" : "standard"; }
inline std::string_view languageEnvironmentValue(bool english) { return english ? "en" : "pt-BR"; }

}  // namespace nyra
