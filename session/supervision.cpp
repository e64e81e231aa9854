#include "session/supervision.h"

#include <exception>
#include <stdexcept>

#include "core/http_error.h"
#include "core/text.h"
#include "session/session_report.h"
#include "session/session_texts.h"

namespace nyra {
namespace {

// A failure that ends the session with the player's message.
struct SessionFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message) { throw SessionFailure(message); }

std::string channelInterrupted(std::int32_t resultCode) {
    return std::string(texts::kChannelInterruptedBefore) + std::to_string(resultCode) + texts::kChannelInterruptedAfter;
}

// Detail of the protection event when the game was ended by its protection's 0xE004.
constexpr const char* kBlockedExitDetail = "guard_exit_blocked";

class Supervisor {
public:
    explicit Supervisor(SessionSupervision& session) : s_(session), times_(session.times) {}

    void run(const GameStart& startGame) {
        startTick_ = s_.clock.tickMs();
        record("starting", {});
        try {
            // The process is ours from the moment it exists: whatever fails after its creation
            // ends it through the failure path.
            startGame(game_);
            if (!game_) fail(texts::kCannotStartClient);
            pid_ = game_->processId();
            superviseUntilExit();
            judgeEnd();
        } catch (...) {
            failurePath(std::current_exception());
        }
        orderlyEnd();
    }

private:
    std::uint64_t now() { return s_.clock.tickMs(); }
    std::uint64_t elapsed() { return now() - startTick_; }

    void record(const std::string& outcome, const std::string& reason) {
        LaunchOutcome record;
        record.packageId = s_.packageId;
        record.outcome = outcome;
        record.reason = reason;
        record.guardReady = readySeen_ || s_.channel.guardReady();
        record.channelFailure = s_.channel.done() ? s_.channel.resultCode() : 0;
        record.guardStartupFailure = s_.channel.guardErrorCode();
        record.exitCode = exitCode_;
        record.elapsedMs = elapsed();
        record.pid = pid_;
        try {
            s_.recordOutcome(launchOutcomeRecord(record));
        } catch (...) {
            // Support data never changes how a session ends.
        }
    }

    void postEvent(const std::string& kind, const std::string& detail) noexcept {
        try {
            s_.backend.event(kind, detail);
        } catch (...) {
            // Events are reports; the session goes on without them.
        }
    }

    std::int32_t channelResult() const { return s_.channel.done() ? s_.channel.resultCode() : 0; }

    std::string sessionEnd(std::string_view name, std::uint32_t exitCode) {
        std::string summary;
        try {
            summary = s_.systemSummary();
        } catch (...) {
        }
        return describeSessionEnd(name, exitCode, elapsed(), channelResult(), summary);
    }

    // The channel ended before the game: the message that says why.
    std::string channelEndMessage() const {
        if (const auto code = s_.channel.guardErrorCode(); code != 0) return s_.channel.guardErrorMessage(code);
        if (s_.channel.blockedReported()) return texts::kAutomationDetected;
        if (s_.channel.modificationReported()) return texts::kModificationDetected;
        return channelInterrupted(s_.channel.resultCode());
    }

    void noteChannelReports() {
        if (s_.channel.modificationReported()) modification_ = true;
        if (s_.channel.blockedReported()) blocked_ = true;
    }

    void superviseUntilExit() {
        const std::uint64_t loopStart = now();
        std::uint64_t nextHeartbeat = loopStart + times_.heartbeatEveryMs;
        std::uint64_t lastGoodHeartbeat = loopStart;
        std::uint64_t nextHangCheck = loopStart + times_.firstHangCheckMs;
        std::uint32_t hangCount = 0;
        bool hangReported = false;
        s_.protection.observeGame(pid_);

        while (!game_->waitForExit(times_.waitSliceMs)) {
            if (s_.relayFailed && s_.relayFailed()) fail(texts::kRelayBroken);
            if (s_.stop.load()) fail(texts::kEndedByLauncher);
            if (s_.channel.done()) {
                noteChannelReports();
                const bool clean = s_.channel.guardErrorCode() == 0 && !s_.channel.modificationReported() &&
                                   !s_.channel.blockedReported() && s_.channel.guardReady();
                if (clean && game_->waitForExit(times_.orderlyExitWaitMs)) break;
                fail(channelEndMessage());
            }
            if (auto tool = s_.protection.recognisedTool()) {
                blocked_ = modification_ = true;
                protectionDetail_ = *tool;
                fail(texts::kMemoryToolRecognised);
            }
            if (!readySeen_ && s_.channel.guardReady()) {
                readySeen_ = true;
                s_.onGameRunning(true);
            }
            if (now() >= nextHeartbeat) {
                heartbeat(nextHeartbeat, lastGoodHeartbeat);
            }
            if (readySeen_ && !hangReported && now() >= nextHangCheck) {
                if (game_->isHung()) {
                    if (hangCount++ >= times_.hungChecksBeforeEvent) {
                        postEvent("game_hang", sessionEnd("not_responding_45s", kStillRunning));
                        hangReported = true;
                    }
                } else {
                    hangCount = 0;
                }
                nextHangCheck = now() + times_.hangCheckEveryMs;
            }
            for (const auto& notice : s_.channel.takeNotices()) postEvent("foreign_module", notice);
            for (const auto& report : s_.protection.takeSpeedReports()) postEvent("speed_hack", report);
            if (readySeen_) {
                if (auto component = s_.protection.changedComponent()) {
                    fail(std::string(texts::kComponentChangedBefore) + *component + texts::kComponentChangedAfter);
                }
            }
        }
    }

