#pragma once
// What a click, a key or a typed character does on the launcher's screens, as pure rules over the
// UI state, so the window procedure only carries out the answer. Functions that take UiState& are
// called with the UI mutex held (UiStore::withLock); none of them waits or does I/O.
#include "core/ui_state.h"
#include "ui/layout.h"
#include "ui/portal.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nyra::ui {

inline constexpr std::size_t kUsernameLimit = nyra::kUsernameLimit;
inline constexpr std::size_t kPasswordLimit = 64;
inline constexpr std::uint64_t kNoticeLifetimeMs = 6500;
inline constexpr std::uint64_t kNewsRotationMs = 8000;
inline constexpr std::string_view kLanguageAppliedNotice = "Idioma aplicado ao launcher e ao próximo início do jogo.";

// ---- Clicks -----------------------------------------------------------------------------------

enum class ClickKind {
    Drag,                // release the capture and start moving the window (HTCAPTION)
    Close,               // post WM_CLOSE
    Minimize,            // minimise the window
    InstallPanel,        // hand the click to the install panel
    ToggleLanguageMenu,  // then present
    ChooseLanguage,      // `english`: set, close the menu, apply the language, notice; present
    CloseLanguageMenu,   // present
    CycleResolution,     // settings panel rows: under the mutex, then refresh
    ToggleFullScreen,
    FlipGraphics,
    SaveSettings,        // close the panel and post WM_APP + 3
    Refresh,             // nothing changes but the frame is refreshed
    OpenPortal,          // `link` (and the current news item's slug for NewsItem)
    SelectNewsRow,       // `row`: the featured item becomes the one of that row; refresh
    SignOut,             // FlowController::signOut (it refuses while busy or while the game runs)
    Play,                // FlowController::start(false) (it refuses while busy)
    Verify,              // FlowController::start(true)
    OpenSettings,        // refresh
    TogglePasswordShown, // refresh
    FocusField,          // `field`: kFocusUsername or kFocusPassword; refresh
};

struct ClickAction {
    ClickKind kind = ClickKind::Drag;
    bool english = false;           // ChooseLanguage
    PortalLink link = PortalLink::Home;  // OpenPortal
    int row = 0;                    // SelectNewsRow: 0 or 1
    int field = kFocusNone;         // FocusField
};

// The click rules in order, the first match wins. `splash` is the splash flag; `logical` the click
// position divided by the scale factor.
ClickAction resolveClick(const UiState& state, bool splash, Point logical);

// Carries out the actions that only change UiState (language menu and choice, settings rows and
// save, news row, options, show/hide, focus); returns false for every other kind, which the
// window procedure carries out itself. ChooseLanguage also shows the language notice; applying
// the language (translations, the UI language flag) stays with the caller.
bool applyClick(UiState& state, const ClickAction& action, std::uint64_t nowMs);

// ---- Keyboard -------------------------------------------------------------------------------

// Virtual-key codes used by the rules (the values of VK_TAB, VK_RETURN, VK_ESCAPE and 'V').
inline constexpr unsigned kKeyTab = 0x09;
inline constexpr unsigned kKeyEnter = 0x0D;
inline constexpr unsigned kKeyEscape = 0x1B;
inline constexpr unsigned kKeyV = 0x56;

enum class KeyKind {
    None,
    ConfirmInstall,     // the install panel is open and Enter was pressed
    CloseLanguageMenu,  // present
    SaveSettings,       // as the settings panel's button: close it and post WM_APP + 3
    Paste,              // read CF_UNICODETEXT when pasteAllowed(), then applyPaste; present
    MoveFocus,          // applyTab; refresh
    Play,               // FlowController::start(false)
};

// The keys act on the topmost open layer: the install panel takes Enter and nothing else; an open
// language menu takes Escape (closed) and Enter (nothing: it has no chosen entry); an open
// settings panel takes Escape and Enter as its one button, "save and back" (every click in it has
// already changed the values, so leaving it any other way would show values that were never
// stored). Only the bare home screen plays on Enter and moves or fills the login fields.
KeyKind resolveKeyDown(const UiState& state, unsigned virtualKey, bool controlHeld);

// Tab: from the username field to the password field, from anything else to the username field.
void applyTab(UiState& state);

// WM_CHAR. Returns true when the character reached the field rules (and a refresh is due): not
// Enter or Tab, no install or settings panel over the form, not busy, not signed in and a field
// focused. Backspace removes
// the last character; characters 33-126 are appended below the field's limit; anything else is
// dropped.
bool applyChar(UiState& state, char16_t character);

// Whether Ctrl+V may read the clipboard: the same condition as for typed characters.
bool pasteAllowed(const UiState& state);
// Appends the clipboard text's characters in 33-126, in order, until the field is full.
void applyPaste(UiState& state, std::u16string_view clipboard);

// ---- Mouse cursor --------------------------------------------------------------------------

// The text cursor (I-beam) shows exactly where a click would focus a login field: only while the
// form is drawn and takes input (home screen, signed out, not busy, no panel or menu taking the
// click), and never over the show/hide button. The arrow everywhere else.
bool wantsTextCursor(const UiState& state, bool splash, Point logical);

// ---- Settings values ----------------------------------------------------------------------

struct Resolution {
    int width = 0;
    int height = 0;
};

// 1280 x 720 -> 1366 x 768 -> 1600 x 900 -> 1920 x 1080 -> 2560 x 1440 -> 1280 x 720, chosen by the
// width alone; any other width goes to 1280 x 720.
Resolution nextResolution(int width);
// The graphics mode as shown: below 0 is 0, 2 or more is 1.
int shownGraphicsMode(int mode);

// ---- Notice, caret and news rotation ------------------------------------------------------

// Stores the notice with its expiry (now + 6500 ms); the caller posts refresh.
void showNotice(UiState& state, std::string text, std::uint64_t nowMs);
// The notice is drawn instead of the status text until it expires.
bool noticeVisible(const UiState& state, std::uint64_t nowMs);
// The caret is drawn while floor(ms / 500) is even.
constexpr bool caretPhaseOn(std::uint64_t msSinceBoot) { return (msSinceBoot / 500) % 2 == 0; }

// The featured item's index into state.news (0 when the list is empty).
std::size_t currentNewsIndex(const UiState& state);
// Timer rule: with two or more items, the splash gone and the mouse off the news panel, advances
// the featured item when more than 8000 ms passed since the last rotation. True when it moved.
bool rotateNewsIfDue(UiState& state, bool splash, Point mouse, std::uint64_t nowMs);
// Mouse wheel: with two or more items, one forward for a downward turn (negative delta), one back
// for an upward turn; the rotation time restarts. True when it moved.
bool turnNewsWheel(UiState& state, int wheelDelta, std::uint64_t nowMs);

}  // namespace nyra::ui
