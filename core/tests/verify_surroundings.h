#pragma once
// The subsystems around a Verify run that a test does not exercise: the home is settled, the
// launcher current, no session is saved, the machine has a fixed identity, and the game is never
// started (Verify ends before it).
#include <gtest/gtest.h>

#include "core/services.h"

namespace nyra::test {

struct VerifySurroundings : HomeService, SelfUpdate, SavedSession, HardwareIdentity, GameSession {
    bool relocateAtStart(const std::filesystem::path&, const ProgressFn&, std::atomic<bool>&) override { return false; }
    bool checkLauncherUpdate(BackendClient&, const std::filesystem::path&, const nlohmann::json&, const ProgressFn&,
                             std::atomic<bool>&) override {
        return false;
    }
    std::optional<std::string> restore(BackendClient&) override { return std::nullopt; }
    void save(BackendClient&) override {}
    void forget() noexcept override {}
    HardwareId identity() override { return {std::string(64, 'a'), "HWID v1"}; }
    void runGameSession(BackendClient&, const std::filesystem::path&, std::unique_ptr<PreparedGame>, std::atomic<bool>&,
                        const ProgressFn&, const GameRunningFn&) override {
        ADD_FAILURE() << "Verify never starts the game";
    }
};

}  // namespace nyra::test