    void heartbeat(std::uint64_t& nextHeartbeat, std::uint64_t& lastGoodHeartbeat) {
        const std::uint64_t sequence = ++sequence_;
        bool transient = false;
        nlohmann::json answer;
        try {
            answer = s_.backend.heartbeat(sequence);
        } catch (const HttpError& e) {
            // Any other refusal ends the session as itself: a 401 still signs the player out.
            if (e.status < 500 && e.status != 429) throw;
            transient = true;
        } catch (const nlohmann::json::exception&) {
            fail(texts::kBadHeartbeatAnswer);  // answered, but not with a readable document
        } catch (const std::exception&) {
            transient = true;  // the transport failed
        }
        if (transient) {
            if (now() - lastGoodHeartbeat >= times_.connectionLossLimitMs) fail(texts::kServerLostTooLong);
            nextHeartbeat = now() + times_.heartbeatRetryMs;
            return;
        }
        const auto echoed = answer.find("sequence");
        if (!answer.is_object() || echoed == answer.end() || !echoed->is_number_unsigned() ||
            echoed->get<std::uint64_t>() != sequence) {
            fail(texts::kBadHeartbeatAnswer);
        }
        std::string text = itemMallText(answer);
        if (text.size() <= times_.itemMallLimit) s_.channel.setItemMall(std::move(text));
        lastGoodHeartbeat = now();
        nextHeartbeat = lastGoodHeartbeat + times_.heartbeatEveryMs;
    }

    // After the loop: the game has ended.
    void judgeEnd() {
        exitCode_ = game_->exitCode();
        noteChannelReports();
        if (exitCode_ == kEndedForModification) modification_ = true;
        if (exitCode_ == kEndedAndBlocked) {
            modification_ = blocked_ = true;
            if (protectionDetail_.empty()) protectionDetail_ = kBlockedExitDetail;
        }
        if (exitCode_ == kGuardRefusedStart || exitCode_ == kEndedAfterFailure || exitCode_ == kEndedForModification ||
            exitCode_ == kEndedAndBlocked) {
            if (exitCode_ == kEndedAndBlocked) fail(texts::kMemoryToolDetected);
            const auto code = s_.channel.guardErrorCode();
            fail(code != 0 ? s_.channel.guardErrorMessage(code) : std::string(texts::kClientRefusedStart));
        }
        if (!readySeen_ && !s_.channel.guardReady() && !s_.stop.load()) fail(texts::kClientEndedBeforeGuard);

        s_.channel.close();
        record("closed", {});
        if (modification_) {
            reportModification(protectionDetail_.empty() ? "guard_exit " + hexCode(exitCode_) : protectionDetail_);
        } else if ((readySeen_ || s_.channel.guardReady()) && !s_.stop.load() && exitCode_ != 0 &&
                   exitCode_ != kStillRunning) {
            postEvent("game_crash", sessionEnd("game_closed", exitCode_));
        }
        game_.reset();
    }

    void reportModification(const std::string& detail) {
        try {
            if (s_.forgetReceipts) s_.forgetReceipts();
        } catch (...) {
            // The receipts' own checks still catch a changed pack.
        }
        postEvent(blocked_ ? "bot_detected" : "code_integrity", cutText(detail, kProtectionDetailLimit));
    }

    // Ends what the session started, then lets the failure carry on as itself (an HttpError keeps
    // its status for the flow); a failure without a message becomes the unknown-failure text.
    [[noreturn]] void failurePath(std::exception_ptr failure) {
        std::string reason;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
        }
        if (reason.empty()) {
            reason = texts::kUnknownStartFailure;
            failure = std::make_exception_ptr(std::runtime_error(reason));
        }
        noteChannelReports();
        if (game_) {
            pid_ = game_->processId();
            game_->terminate(modification_ ? kEndedForModification : kEndedAfterFailure);
            game_->waitForExit(times_.terminateWaitMs);
            exitCode_ = game_->exitCode();
        }
        s_.channel.close();
        record("blocked", reason);
        if (modification_) reportModification(protectionDetail_.empty() ? reason : protectionDetail_);
        game_.reset();
        s_.onGameRunning(false);
        std::rethrow_exception(failure);
    }

    void orderlyEnd() { s_.onGameRunning(false); }

    SessionSupervision& s_;
    const SupervisionTimes& times_;
    std::unique_ptr<GameProcessControl> game_;
    std::uint64_t startTick_ = 0;
    std::uint64_t sequence_ = 0;
    std::uint32_t exitCode_ = kStillRunning;
    std::uint32_t pid_ = 0;
    bool readySeen_ = false;
    bool modification_ = false;
    bool blocked_ = false;
    std::string protectionDetail_;
};

}  // namespace

void superviseGameSession(SessionSupervision& session, const GameStart& startGame) {
    Supervisor(session).run(startGame);
}

}  // namespace nyra
