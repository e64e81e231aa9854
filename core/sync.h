#pragma once
// A mutex and a condition variable for hand-offs between threads on hot paths (the relay's queue
// to the game). The Windows build's C++ library (MinGW, posix threads) parks and wakes
// threads through kernel semaphores, a system call on each side of every hand-off (under Wine a
// round trip to the wineserver: one ping-pong between two threads measured 149 us, against 10 us
// with the slim reader/writer lock and condition variable that Windows waits on in the process).
// On Windows these are those slim primitives; elsewhere the standard ones, which the thread
// sanitiser understands. Both meet the standard Lockable requirements (std::lock_guard,
// std::unique_lock, std::try_to_lock).
// Not for a lock that one thread releases and takes again in a loop while another waits for it:
// slim locks are not fair, and the waiter can starve (the relay's stream locks, which its to-server
// reader takes per message while a resend waits, stay std::mutex for that reason).
#include <chrono>
#include <cstdint>
#include <mutex>
#if !defined(_WIN32)
#include <condition_variable>
#endif

namespace nyra {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() noexcept;
    bool try_lock() noexcept;
    void unlock() noexcept;

private:
    friend class ConditionVariable;
#if defined(_WIN32)
    void* slim_ = nullptr;  // an SRWLOCK, SRWLOCK_INIT
#else
    std::mutex mutex_;
#endif
};

class ConditionVariable {
public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    // Both may return early (spurious wake-ups): the predicate forms below loop.
    void wait(std::unique_lock<Mutex>& lock) noexcept;
    void waitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds time) noexcept;

    template <typename Ready>
    void wait(std::unique_lock<Mutex>& lock, Ready ready) {
        while (!ready()) wait(lock);
    }

    // The predicate's last value: false when the time ran out first.
    template <typename Ready>
    bool waitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds time, Ready ready) {
        const auto deadline = std::chrono::steady_clock::now() + time;
        while (!ready()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= std::chrono::milliseconds::zero()) return ready();
            waitFor(lock, left);
        }
        return true;
    }

    void notifyOne() noexcept;
    void notifyAll() noexcept;

private:
#if defined(_WIN32)
    void* slim_ = nullptr;  // a CONDITION_VARIABLE, CONDITION_VARIABLE_INIT
#else
    std::condition_variable condition_;
#endif
};

#if !defined(_WIN32)
inline void Mutex::lock() noexcept { mutex_.lock(); }
inline bool Mutex::try_lock() noexcept { return mutex_.try_lock(); }
inline void Mutex::unlock() noexcept { mutex_.unlock(); }

// The standard condition variable waits on the std::mutex inside: the caller's lock is lent to it
// for the wait and taken back, still held, afterwards.
inline void ConditionVariable::wait(std::unique_lock<Mutex>& lock) noexcept {
    std::unique_lock inner(lock.mutex()->mutex_, std::adopt_lock);
    condition_.wait(inner);
    inner.release();
}

inline void ConditionVariable::waitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds time) noexcept {
    std::unique_lock inner(lock.mutex()->mutex_, std::adopt_lock);
    condition_.wait_for(inner, time);
    inner.release();
}

inline void ConditionVariable::notifyOne() noexcept { condition_.notify_one(); }
inline void ConditionVariable::notifyAll() noexcept { condition_.notify_all(); }
#endif

}  // namespace nyra
