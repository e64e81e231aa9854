#include "ui/win/window.h"

#include "core/clock.h"
#include "core/flow.h"
#include "core/text.h"
#include "core/ui_state.h"
#include "ui/input.h"

#include <shellapi.h>
#include <windowsx.h>

#include <stdexcept>

namespace nyra::ui {
namespace {

// Installing is not part of this build: the panel says so instead of pretending to work.
constexpr char kInstallPending[] = "Instalacao indisponivel nesta versao. Copie o launcher para a pasta do jogo.";

WindowContext* contextOf(HWND window) {
    return reinterpret_cast<WindowContext*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

void refresh(HWND window) { ::PostMessageW(window, kMsgRefresh, 0, 0); }

void setRefreshTimer(HWND window, bool minimised) { ::SetTimer(window, kAnimationTimer, minimised ? 500 : 50, nullptr); }

Point logicalPoint(const WindowContext& context, LPARAM lParam) {
    return toLogical(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), context.scale);
}

// The I-beam where a click would focus a login field, the arrow elsewhere.
void setCursorFor(WindowContext& context, Point logical) {
    const bool splash = context.store.splash().load();
    const bool text = context.store.withLock([&](UiState& s) { return wantsTextCursor(s, splash, logical); });
    ::SetCursor(::LoadCursorW(nullptr, text ? IDC_IBEAM : IDC_ARROW));
}

void showNoticeNow(WindowContext& context, std::string text) {
    const std::uint64_t now = context.clock.tickMs();
    context.store.withLock([&](UiState& s) { showNotice(s, std::move(text), now); });
}

// CF_UNICODETEXT of the clipboard; empty when there is none or the clipboard is busy.
std::u16string clipboardText(HWND window) {
    std::u16string text;
    if (!::OpenClipboard(window)) return text;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const char16_t*>(::GlobalLock(data))) {
            const SIZE_T bytes = ::GlobalSize(data);
            std::size_t length = 0;
            const std::size_t limit = bytes / sizeof(char16_t);
            while (length < limit && chars[length] != u'\0') ++length;
            text.assign(chars, length);
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

void onClick(HWND window, WindowContext& context, Point logical) {
    const bool splash = context.store.splash().load();
    const ClickAction action = context.store.withLock([&](UiState& s) { return resolveClick(s, splash, logical); });
    switch (action.kind) {
    case ClickKind::Drag:
        // Any empty spot of the card moves the window, as a title bar would.
        ::ReleaseCapture();
        ::SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        return;
    case ClickKind::Close:
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    case ClickKind::Minimize:
        ::ShowWindow(window, SW_MINIMIZE);
        return;
    case ClickKind::InstallPanel:
        if (context.actions != nullptr) context.actions->installPanelClick(context.store, logical);
        refresh(window);
        return;
    case ClickKind::OpenPortal: {
        std::string slug;
        if (action.link == PortalLink::NewsItem) {
            slug = context.store.withLock([](UiState& s) {
                return s.news.empty() ? std::string() : s.news[currentNewsIndex(s)].slug;
            });
        }
        openPortalPage(window, context, action.link, slug);
        return;
    }
    case ClickKind::SignOut:
        if (context.flow != nullptr) context.flow->signOut();
        return;
    case ClickKind::Play:
    case ClickKind::Verify:
        if (context.flow != nullptr) context.flow->start(action.kind == ClickKind::Verify);
        return;
    default:
        break;
    }

    const std::uint64_t now = context.clock.tickMs();
    context.store.withLock([&](UiState& s) { applyClick(s, action, now); });
    switch (action.kind) {
    case ClickKind::ChooseLanguage:
        context.store.uiEnglish().store(action.english);
        if (context.actions != nullptr) context.actions->applyLanguage(context.store, action.english);
        presentCurrentFrame(window, context);
        return;
    case ClickKind::ToggleLanguageMenu:
    case ClickKind::CloseLanguageMenu:
        presentCurrentFrame(window, context);
        return;
    case ClickKind::SaveSettings:
        ::PostMessageW(window, kMsgSaveSettings, 0, 0);
        refresh(window);
        return;
    default:
        refresh(window);
        return;
    }
}

void onKeyDown(HWND window, WindowContext& context, unsigned key) {
    const bool control = ::GetKeyState(VK_CONTROL) < 0;
    const KeyKind kind = context.store.withLock([&](UiState& s) { return resolveKeyDown(s, key, control); });
    switch (kind) {
    case KeyKind::None:
        return;
    case KeyKind::ConfirmInstall:
        if (context.actions != nullptr) context.actions->confirmInstall(context.store);
        refresh(window);
        return;
    case KeyKind::CloseLanguageMenu:
        context.store.withLock([](UiState& s) { s.languageMenuOpen = false; });
        presentCurrentFrame(window, context);
        return;
    case KeyKind::SaveSettings:
        context.store.withLock([](UiState& s) { s.settingsOpen = false; });
        ::PostMessageW(window, kMsgSaveSettings, 0, 0);
        refresh(window);
        return;
    case KeyKind::Paste: {
        if (!context.store.withLock([](UiState& s) { return pasteAllowed(s); })) return;
        std::u16string text = clipboardText(window);
        if (text.empty()) return;
        context.store.withLock([&](UiState& s) {
            // The clipboard may have changed the state's eligibility meanwhile; check again under the lock.
            if (pasteAllowed(s)) applyPaste(s, text);
        });
        wipe(text);
        presentCurrentFrame(window, context);
        return;
    }
    case KeyKind::MoveFocus:
        context.store.withLock([](UiState& s) { applyTab(s); });
        refresh(window);
        return;
    case KeyKind::Play:
        if (context.flow != nullptr) context.flow->start(false);
        return;
    }
}

void onMouseMove(HWND window, WindowContext& context, Point logical) {
    context.renderer.setMouse(static_cast<float>(logical.x), static_cast<float>(logical.y));
    if (!context.trackingLeave) {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, window, 0};
        context.trackingLeave = ::TrackMouseEvent(&track) != FALSE;
    }
    setCursorFor(context, logical);
    const HitMask mask = hitMask(logical);
    if (mask != context.lastHitMask) {
        context.lastHitMask = mask;
        presentCurrentFrame(window, context);
    }
}

void onTimer(HWND window, WindowContext& context) {
    if (!::IsWindowVisible(window) || ::IsIconic(window)) return;
    const std::uint64_t now = context.clock.tickMs();
    context.renderer.setCaretOn(caretPhaseOn(now));
    const bool splash = context.store.splash().load();
    const Point mouse{context.renderer.mouseX(), context.renderer.mouseY()};
    context.store.withLock([&](UiState& s) { rotateNewsIfDue(s, splash, mouse, now); });
    presentCurrentFrame(window, context);
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
        if (context->store.withLock([](UiState& s) { return s.gameRunning; })) return 0;
        setRefreshTimer(window, ::IsIconic(window) != FALSE);
        if (!::IsIconic(window)) presentCurrentFrame(window, *context);
        return 0;
    case kMsgShowHide:
        if (wParam != 0) {
            ::KillTimer(window, kAnimationTimer);
            ::ShowWindow(window, SW_HIDE);
        } else {
            if (context->actions != nullptr) context->actions->reloadVideoSettings(context->store);
            ::ShowWindow(window, SW_SHOW);
            setRefreshTimer(window, false);
            ::SetForegroundWindow(window);
            presentCurrentFrame(window, *context);
        }
        return 0;
    case kMsgSaveSettings:
        if (context->actions != nullptr) context->actions->saveSettings(context->store);
        refresh(window);  // a notice may tell how the save went
        return 0;
    case kMsgLoadNews:
        if (context->startNews) context->startNews();
        return 0;
    case WM_MOUSEMOVE:
        onMouseMove(window, *context, logicalPoint(*context, lParam));
        return 0;
    case WM_MOUSELEAVE:
        context->trackingLeave = false;
        context->renderer.setMouse(-1, -1);
        if (context->lastHitMask != 0) {
            context->lastHitMask = 0;
            presentCurrentFrame(window, *context);
        }
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT) {
            setCursorFor(*context, Point{context->renderer.mouseX(), context->renderer.mouseY()});
            return TRUE;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    case WM_LBUTTONDOWN:
        ::SetFocus(window);
        onClick(window, *context, logicalPoint(*context, lParam));
        return 0;
    case WM_KEYDOWN:
        onKeyDown(window, *context, static_cast<unsigned>(wParam));
        return 0;
    case WM_CHAR:
        if (context->store.withLock([&](UiState& s) { return applyChar(s, static_cast<char16_t>(wParam)); })) refresh(window);
        return 0;
    case WM_MOUSEWHEEL: {
        const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
        const std::uint64_t now = context->clock.tickMs();
        if (context->store.withLock([&](UiState& s) { return turnNewsWheel(s, delta, now); })) refresh(window);
        return 0;
    }
    case WM_TIMER:
        if (wParam == kAnimationTimer) onTimer(window, *context);
        return 0;
    case WM_SIZE:
        setRefreshTimer(window, wParam == SIZE_MINIMIZED);
        return 0;
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
        if (context->flow != nullptr) context->flow->requestStop();
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

void ScreenActions::installPanelClick(UiStore& store, Point logical) {
    // Clicks on the panel's buttons say that installing is not available; the rest of the panel is inert.
    if (!layout::kInstallButton.contains(logical.x, logical.y) &&
        !layout::kInstallChooseFolder.contains(logical.x, logical.y)) {
        return;
    }
    confirmInstall(store);
}

void ScreenActions::confirmInstall(UiStore& store) {
    store.withLock([](UiState& s) { s.installMessage = kInstallPending; });
}

void ScreenActions::applyLanguage(UiStore&, bool) {}

void ScreenActions::saveSettings(UiStore&) {}

void ScreenActions::reloadVideoSettings(UiStore&) {}

bool openInDefaultBrowser(HWND owner, const std::wstring& address) {
    const HINSTANCE result = ::ShellExecuteW(owner, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

void openPortalPage(HWND window, WindowContext& context, PortalLink link, const std::string& slug) {
    const PortalPage page = portalPage(link, slug);
    const std::u16string address = utf8ToUtf16(portalBaseAddress() + page.path);
    const bool opened = context.openBrowser && context.openBrowser(window, std::wstring(address.begin(), address.end()));
    showNoticeNow(context, opened ? page.notice : std::string(kBrowserFailedNotice));
    refresh(window);
}

bool registerWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
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

void presentCurrentFrame(HWND window, WindowContext& context) { context.renderer.PresentFrame(window, context.scale); }

}  // namespace nyra::ui
