#pragma once
// The game session on Windows: the last confirmation with the backend, the start call, the relay,
// the multi-client slot, the material of the guard channel, the game process and its supervision,
// and the release of everything on every path (the stop call once the start call succeeded).
#include <filesystem>
#include <functional>
#include <string_view>

#include "core/clock.h"
#include "core/services.h"
#include "session/supervision.h"

namespace nyra {

class WindowsGameSession final : public GameSession {
public:
    // `hardware` gives the identity sent with the start call; `protection` the launcher's own
    // protection modules (`NoProtectionModules` in this build); `clock` the supervision's time.
    WindowsGameSession(HardwareIdentity& hardware, ProtectionModules& protection, Clock& clock)
        : hardware_(hardware), protection_(protection), clock_(clock) {}

    // Called with the name of each launch stage as it completes ("policy", "file checks", "start
    // call", "tunnel", "channel", "process"); the launch benchmark times them. None in the product.
    void onStage(std::function<void(std::string_view stage)> stage) { stage_ = std::move(stage); }

    void runGameSession(BackendClient& client, const std::filesystem::path& launcherFolder,
                        std::unique_ptr<PreparedGame> prepared, std::atomic<bool>& stop, const ProgressFn& progress,
                        const GameRunningFn& gameRunning) override;

private:
    HardwareIdentity& hardware_;
    ProtectionModules& protection_;
    Clock& clock_;
    std::function<void(std::string_view)> stage_;
};

}  // namespace nyra
