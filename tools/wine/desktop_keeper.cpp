// nyra-desktop-keeper.exe: holds one hidden window for as long as it runs, so that Wine keeps its
// desktop open for a whole test session. Wine closes the desktop when the last program with a
// window ends; a program creating its window at that moment finds no desktop ("The explorer
// process failed to start."), and from then on no program of the session gets a window.
// scripts/test-env starts it in the background; ending the session's Wine server ends it.
#include <windows.h>

int wmain() {
    const HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) return 1;
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}
