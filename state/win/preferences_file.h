#pragma once
// "preferences.json" on disk. Every write replaces the file whole (a new file, flushed, moved
// over the old one with write-through), so a crash or a full disk never leaves it half-written
// and never costs the choices stored before. Writers on the UI thread (language, settings panel)
// and on the job worker (the rewrite after a preparation) go through one object, one at a time.
#include <filesystem>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "core/preferences.h"
#include "core/services.h"

namespace nyra {

inline constexpr const char* kPreferencesNotCreated = "Nao foi possivel preparar o arquivo.";
inline constexpr const char* kPreferencesNotWritten = "Falha ao gravar arquivo.";
inline constexpr const char* kLanguageNotSaved = "Nao foi possivel salvar o idioma.";

class PreferencesFile final : public PreferencesWriter {
public:
    explicit PreferencesFile(std::filesystem::path launcherFolder);

    const std::filesystem::path& path() const { return path_; }

    // The stored choices; nullopt when the file is missing, too large or unusable.
    std::optional<Preferences> read() const;

    // Replaces the file with the compact text of `document` (through "preferences.json.new"),
    // creating the launcher folder when it is missing. "Nao foi possivel preparar o arquivo."
    // when the new file cannot be created, "Falha ao gravar arquivo." when it cannot be written
    // or moved into place; the old file is then unchanged.
    void write(const nlohmann::json& document);

    // The flow's rewrite after a preparation (the folder is the one this object was made for).
    void writePreferences(const std::filesystem::path& launcherFolder, const nlohmann::json& preferences) override;

    // Changes only "language" and keeps every other member (through
    // "preferences.json.language-new"). "Nao foi possivel salvar o idioma." on any failure.
    void writeLanguage(bool english);

private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
    std::mutex writing_;
};

}  // namespace nyra
