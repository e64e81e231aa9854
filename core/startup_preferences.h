#pragma once
// The player's saved choices as start-up reads them from "preferences.json" in the launcher folder.
// Start-up never fails because of this file: anything wrong with it leaves the defaults in place.
#include <filesystem>
#include <optional>
#include <string_view>

namespace nyra {

inline constexpr std::size_t kStartupPreferencesLimit = 4096;

struct StartupPreferences {
    int width = 1920;
    int height = 1080;
    bool fullScreen = false;
    bool applyToGame = false;
    bool english = false;         // the "language" value is exactly "en"
    bool enhancedGraphics = false;  // the "graphics_mode" value is anything but "standard"
};

// The file's content as read; nullopt when it is not a JSON object or a value has the wrong type.
std::optional<StartupPreferences> parseStartupPreferences(std::string_view content);

// Reads at most 4096 bytes of launcherFolder/"preferences.json"; nullopt on any failure
// (missing, too large, unreadable, malformed).
std::optional<StartupPreferences> readStartupPreferences(const std::filesystem::path& launcherFolder);

// The values exported to the game's environment.
inline std::string_view graphicsEnvironmentValue(bool enhanced) { return enhanced ? "enhanced" : "standard"; }
inline std::string_view languageEnvironmentValue(bool english) { return english ? "en" : "pt-BR"; }

}  // namespace nyra
