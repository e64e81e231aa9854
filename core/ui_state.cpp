#include "core/ui_state.h"

#include <algorithm>

#include "core/text.h"

namespace nyra {

UiSnapshot::UiSnapshot(const UiState& state) : UiState(state), passwordLength(password.size()) {
    // Zeroed in place, before anything can release the copied characters.
    if (!passwordShown) wipe(password);
}

UiSnapshot::~UiSnapshot() { wipe(password); }

UiStore::UiStore(Clock& clock, WindowPoster& poster) : clock_(clock), poster_(poster) {}

UiStore::~UiStore() { wipe(state_.password); }

UiSnapshot UiStore::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return UiSnapshot(state_);
}

void UiStore::setStatus(const std::string& text, int percent) {
    const int clamped = std::clamp(percent, 0, 100);
    std::lock_guard<std::mutex> lock(mutex_);
    const bool changed = state_.statusText != text;
    state_.statusText = text;
    state_.progress = clamped;
    const std::uint64_t now = clock_.tickMs();
    // Unsigned difference; a clock that never goes backwards keeps it meaningful.
    if (changed || clamped == 100 || now - lastRefreshPostMs_ >= 100) {
        lastRefreshPostMs_ = now;
        poster_.post(kMsgRefresh, 0);
    }
}

void UiStore::setBusyKind(int kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.busyKind = kind;
    poster_.post(kMsgRefresh, 0);
}

void UiStore::onGameRunning(bool running) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.gameRunning = running;
    poster_.post(kMsgShowHide, running ? 1u : 0u);
}

bool fitsUsernameField(std::string_view name) noexcept {
    return !name.empty() && name.size() <= kUsernameLimit &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= 33 && c <= 126; });
}

}  // namespace nyra
