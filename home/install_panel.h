#pragma once
// The install panel's state changes, as pure rules over UiState: opening it with the candidate
// list, what a click on it means, a folder the player picked, and the install's start and end.
// Functions taking UiState& run with the UI mutex held; none waits or does I/O.
#include "core/ui_state.h"
#include "ui/layout.h"

#include <optional>
#include <string>
#include <vector>

namespace nyra::home {

inline constexpr char kChooseInstallStatus[] = "Escolha onde instalar o jogo.";
inline constexpr char kNoUsableDriveMessage[] = "Nenhum disco com 12 GB livres. Libere espaço ou escolha outra pasta.";
inline constexpr wchar_t kFolderPickerTitle[] = L"Onde instalar o Nyra Saga Brasil?";

// First run: the panel opens over the home screen (busy, the status asks where to install) with
// the candidates; the first usable one is selected, or the message says that none is.
void openInstallPanel(UiState& state, std::vector<InstallEntry> entries);

enum class PanelTarget { None, Row, ChooseFolder, Install };
struct PanelHit {
    PanelTarget target = PanelTarget::None;
    int row = -1;
};

// What a click at `logical` (inside the panel) hits. Rows are (468, 250 + 54i, 344, 46) for the
// entries shown, at most four; while installing nothing is hit.
PanelHit hitInstallPanel(const UiState& state, ui::Point logical);

// A usable row becomes the selection and the message is cleared; an unusable one shows its reason.
void clickRow(UiState& state, int row);

// A folder picked with the picker: its entry goes first (replacing one with the same path, four at
// most); a usable one is selected, otherwise the first usable entry is and its reason is shown.
void addPickedEntry(UiState& state, InstallEntry entry);

// Starts the install when nothing is installing and the selection is usable: installing, the
// message "Instalando em <path>...", and the path to install into (UTF-8). nullopt otherwise.
std::optional<std::string> beginInstall(UiState& state);

// The install failed: the panel stays open with the failure text; the player may pick again.
void installFailed(UiState& state, std::string message);

// The chosen folder was the launcher's own: the panel closes and the start-up continues here.
void installSettledInPlace(UiState& state);

}  // namespace nyra::home
