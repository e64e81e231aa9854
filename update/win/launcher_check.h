#pragma once
#include "core/services.h"

namespace nyra::update {

// The launcher self-update check as far as this build goes: the published description is read
// and its signature proven; a running launcher that is byte-identical to the published build (and
// carries its version) passes. Downloading and swapping in a different build is not part of this
// build, so that case stops with a clear message instead of starting an out-of-date launcher.
class LauncherCheck final : public SelfUpdate {
public:
    bool checkLauncherUpdate(BackendClient& client, const std::filesystem::path& launcherFolder,
                             const nlohmann::json& packagePolicy, const ProgressFn& progress,
                             std::atomic<bool>& cancel) override;
};

}  // namespace nyra::update
