#include "state/win/preferences_file.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win/files.h"

namespace nyra {
namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::filesystem::path withSuffix(const std::filesystem::path& path, const wchar_t* suffix) {
    return std::filesystem::path(path.wstring() + suffix);
}

}  // namespace

PreferencesFile::PreferencesFile(std::filesystem::path launcherFolder)
    : folder_(std::move(launcherFolder)), path_(folder_ / kPreferencesFileName) {}

std::optional<Preferences> PreferencesFile::read() const {
    try {
        return readPreferences(folder_);
    } catch (const std::exception&) {
        return std::nullopt;  // nothing about this file may stop the launcher
    }
}

void PreferencesFile::write(const nlohmann::json& document) {
    const std::string text = document.dump();
    const std::lock_guard<std::mutex> lock(writing_);
    std::filesystem::create_directories(folder_);
    switch (win::replaceFileContent(path_, withSuffix(path_, L".new"), bytesOf(text))) {
    case win::ReplaceOutcome::Replaced:
        return;
    case win::ReplaceOutcome::NotCreated:
        throw std::runtime_error(kPreferencesNotCreated);
    case win::ReplaceOutcome::NotWritten:
    case win::ReplaceOutcome::NotMoved:
        break;
    }
    throw std::runtime_error(kPreferencesNotWritten);
}

void PreferencesFile::writePreferences(const std::filesystem::path&, const nlohmann::json& preferences) {
    write(preferences);
}

void PreferencesFile::writeLanguage(bool english) {
    const std::lock_guard<std::mutex> lock(writing_);
    std::filesystem::create_directories(folder_);
    // The other members are kept as they are stored, whatever their types.
    std::optional<std::string> existing;
    std::vector<std::uint8_t> stored;
    switch (win::readPlainFile(path_, kPreferencesLimit, stored)) {
    case win::ReadOutcome::Read:
        existing.emplace(stored.begin(), stored.end());
        break;
    case win::ReadOutcome::Missing:
    case win::ReadOutcome::TooLarge:
        break;  // starts over from an empty object, like a file that does not parse
    case win::ReadOutcome::NotPlain:
    case win::ReadOutcome::Failed:
        throw std::runtime_error(kLanguageNotSaved);
    }
    const std::string text = preferencesTextWithLanguage(existing, english);
    if (win::replaceFileContent(path_, withSuffix(path_, L".language-new"), bytesOf(text)) !=
        win::ReplaceOutcome::Replaced) {
        throw std::runtime_error(kLanguageNotSaved);
    }
}

}  // namespace nyra
