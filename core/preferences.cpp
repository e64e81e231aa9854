#include "core/preferences.h"

#include <fstream>
#include <limits>
#include <string>

#include "core/json_limits.h"
#include "core/ui_state.h"

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

// The document when the text is a JSON object within the nesting limit; otherwise null.
nlohmann::json objectOf(std::string_view content) {
    auto document = readJsonText(content);
    return document.is_object() ? document : nlohmann::json(nullptr);
}

}  // namespace

std::optional<Preferences> parsePreferences(std::string_view content) {
    const nlohmann::json document = objectOf(content);
    if (!document.is_object()) return std::nullopt;
    Preferences result;
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

std::optional<Preferences> readPreferences(const std::filesystem::path& launcherFolder) {
    std::ifstream file(launcherFolder / kPreferencesFileName, std::ios::binary);
    if (!file) return std::nullopt;
    std::string content(kPreferencesLimit + 1, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (file.bad()) return std::nullopt;
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got > kPreferencesLimit) return std::nullopt;
    content.resize(got);
    return parsePreferences(content);
}

nlohmann::json preferencesDocument(const Preferences& p) {
    return nlohmann::json{{"width", p.width},
                          {"height", p.height},
                          {"full_screen", p.fullScreen},
                          {"apply_to_game", p.applyToGame},
                          {"graphics_mode", graphicsEnvironmentValue(p.enhancedGraphics)},
                          {"language", languageEnvironmentValue(p.english)}};
}

std::string preferencesTextWithLanguage(const std::optional<std::string>& existing, bool english) {
    nlohmann::json document = existing ? objectOf(*existing) : nlohmann::json(nullptr);
    if (!document.is_object()) document = nlohmann::json::object();
    document["language"] = languageEnvironmentValue(english);
    // Text the parser accepted may still hold bytes that are not UTF-8; they become U+FFFD
    // rather than failing the whole write.
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Preferences preferencesOf(const UiState& state) {
    Preferences p;
    p.width = state.resolutionWidth;
    p.height = state.resolutionHeight;
    p.fullScreen = state.fullScreen;
    p.applyToGame = state.applyToGame;
    p.english = state.languageEnglish;
    p.enhancedGraphics = state.graphicsMode != 0;
    return p;
}

void applyPreferences(UiState& state, const Preferences& p) {
    state.resolutionWidth = p.width;
    state.resolutionHeight = p.height;
    state.fullScreen = p.fullScreen;
    state.applyToGame = p.applyToGame;
    state.languageEnglish = p.english;
    state.graphicsMode = p.enhancedGraphics ? 1 : 0;
}

}  // namespace nyra
