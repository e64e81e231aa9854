#pragma once
// The flow's clock and window-message seams, bound to the real system.
#include "core/ui_state.h"

#include <windows.h>

#include <atomic>

namespace nyra {

class SystemClock final : public Clock {
public:
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
    void sleepUnlessWoken(std::uint32_t milliseconds, WakeSignal& wake) override { wake.waitMs(milliseconds); }
};

// Posts to the launcher window once it exists; before that (and after it is gone) posts are dropped,
// which is what a refresh request for a window that cannot be drawn should do.
class WindowMessagePoster final : public WindowPoster {
public:
    void attach(HWND window) noexcept { window_.store(window); }
    void detach() noexcept { window_.store(nullptr); }
    void post(unsigned message, std::uintptr_t param) override {
        if (HWND window = window_.load()) ::PostMessageW(window, message, static_cast<WPARAM>(param), 0);
    }

private:
    std::atomic<HWND> window_{nullptr};
};

}  // namespace nyra
