#pragma once
// The launcher's self-update check: a running launcher that is the published build goes on; any
// other downloads the published one, proves it, and hands over to it in updater mode.
#include <functional>

#include "core/services.h"
#include "platform/win/handles.h"

namespace nyra::update {

class LauncherSelfUpdate final : public SelfUpdate {
public:
    // Called with the update file once it and its description are written, before they are
    // checked again (tests change the file there).
    using WrittenHook = std::function<void(const std::filesystem::path& updateFile)>;

    // `gameRunning` tells whether a game process runs (throws when the processes cannot be listed).
    // `runningLauncher` is the running executable unless a test names another file.
    // `afterHold` is called once the update file is held and proven, before the updater starts
    // (tests try to change it there).
    explicit LauncherSelfUpdate(std::function<bool()> gameRunning, std::filesystem::path runningLauncher = {},
                                WrittenHook afterWrite = {}, WrittenHook afterHold = {});

    bool checkLauncherUpdate(BackendClient& client, const std::filesystem::path& launcherFolder,
                             const nlohmann::json& packagePolicy, const ProgressFn& progress,
                             std::atomic<bool>& cancel) override;

private:
    std::function<bool()> gameRunning_;
    std::filesystem::path runningLauncher_;
    WrittenHook afterWrite_;
    WrittenHook afterHold_;
    // The downloaded update, held open for reading from its last check until this process ends,
    // so nobody can change it before the updater checks it again.
    win::UniqueHandle heldUpdate_;
};

}  // namespace nyra::update
