#include "app/win/screen_actions.h"

#include "state/win/language.h"
#include "ui/input.h"

namespace nyra {

void ProductScreenActions::applyLanguage(UiStore& store, bool english) {
    try {
        setLanguage(store, preferences_, environment_, english);
    } catch (const std::exception& error) {
        notify(store, error.what());
    }
}

void ProductScreenActions::saveSettings(UiStore& store) {
    try {
        settings_.saveSettings();
    } catch (const std::exception& error) {
        notify(store, error.what());
    }
}

void ProductScreenActions::reloadVideoSettings(UiStore&) {
    // The INI belongs to the game; a read that fails keeps the values held.
    try {
        settings_.reloadGameIni();
    } catch (const std::exception&) {
    }
}

void ProductScreenActions::notify(UiStore& store, std::string text) {
    const std::uint64_t now = clock_.tickMs();
    store.withLock([&](UiState& s) { ui::showNotice(s, std::move(text), now); });
}

}  // namespace nyra
