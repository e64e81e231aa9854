#pragma once
// The screens' requests bound to the local state of this build: the language switch and the
// settings panel are stored and reach the game; the install panel keeps its default answer.
#include "core/clock.h"
#include "core/services.h"
#include "state/win/game_settings.h"
#include "state/win/preferences_file.h"
#include "ui/win/window.h"

namespace nyra {

class ProductScreenActions final : public ui::ScreenActions {
public:
    ProductScreenActions(GameSettingsStore& settings, PreferencesFile& preferences, ProcessEnvironment& environment,
                         Clock& clock)
        : settings_(settings), preferences_(preferences), environment_(environment), clock_(clock) {}

    // A failure to store the choice replaces the "applied" notice with its message.
    void applyLanguage(UiStore& store, bool english) override;
    // A failure to save is shown as a notice; the change stays pending for the next start.
    void saveSettings(UiStore& store) override;
    void reloadVideoSettings(UiStore& store) override;

private:
    void notify(UiStore& store, std::string text);

    GameSettingsStore& settings_;
    PreferencesFile& preferences_;
    ProcessEnvironment& environment_;
    Clock& clock_;
};

}  // namespace nyra
