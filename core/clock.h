#pragma once
// Monotonic milliseconds and sleeping, injected so that timing rules can be tested without
// real waits. The Win32 shell supplies GetTickCount64/Sleep; SteadyClock is the portable one.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace nyra {

// Set once (a shutdown) to end every wait given it, at once and for good.
class WakeSignal {
public:
    void set() noexcept {
        {
            std::lock_guard lock(mutex_);
            set_.store(true);
        }
        changed_.notify_all();
    }
    bool isSet() const noexcept { return set_.load(); }
    // Up to `ms` of real time, less once set.
    void waitMs(std::uint32_t ms) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_.load(); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> set_{false};
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t tickMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
    // Sleeps `ms` unless `wake` is set, returning once it is. A clock that cannot be woken while
    // it sleeps sees the signal only before it begins.
    virtual void sleepUnlessWoken(std::uint32_t ms, WakeSignal& wake) {
        if (!wake.isSet()) sleepMs(ms);
    }
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
    void sleepUnlessWoken(std::uint32_t ms, WakeSignal& wake) override { wake.waitMs(ms); }
};

}  // namespace nyra
