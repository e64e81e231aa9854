#pragma once
// The game process on Windows: whether a game runs on this machine, starting "game.bin" with its
// environment, priority and affinity, and watching it (exit, hung windows, termination).
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/win/handles.h"
#include "session/launch_rules.h"
#include "session/session_report.h"
#include "session/supervision.h"

namespace nyra {

// A process named "game.bin" or "game_.exe" runs ("Nao foi possivel conferir as sessoes do jogo."
// when the process list cannot be read).
bool isGameRunning();

class WindowsGameProcess final : public GameProcessControl {
public:
    WindowsGameProcess(win::UniqueHandle process, std::uint32_t processId) noexcept
        : process_(std::move(process)), processId_(processId) {}
    std::uint32_t processId() const override { return processId_; }
    bool waitForExit(std::uint32_t ms) override;
    std::uint32_t exitCode() override;
    bool isHung() override;
    void terminate(std::uint32_t code) noexcept override;

private:
    win::UniqueHandle process_;
    std::uint32_t processId_;
};

// Starts "game.bin" of `engineFolder`: the command line `"<engine>\game.bin" Tollwin`, nothing
// inherited, CREATE_UNICODE_ENVIRONMENT with `environment`, the engine folder as working folder;
// then above-normal priority and, on more than three processors, processor 0 left to the system.
// "Nao foi possivel iniciar o cliente protegido." when the process cannot be created.
std::unique_ptr<WindowsGameProcess> startGameProcess(const std::filesystem::path& engineFolder,
                                                     const EnvironmentBlock& environment);

// The launcher's own environment as "NAME=value" entries.
std::vector<std::u16string> ownEnvironmentEntries();

// The machine facts of the system summary.
SystemFacts readSystemFacts();

}  // namespace nyra
