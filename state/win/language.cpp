#include "state/win/language.h"

#include <windows.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/preferences.h"
#include "state/settings_rules.h"

namespace nyra {

std::string_view currentLanguage() {
    std::array<wchar_t, kLanguageVariableBuffer> buffer{};
    const DWORD length = ::GetEnvironmentVariableW(L"NYRA_LANGUAGE", buffer.data(), static_cast<DWORD>(buffer.size()));
    // Zero: absent (or empty); at least the buffer's size: too long to be a language code.
    if (length == 0 || length >= buffer.size()) return languageOfVariable(std::nullopt);
    std::string narrow;
    for (DWORD i = 0; i < length; ++i) {
        const wchar_t c = buffer[i];
        if (c > 0x7f) return languageOfVariable(std::nullopt);
        narrow.push_back(static_cast<char>(c));
    }
    return languageOfVariable(narrow);
}

void setLanguage(UiStore& store, PreferencesFile& preferences, ProcessEnvironment& environment, bool english) {
    store.withLock([&](UiState& s) { s.languageEnglish = english; });
    store.uiEnglish().store(english);
    try {
        environment.setVariable(std::string(kLanguageVariable), std::string(languageEnvironmentValue(english)));
        preferences.writeLanguage(english);
    } catch (const std::exception&) {
        throw std::runtime_error(kLanguageNotSaved);
    }
}

}  // namespace nyra
