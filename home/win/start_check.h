#pragma once
#include "core/services.h"

namespace nyra::home {

// The home check before anything is downloaded, as far as this build goes: a launcher folder
// reached through a link, or holding linked files, would have to be moved or repaired first, and
// moving the game is not part of this build, so it stops with a clear message instead. A plain
// folder needs nothing (false).
class StartCheck final : public HomeService {
public:
    explicit StartCheck(bool homeSettled) : homeSettled_(homeSettled) {}
    bool relocateAtStart(const std::filesystem::path& launcherFolder, const ProgressFn& progress,
                         std::atomic<bool>& stop) override;

private:
    bool homeSettled_;
};

}  // namespace nyra::home
