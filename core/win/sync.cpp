// The Windows side of core/sync.h: slim reader/writer locks (exclusive only) and condition variables.
#include "core/sync.h"

#include <windows.h>

#include <algorithm>
#include <limits>

namespace nyra {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "the slim primitives are one pointer each, zero when fresh");

PSRWLOCK slim(void*& storage) { return reinterpret_cast<PSRWLOCK>(&storage); }
PCONDITION_VARIABLE condition(void*& storage) { return reinterpret_cast<PCONDITION_VARIABLE>(&storage); }

}  // namespace

void Mutex::lock() noexcept { ::AcquireSRWLockExclusive(slim(slim_)); }
bool Mutex::try_lock() noexcept { return ::TryAcquireSRWLockExclusive(slim(slim_)) != FALSE; }
void Mutex::unlock() noexcept { ::ReleaseSRWLockExclusive(slim(slim_)); }

void ConditionVariable::wait(std::unique_lock<Mutex>& lock) noexcept {
    ::SleepConditionVariableSRW(condition(slim_), slim(lock.mutex()->slim_), INFINITE, 0);
}

void ConditionVariable::waitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds time) noexcept {
    // INFINITE is the largest DWORD: a wait that long is cut one below it (and the caller loops).
    const auto count = time.count() <= 0 ? 0 : time.count();
    const DWORD ms = static_cast<DWORD>(std::min<long long>(count, std::numeric_limits<DWORD>::max() - 1));
    ::SleepConditionVariableSRW(condition(slim_), slim(lock.mutex()->slim_), ms, 0);
}

void ConditionVariable::notifyOne() noexcept { ::WakeConditionVariable(condition(slim_)); }
void ConditionVariable::notifyAll() noexcept { ::WakeAllConditionVariable(condition(slim_)); }

}  // namespace nyra
