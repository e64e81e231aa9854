#pragma once
// The launcher's one layered window: class registration, creation and the window procedure with
// hover, clicks, keyboard, clipboard, timer 1 and the application messages.
#include "core/layout.h"
#include "ui/layout.h"
#include "ui/portal.h"
#include "ui/win/renderer.h"

#include <functional>
#include <string>

namespace nyra {
class UiStore;
class FlowController;
class Clock;
}

namespace nyra::ui {

inline constexpr wchar_t kWindowClassName[] = L"NyraBrasilNative";
inline constexpr wchar_t kWindowTitle[] = L"Nyra Saga Brasil";
inline constexpr UINT_PTR kAnimationTimer = 1;

// What the screens ask of the subsystems that own their own rules: the install panel (install
// location), the language and the game's display settings (local state). Each call runs on the
// window's thread and must not block for long. The defaults change nothing outside the screens,
// and the install panel's say that installing is not part of this build.
class ScreenActions {
public:
    virtual ~ScreenActions() = default;
    // A click inside the install panel, or Enter while it is open.
    virtual void installPanelClick(UiStore& store, Point logical);
    virtual void confirmInstall(UiStore& store);
    // The language chosen in the menu (UiState and the UI flag are already switched and the
    // notice shown).
    virtual void applyLanguage(UiStore& store, bool english);
    // WM_APP + 3: the settings panel's values are to be stored.
    virtual void saveSettings(UiStore& store);
    // WM_APP + 2 with zero: the game has ended; its current video settings are read again.
    virtual void reloadVideoSettings(UiStore& store);
};

// Opens an address in the default browser; false when the shell could not start it.
using BrowserOpener = std::function<bool(HWND owner, const std::wstring& address)>;
bool openInDefaultBrowser(HWND owner, const std::wstring& address);

// What the window procedure works with; owned by the launcher and alive as long as the window.
struct WindowContext {
    WindowContext(UiStore& uiStore, Renderer& frameRenderer, Clock& uiClock)
        : store(uiStore), renderer(frameRenderer), clock(uiClock) {}

    UiStore& store;
    Renderer& renderer;
    Clock& clock;
    double scale = 1.0;
    FlowController* flow = nullptr;
    std::function<void()> startNews;  // WM_APP + 4
    ScreenActions* actions = nullptr;
    BrowserOpener openBrowser = openInDefaultBrowser;
    HitMask lastHitMask = 0;  // window thread only
    bool trackingLeave = false;
};

// Registers the class (arrow cursor, icon resource 1); false when the system refuses it.
bool registerWindowClass(HINSTANCE instance);

// Creates the window, shows it and starts timer 1; throws "Janela do launcher indisponivel.".
HWND createLauncherWindow(HINSTANCE instance, const WindowPlacement& placement, WindowContext& context);

// Renders the current state and pushes it to the window.
void presentCurrentFrame(HWND window, WindowContext& context);

// Opens a portal page and shows the success notice, or the browser failure notice.
void openPortalPage(HWND window, WindowContext& context, PortalLink link, const std::string& slug);

}  // namespace nyra::ui
