#include "core/startup_preferences.h"

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "core/json_limits.h"

namespace nyra {
namespace {

// A member that is absent takes its default; present with another type fails the whole read.
bool readInt(const nlohmann::json& object, const char* key, int& target) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    const auto value = integerIn(*it, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (!value) return false;
    target = static_cast<int>(*value);
    return true;
}

bool readBool(const nlohmann::json& object, const char* key, bool& target) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_boolean()) return false;
    target = it->get<bool>();
    return true;
}

bool readString(const nlohmann::json& object, const char* key, std::string& target) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_string()) return false;
    target = it->get<std::string>();
    return true;
}

}  // namespace

std::optional<StartupPreferences> parseStartupPreferences(std::string_view content) {
    if (jsonNestingExcess(content)) return std::nullopt;  // unusable like any malformed file
    const auto document = nlohmann::json::parse(content, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return std::nullopt;
    StartupPreferences result;
    std::string language = "pt-BR";
    std::string graphics = "standard";
    if (!readInt(document, "width", result.width) || !readInt(document, "height", result.height) ||
        !readBool(document, "full_screen", result.fullScreen) ||
        !readBool(document, "apply_to_game", result.applyToGame) ||
        !readString(document, "language", language) ||
        !readString(document, "graphics_mode", graphics)) {
        return std::nullopt;
    }
    result.english = language == "en";
    result.enhancedGraphics = graphics != "standard";
    return result;
}

std::optional<StartupPreferences> readStartupPreferences(const std::filesystem::path& launcherFolder) {
    std::ifstream file(launcherFolder / "preferences.json", std::ios::binary);
    if (!file) return std::nullopt;
    std::string content(kStartupPreferencesLimit + 1, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (file.bad()) return std::nullopt;
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got > kStartupPreferencesLimit) return std::nullopt;
    content.resize(got);
    return parseStartupPreferences(content);
}

}  // namespace nyra
