#pragma once
// The second half of a game session: the supervision loop while the game runs (relay, stop flag,
// guard channel, heartbeats, hang checks, notices), the decision how the session ended, the crash
// and protection events, the launch outcome record and the failure path that ends the game. The
// game process, the channel, the backend and the protection modules are reached through small
// interfaces so that every path runs in tests on a clock that moves only when the test lets it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "session/launch_rules.h"

namespace nyra {

// The running game.
class GameProcessControl {
public:
    virtual ~GameProcessControl() = default;
    virtual std::uint32_t processId() const = 0;
    // True when the process has ended, waiting at most `ms`.
    virtual bool waitForExit(std::uint32_t ms) = 0;
    // The exit code (259 while it runs).
    virtual std::uint32_t exitCode() = 0;
    // One of the game's visible top-level windows without owner is reported hung.
    virtual bool isHung() = 0;
    // Ends the process with `code`; a process that already ended is left alone.
    virtual void terminate(std::uint32_t code) noexcept = 0;
};

// The guard channel as the supervision sees it (the server runs on its own thread).
class GuardChannelView {
public:
    virtual ~GuardChannelView() = default;
    virtual bool done() const = 0;
    virtual std::int32_t resultCode() const = 0;
    virtual std::int32_t guardErrorCode() const = 0;
    virtual bool modificationReported() const = 0;
    virtual bool blockedReported() const = 0;
    virtual bool guardReady() const = 0;
    // The player's message for a guard error code.
    virtual std::string guardErrorMessage(std::int32_t code) const = 0;
    virtual std::vector<std::string> takeNotices() = 0;
    virtual void setItemMall(std::string text) = 0;
    // Cancels the pipe's I/O, disconnects it, waits for the server thread and wipes the material
    // the channel still holds. Idempotent.
    virtual void close() noexcept = 0;
};

// The backend calls of a running session, with the session token.
class SessionBackend {
public:
    virtual ~SessionBackend() = default;
    // "/api/launcher/heartbeat"; a refused answer is HttpError, an answer that is not a readable
    // document nlohmann::json::exception, a transport failure any other error.
    virtual nlohmann::json heartbeat(std::uint64_t sequence) = 0;
    // "/api/launcher/event"; failures are the caller's to ignore.
    virtual void event(const std::string& kind, const std::string& detail) = 0;
};

// The launcher's own protection modules. No module is part of this build: the product binding
// (`NoProtectionModules`) does nothing, and every step that would call a module is kept so that a
// module plugs in without touching the session.
class ProtectionModules {
public:
    virtual ~ProtectionModules() = default;
    // Before the start call; a failure throws the check's own message.
    virtual void checkBeforeStart() = 0;
    // Attaches the code-integrity observer to the game process.
    virtual void observeGame(std::uint32_t processId) = 0;
    // A periodic check of the running session: a detail when a memory tool was recognised.
    virtual std::optional<std::string> recognisedTool() = 0;
    // The speed reports queued since the last call.
    virtual std::vector<std::string> takeSpeedReports() = 0;
    // While the guard is ready: the detail of a protected component whose code changed.
    virtual std::optional<std::string> changedComponent() = 0;
};

class NoProtectionModules final : public ProtectionModules {
public:
    void checkBeforeStart() override {}
    void observeGame(std::uint32_t) override {}
    std::optional<std::string> recognisedTool() override { return std::nullopt; }
    std::vector<std::string> takeSpeedReports() override { return {}; }
    std::optional<std::string> changedComponent() override { return std::nullopt; }
};

struct SupervisionTimes {
    std::uint32_t waitSliceMs = 200;
    std::uint64_t heartbeatEveryMs = 20000;
    std::uint64_t heartbeatRetryMs = 5000;
    std::uint64_t connectionLossLimitMs = 75000;
    std::uint64_t firstHangCheckMs = 60000;
    std::uint64_t hangCheckEveryMs = 5000;
    std::uint32_t orderlyExitWaitMs = 2000;
    std::uint32_t terminateWaitMs = 10000;
    std::uint32_t hungChecksBeforeEvent = 8;  // the event goes out on the ninth consecutive one
    std::size_t itemMallLimit = 65536;
};

// Everything the second half of the session works with. References outlive the call.
struct SessionSupervision {
    Clock& clock;
    std::atomic<bool>& stop;
    GuardChannelView& channel;
    SessionBackend& backend;
    ProtectionModules& protection;
    std::function<bool()> relayFailed;
    std::function<void(bool running)> onGameRunning;
    // Stores the launch outcome record (protected diagnostics); failures are the callee's to absorb.
    std::function<void(const nlohmann::json& record)> recordOutcome;
    // Invalidates the verification receipts so that the next Play verifies every package in full.
    std::function<void()> forgetReceipts;
    std::function<std::string()> systemSummary;
    std::string packageId;
    SupervisionTimes times{};
};

// Runs the game through to its end: records "starting", calls `startGame` (which creates the
// process and stores its control in the owner it is given the moment the process exists, before
// anything else that may fail), supervises it, and ends orderly (outcome "closed", crash event) or
// through the failure path (the game ended with 0xE002/0xE003, outcome "blocked", the protection
// event), after which the failure carries on as it was raised (an `HttpError` keeps its status); a
// failure without a message becomes "Falha desconhecida de inicializacao.". The channel is closed
// and `onGameRunning(false)` called on every path. The stop call, the slot and the file locks stay
// with the caller.
using GameStart = std::function<void(std::unique_ptr<GameProcessControl>& owner)>;
void superviseGameSession(SessionSupervision& session, const GameStart& startGame);

}  // namespace nyra
