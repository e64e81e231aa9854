// NyraGuard.dll of the stand-in game: the protection component's side of the launcher's private
// pipe. It proves itself with the secret from its environment, takes the key material, the
// translation bundle and the login in the launcher's order, reports ready, keeps the channel alive
// and, when the scenario asks, misbehaves the way tests need (tools/game/README.md).
#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/json_limits.h"
#include "core/text.h"
#include "platform/win/handles.h"
#include "tools/game/guard_protocol.h"
#include "tools/game/scenario.h"
#include "tools/game/win/guard_api.h"
#include "tools/game/win/pipe_client.h"

namespace nyra::standin {
namespace {

using nlohmann::json;

constexpr DWORD kConnectWaitMs = 15000;
constexpr DWORD kAnswerTimeoutMs = 10000;
constexpr DWORD kBundleChunkTimeoutMs = 60000;
constexpr std::size_t kRevisionsKept = 50;
constexpr std::size_t kCommandsKept = 4096;
// The guard's refusals, as the launcher reads them (its table of guard error codes).
constexpr std::uint32_t kCatalogRefused = 3;
constexpr std::uint32_t kLoginRefused = 4;

std::wstring environmentValue(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

class Guard {
public:
    Guard(const NyraGuardHost& host, Scenario scenario)
        : host_(host), scenario_(scenario), stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!stop_) throw std::runtime_error(systemFailure("creating the guard's stop event", ::GetLastError()));
    }
    ~Guard() { stop(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    void start() { thread_ = std::thread([this] { run(); }); }

    void stop() noexcept {
        ::SetEvent(stop_.get());
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() noexcept {
        try {
            report({{"state", "starting"}, {"scenario", scenario_.describe()}});
            handshake();
        } catch (const GuardStopped&) {
            report({{"stopped", true}});
        } catch (const std::exception& error) {
            pipe_.close();
            report({{"state", "channel-broken"}, {"error", error.what()}});
        }
        pipe_.close();
    }

    void handshake() {
        const std::wstring pipeName = environmentValue(L"NYRA_GUARD_PIPE");
        std::wstring secret = environmentValue(L"NYRA_GUARD_SECRET");
        // Nothing this process starts later inherits the secret.
        ::SetEnvironmentVariableW(L"NYRA_GUARD_SECRET", nullptr);
        if (pipeName.empty() || secret.empty()) {
            wipe(secret);
            report({{"state", "no-channel"}, {"error", "NYRA_GUARD_PIPE or NYRA_GUARD_SECRET is missing"}});
            return;
        }
        if (scenario_.action == Action::NeverConnect) {
            wipe(secret);
            report({{"state", "not-connecting"}});
            idle();
        }
        pipe_ = PipeClient::connect(pipeName, stop_.get(), kConnectWaitMs);
        report({{"state", "connected"}});

        // The secret is ASCII hex; a character beyond it is sent as '?' and fails the comparison.
        SecretBytes proof;
        for (const wchar_t c : secret) proof.push_back(c < 0x80 ? static_cast<std::uint8_t>(c) : std::uint8_t{'?'});
        wipe(secret);
        pipe_.write(proof, kAnswerTimeoutMs, "sending the secret");
        report({{"secret_sent", true}, {"secret_length", proof.size()}});
        proof.clear();

        if (scenario_.action == Action::GuardError) {
            send(errorFrame(scenario_.code), "sending 'E'");
            report({{"state", "refused"}, {"error_code", scenario_.code}});
            idle();
        }

        command('K');
        SecretBytes material(kKeyMaterialLength);
        pipe_.read(material, kAnswerTimeoutMs, "reading the key material of 'K'");
        const bool allZero = std::all_of(material.begin(), material.end(), [](std::uint8_t b) { return b == 0; });
        report({{"key_material_bytes", material.size()}, {"key_material_all_zero", allZero}});
        material.clear();

        if (scenario_.action == Action::SessionBeforeBundle) {
            command('S');
            report({{"state", "protocol-violated"}, {"violation", "'S' before 'L'"}});
            std::array<std::uint8_t, 4> length{};
            pipe_.read(length, kAnswerTimeoutMs, "reading the answer to 'S' before 'L'");
            report({{"violation_answered", true}});
            idle();
        }

        command('L');
        const std::uint32_t bundleLength = readLength("reading the length of 'L'");
        report({{"bundle", {{"announced", bundleLength}}}});
        if (scenario_.action == Action::StallBundle) {
            report({{"state", "stalled"}});
            idle();
        }
        if (bundleLength > kBundleLimit) {
            throw std::runtime_error("'L' announced " + std::to_string(bundleLength) + " bytes; at most " +
                                     std::to_string(kBundleLimit) + " are accepted");
        }
        std::vector<std::uint8_t> bundle(bundleLength);
        pipe_.read(bundle, kBundleChunkTimeoutMs, "reading the bundle of 'L'");
        const BundleCheck bundleCheck = checkBundle(bundle);
        bundleBytes_ = bundle.size();
        report({{"bundle",
                 {{"bytes", bundle.size()},
                  {"valid", bundleCheck.valid},
                  {"entries", bundleCheck.entries},
                  {"problem", bundleCheck.problem}}}});
        if (!bundleCheck.valid) refuse(kCatalogRefused, "the translation bundle is malformed: " + bundleCheck.problem);

        command('S');
        const std::uint32_t sessionLength = readLength("reading the length of 'S'");
        if (sessionLength > kSessionLimit) {
            throw std::runtime_error("'S' announced " + std::to_string(sessionLength) + " bytes; at most " +
                                     std::to_string(kSessionLimit) + " are accepted");
        }
        SecretBytes session(sessionLength);
        pipe_.read(session, kAnswerTimeoutMs, "reading the login of 'S'");
        const LoginCheck login = checkLogin(session);
        session.clear();
        json loginReport = login.summary;
        loginReport["bytes"] = sessionLength;
        loginReport["valid"] = login.valid;
        report({{"login", loginReport}});
        if (!login.valid) refuse(kLoginRefused, "the login is unusable");

        command('R');
        const ULONGLONG readyAt = ::GetTickCount64();
        report({{"state", "ready"}, {"ready", true}});
        host_.ready(host_.context, login.ports.data());

        // The direct-read statistics: one open, the bundle's bytes.
        send(statisticsFrame(1, bundleBytes_), "sending 'V'");
        report({{"statistics_sent", true}});
        if (scenario_.itemMallRequests) requestItemMall();
        keepAlive(readyAt);
    }

    // Keep-alives every `keepAliveMs` ('G' and 'X' in turn), and the scenario's action when due.
    void keepAlive(ULONGLONG readyAt) {
        const ULONGLONG actionAt = readyAt + scenario_.afterMs;
        bool actionDone = !actsAfterReady();
        ULONGLONG nextKeepAlive = readyAt + scenario_.keepAliveMs;
        std::uint64_t sent = 0;
        while (true) {
            const ULONGLONG now = ::GetTickCount64();
            const ULONGLONG next = actionDone ? nextKeepAlive : std::min(nextKeepAlive, actionAt);
            if (next > now && ::WaitForSingleObject(stop_.get(), static_cast<DWORD>(next - now)) == WAIT_OBJECT_0) {
                throw GuardStopped();
            }
            if (!actionDone && ::GetTickCount64() >= actionAt) {
                actionDone = true;
                act();
            }
            if (::GetTickCount64() >= nextKeepAlive) {
                if (sent % 2 == 0) {
                    command('G');
                    std::array<std::uint8_t, 1> answer{};
                    pipe_.read(answer, kAnswerTimeoutMs, "reading the answer to 'G'");
                    if (answer[0] != 1) ++unexpectedAnswers_;
                } else {
                    send(keepAliveFrame(sent, ::GetTickCount64() - readyAt), "sending 'X'");
                }
                ++sent;
                json patch{{"keepalives", sent}};
                if (unexpectedAnswers_ > 0) patch["unexpected_g_answers"] = unexpectedAnswers_;
                report(patch);
                if (scenario_.itemMallRequests) requestItemMall();
                nextKeepAlive += scenario_.keepAliveMs;
            }
        }
    }

    bool actsAfterReady() const {
        switch (scenario_.action) {
        case Action::Exit:
        case Action::ClosePipe:
        case Action::LongNotice:
        case Action::Notices:
        case Action::Modification:
        case Action::Blocked:
            return true;
        default:
            return false;  // crash and hang belong to the game; the guard keeps going
        }
    }

    void act() {
        switch (scenario_.action) {
        case Action::Exit:
            report({{"state", "ending-game"}, {"exit_code", scenario_.code}});
            host_.endGame(host_.context, scenario_.code);
            break;
        case Action::ClosePipe:
            pipe_.close();
            report({{"state", "closed-pipe"}});
            idle();
        case Action::LongNotice: {
            std::string text = "modulo desconhecido carregado: C:\\Users\\jogador\\AppData\\Local\\Temp\\";
            text.resize(kLongNoticeBytes, 'x');
            send(noticeFrame(text), "sending a 301-byte 'M'");
            report({{"notices_sent", 1}, {"notice_bytes", text.size()}});
            break;
        }
        case Action::Notices:
            for (std::uint32_t n = 1; n <= scenario_.code; ++n) {
                const std::string text = "modulo desconhecido carregado: C:\\Temp\\hook_" + std::to_string(n) + ".dll";
                send(noticeFrame(text), "sending 'M'");
            }
            report({{"notices_sent", scenario_.code}});
            break;
        case Action::Modification:
            command('I');
            report({{"state", "reported-modification"}});
            idle();
        case Action::Blocked:
            command('B');
            report({{"state", "reported-blocked"}});
            idle();
        default:
            break;
        }
    }

    void requestItemMall() {
        command('T');
        const std::uint32_t length = readLength("reading the length of 'T'");
        if (length > kItemMallLimit) {
            throw std::runtime_error("'T' announced " + std::to_string(length) + " bytes; at most " +
                                     std::to_string(kItemMallLimit) + " are accepted");
        }
        std::string text(length, '\0');
        pipe_.read({reinterpret_cast<std::uint8_t*>(text.data()), text.size()}, kAnswerTimeoutMs,
                   "reading the text of 'T'");
        ++itemMallRequests_;
        json last = jsonNestingExcess(text) ? json(nullptr) : json::parse(text, nullptr, false);
        json mall{{"requests", itemMallRequests_}, {"bytes", length}};
        if (last.is_discarded() || last.is_null()) {
            mall["problem"] = "not JSON";
        } else {
            mall["last"] = last;
            if (last.is_object() && last.contains("revision") && revisions_.size() < kRevisionsKept &&
                (revisions_.empty() || revisions_.back() != last.at("revision"))) {
                revisions_.push_back(last.at("revision"));
            }
            mall["revisions"] = revisions_;
        }
        report({{"item_mall", mall}});
    }

    // Sends 'E' with `code`, reports why, and waits for the end.
    [[noreturn]] void refuse(std::uint32_t code, const std::string& why) {
        send(errorFrame(code), "sending 'E'");
        report({{"state", "refused"}, {"error_code", code}, {"refusal", why}});
        idle();
    }

    // Keeps the pipe as it is until the guard is stopped (the launcher ends the channel).
    [[noreturn]] void idle() {
        ::WaitForSingleObject(stop_.get(), INFINITE);
        throw GuardStopped();
    }

    void command(char byte) {
        const std::array<std::uint8_t, 1> frame{static_cast<std::uint8_t>(byte)};
        pipe_.write(frame, kAnswerTimeoutMs, std::string("sending '") + byte + "'");
        noteCommand(byte);
    }

    void send(const std::vector<std::uint8_t>& frame, const std::string& what) {
        pipe_.write(frame, kAnswerTimeoutMs, what);
        noteCommand(static_cast<char>(frame.front()));
    }

    // The record keeps the first commands of a long session; the count goes on.
    void noteCommand(char byte) {
        ++commandCount_;
        if (commands_.size() < kCommandsKept) commands_ += byte;
        report({{"commands", commands_}, {"command_count", commandCount_}});
    }

    std::uint32_t readLength(const std::string& what) {
        std::array<std::uint8_t, 4> length{};
        pipe_.read(length, kAnswerTimeoutMs, what);
        return readUint32(length);
    }

    void report(const json& patch) noexcept {
        try {
            host_.report(host_.context, patch.dump().c_str());
        } catch (...) {
            // The record is the game's; a guard never fails because of it.
        }
    }

    NyraGuardHost host_;
    Scenario scenario_;
    win::UniqueHandle stop_;
    PipeClient pipe_;
    std::thread thread_;
    std::string commands_;  // the command bytes sent, in order (the first kCommandsKept)
    std::uint64_t commandCount_ = 0;
    std::uint64_t bundleBytes_ = 0;
    std::uint64_t itemMallRequests_ = 0;
    std::uint64_t unexpectedAnswers_ = 0;
    json revisions_ = json::array();
};

std::mutex guardMutex;
std::unique_ptr<Guard> runningGuard;

}  // namespace
}  // namespace nyra::standin

extern "C" __declspec(dllexport) int NyraGuardStart(const NyraGuardHost* host, const char* scenario) {
    using namespace nyra::standin;
    if (host == nullptr || host->size < sizeof(NyraGuardHost) || host->report == nullptr || host->ready == nullptr ||
        host->endGame == nullptr) {
        return 2;
    }
    try {
        std::lock_guard lock(guardMutex);
        if (runningGuard) return 3;
        auto guard = std::make_unique<Guard>(*host, parseScenario(scenario == nullptr ? "" : scenario));
        guard->start();
        runningGuard = std::move(guard);
        return 0;
    } catch (...) {
        return 1;
    }
}

extern "C" __declspec(dllexport) void NyraGuardStop() {
    using namespace nyra::standin;
    std::unique_ptr<Guard> guard;
    {
        std::lock_guard lock(guardMutex);
        guard = std::move(runningGuard);
    }
    guard.reset();  // stops and joins outside the lock
}
