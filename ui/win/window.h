#pragma once
// The launcher's one layered window: class registration, creation and the window procedure.
#include "core/layout.h"
#include "ui/win/renderer.h"

#include <functional>

namespace nyra {
class UiStore;
class FlowController;
}

namespace nyra::ui {

inline constexpr wchar_t kWindowClassName[] = L"NyraBrasilNative";
inline constexpr wchar_t kWindowTitle[] = L"Nyra Saga Brasil";
inline constexpr UINT_PTR kAnimationTimer = 1;

// What the window procedure works with; owned by the launcher and alive as long as the window.
struct WindowContext {
    UiStore& store;
    Renderer& renderer;
    double scale = 1.0;
    FlowController* flow = nullptr;
    std::function<void()> startNews;  // WM_APP + 4
};

// Registers the class (arrow cursor, icon resource 1); false when the system refuses it.
bool registerWindowClass(HINSTANCE instance);

// Creates the window, shows it and starts timer 1; throws "Janela do launcher indisponivel.".
HWND createLauncherWindow(HINSTANCE instance, const WindowPlacement& placement, WindowContext& context);

// Renders the current state and pushes it to the window.
void presentCurrentFrame(HWND window, WindowContext& context);

}  // namespace nyra::ui
