#pragma once
// The launcher's and the game's language: "pt-BR" by default, "en" on request. The choice lives
// in the UI state, in "preferences.json" and in the variable NYRA_LANGUAGE that the game inherits.
#include <string_view>

#include "core/services.h"
#include "core/ui_state.h"
#include "state/win/preferences_file.h"

namespace nyra {

// "en" or "pt-BR", from the launcher's own NYRA_LANGUAGE.
std::string_view currentLanguage();

// Takes the player's choice: the flag in the UI state and the variable are set at once, then the
// choice is stored. Throws "Nao foi possivel salvar o idioma." when it could not be stored; the
// launcher and the next game start follow the choice all the same.
void setLanguage(UiStore& store, PreferencesFile& preferences, ProcessEnvironment& environment, bool english);

}  // namespace nyra
