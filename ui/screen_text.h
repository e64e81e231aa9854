#pragma once
// Which text a screen element shows for a given state (Portuguese; drawing translates the ones it
// draws with the translate option).
#include "core/ui_state.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nyra::ui {

// Under the buttons of the signed-in view.
inline constexpr std::string_view kSignedInFooterText = "Clique em Jogar para entrar no mundo de Nyra Saga.";

// The play button: by busy kind while busy ("AGUARDE" for 4 and any unknown kind), else
// "JOGAR AGORA" / "ENTRAR E JOGAR" online, "RECONECTAR" offline.
std::string_view playButtonLabel(const UiState& state);
// The game status panel's title.
std::string_view statusPanelTitle(const UiState& state);
// Ready: not busy and progress 100 (the percentage is drawn in the ready colour).
bool readyToPlay(const UiState& state);
// The status panel's detail line: the notice while it lasts, else the status text.
const std::string& statusDetail(const UiState& state, std::uint64_t nowMs);
// The signed-in view's line under the user name.
std::string signedInLine(const UiState& state, std::size_t unreadNotifications);
// "Servidor online" / "Sem conexão".
std::string_view serverChipText(const UiState& state);

// Settings panel values (already in the UI language: `english` is the UI language flag).
std::string resolutionValueText(int width, int height);  // "1920 × 1080   ›"
std::string_view displayModeText(bool fullScreen, bool english);
std::string graphicsValueText(int mode, bool english);     // "Padrão   ›"
std::string_view gameLanguageValueText(bool languageEnglish);

}  // namespace nyra::ui
