#include "ui/win/window.h"

#include "core/flow.h"
#include "core/text.h"
#include "core/ui_state.h"

#include <windowsx.h>

#include <stdexcept>

namespace nyra::ui {
namespace {

WindowContext* contextOf(HWND window) {
    return reinterpret_cast<WindowContext*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

bool inside(double x, double y, double left, double top, double width, double height) {
    return x >= left && x < left + width && y >= top && y < top + height;
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    WindowContext* context = contextOf(window);
    if (context == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);

    switch (message) {
    case kMsgRefresh:
        if (context->store.snapshot().gameRunning) return 0;
        ::SetTimer(window, kAnimationTimer, ::IsIconic(window) ? 500 : 50, nullptr);
        if (!::IsIconic(window)) presentCurrentFrame(window, *context);
        return 0;
    case kMsgShowHide:
        if (wParam != 0) {
            ::KillTimer(window, kAnimationTimer);
            ::ShowWindow(window, SW_HIDE);
        } else {
            ::ShowWindow(window, SW_SHOW);
            ::SetTimer(window, kAnimationTimer, 50, nullptr);
            ::SetForegroundWindow(window);
            presentCurrentFrame(window, *context);
        }
        return 0;
    case kMsgLoadNews:
        if (context->startNews) context->startNews();
        return 0;
    case WM_LBUTTONDOWN: {
        const double x = GET_X_LPARAM(lParam) / context->scale;
        const double y = GET_Y_LPARAM(lParam) / context->scale;
        if (inside(x, y, 1166, 26, 30, 30)) {
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        } else if (inside(x, y, 1126, 26, 30, 30)) {
            ::ShowWindow(window, SW_MINIMIZE);
        } else if (inside(x, y, 80, 70, 1120, 720)) {
            // The card is the window's caption: dragging it moves the window.
            ::ReleaseCapture();
            ::SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        }
        return 0;
    }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        ::BeginPaint(window, &paint);
        ::EndPaint(window, &paint);
        presentCurrentFrame(window, *context);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_CLOSE:
        ::DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        ::KillTimer(window, kAnimationTimer);
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

bool registerWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.lpszClassName = kWindowClassName;
    return ::RegisterClassExW(&windowClass) != 0;
}

HWND createLauncherWindow(HINSTANCE instance, const WindowPlacement& placement, WindowContext& context) {
    HWND window = ::CreateWindowExW(WS_EX_LAYERED | WS_EX_APPWINDOW, kWindowClassName, kWindowTitle,
                                    WS_POPUP | WS_MINIMIZEBOX, placement.x, placement.y, placement.width,
                                    placement.height, nullptr, nullptr, instance, &context);
    if (window == nullptr) throw std::runtime_error("Janela do launcher indisponivel.");
    ::ShowWindow(window, SW_SHOW);
    ::SetTimer(window, kAnimationTimer, 33, nullptr);
    return window;
}

void presentCurrentFrame(HWND window, WindowContext& context) {
    context.renderer.PresentFrame(window, context.scale);
}

}  // namespace nyra::ui
