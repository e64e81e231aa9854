#pragma once
// Monotonic milliseconds and sleeping, injected so that timing rules can be tested without
// real waits. The Win32 shell supplies GetTickCount64/Sleep; SteadyClock is the portable one.
#include <chrono>
#include <cstdint>
#include <thread>

namespace nyra {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t tickMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
};

class SteadyClock final : public Clock {
public:
    std::uint64_t tickMs() override {
        const auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }
    void sleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace nyra
