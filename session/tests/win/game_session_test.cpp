// Whole game sessions under Wine against the stand-in service and the stand-in game published in
// the sample set: the preparation writes the engine folder, the session starts "game.bin", feeds
// its guard through the private pipe, relays its traffic and supervises it to its end. The
// stand-in game's behaviour is chosen through an inherited environment variable and it writes
// what it saw to a result file.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

#include "content/tests/win/temporary_folder.h"
#include "content/win/components.h"
#include "content/win/game_preparation.h"
#include "content/win/primitives.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "core/win/shell_adapters.h"
#include "net/win/winhttp.h"
#include "session/session_texts.h"
#include "session/win/game_process.h"
#include "session/win/game_session.h"
#include "state/protected_diagnostics.h"
#include "state/win/protected_diagnostics.h"

namespace nyra::test {
namespace {

using nlohmann::json;

// Session time ten times faster than real time: heartbeats every 2 s, hang checks from 6 s.
struct FastClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64() * 10; }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms / 10); }
};

struct TestHardware final : HardwareIdentity {
    HardwareId id;
    HardwareId identity() override { return id; }
};

void setVariable(const wchar_t* name, const std::wstring& value) { ::SetEnvironmentVariableW(name, value.c_str()); }

struct SessionRun {
    std::optional<std::string> message;  // nullopt: the session ended orderly
    std::optional<int> httpStatus;       // the failure was an HttpError with this status
    std::vector<bool> running;
    std::vector<std::string> statuses;
    json result;        // the stand-in game's result file (null when it wrote none)
    json outcome;       // the launch outcome record of the protected diagnostics
    std::int64_t gameSessionId = 0;
};

class GameSession : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        folder = freshTemporaryFolder(L"nyra-session-");
        engine = folder / L"engine";
        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        std::uint8_t random[8];
        win::randomBytes(random);
        hardware.id = {toHex(random) + std::string(48, 'a'), "HWID v1"};
        http->login(service->user, service->password, hardware.id.hwid, hardware.id.hwidInfo, false);
        writeWholeFile(folder / L"Launcher.exe", http->exchange("/api/download/launcher", "", "", 134217728));
        resultFile = folder / L"game-result.json";
        setVariable(L"NYRA_STANDIN_GAME_RESULT", resultFile.wstring());
        setVariable(L"NYRA_STANDIN_GAME_SCENARIO", L"");
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(L"NYRA_STANDIN_GAME_SCENARIO", nullptr);
        ::SetEnvironmentVariableW(L"NYRA_STANDIN_GAME_RESULT", nullptr);
        ::SetEnvironmentVariableW(L"NYRA_GUARD_PIPE", nullptr);
        http.reset();
        std::error_code ignored;
        for (int attempt = 0; attempt < 20 && std::filesystem::exists(folder); ++attempt) {
            std::filesystem::remove_all(folder, ignored);  // a game that just ended may still hold its folder
            if (std::filesystem::exists(folder)) ::Sleep(100);
        }
        ServiceTest::TearDown();
    }

    std::int64_t lastGameSessionId() const {
        return service->query("SELECT COALESCE(MAX(id), 0) AS id FROM game_sessions").at(0).at("id").get<std::int64_t>();
    }
    json eventsOf(std::int64_t gameSession) const {
        return service->query("SELECT kind, detail FROM events WHERE game_session_id = " + std::to_string(gameSession) +
                              " ORDER BY id");
    }
    std::vector<std::string> eventKinds(std::int64_t gameSession) const {
        std::vector<std::string> kinds;
        for (const auto& row : eventsOf(gameSession)) kinds.push_back(row.at("kind").get<std::string>());
        return kinds;
    }
    std::vector<std::int64_t> heartbeatsOf(std::int64_t gameSession) const {
        std::vector<std::int64_t> sequences;
        for (const auto& row : service->query("SELECT sequence FROM heartbeats WHERE game_session_id = " +
                                              std::to_string(gameSession) + " ORDER BY id")) {
            sequences.push_back(row.at("sequence").get<std::int64_t>());
        }
        return sequences;
    }
    bool stopped(std::int64_t gameSession) const {
        return !service->query("SELECT stopped_at FROM game_sessions WHERE id = " + std::to_string(gameSession))
                    .at(0)
                    .at("stopped_at")
                    .is_null();
    }

    // Prepares the game folder and runs one session with the stand-in game in `scenario`.
    SessionRun play(const std::string& scenario, Clock* sessionClock = nullptr,
                    std::function<void(std::string_view)> stage = {}) {
        setVariable(L"NYRA_STANDIN_GAME_SCENARIO", std::wstring(scenario.begin(), scenario.end()));
        std::error_code ignored;
        std::filesystem::remove(resultFile, ignored);
        SessionRun run;
        const std::int64_t before = lastGameSessionId();
        GamePreparation preparation(std::make_shared<ProtectedComponents>(engine), nullptr);
        std::atomic<bool> cancel{false};
        const ProgressFn progress = [&](const std::string& text, int) { run.statuses.push_back(text); };
        WindowsGameSession session(hardware, protection, sessionClock ? *sessionClock : clock);
        if (stage) session.onStage(stage);
        try {
            auto prepared = preparation.prepareUntilStable(*http, folder, false, cancel, progress, [](int) {});
            session.runGameSession(*http, folder, std::move(prepared), stop, progress,
                                   [&](bool up) { run.running.push_back(up); });
        } catch (const HttpError& e) {
            run.message = e.what();
            run.httpStatus = e.status;
        } catch (const std::exception& e) {
            run.message = e.what();
        }
        if (lastGameSessionId() > before) run.gameSessionId = lastGameSessionId();
        std::ifstream in(resultFile);
        if (in) run.result = json::parse(in, nullptr, false);
        try {
            run.outcome = readDiagnostic(folder, DiagnosticKind::Launch);
        } catch (const std::exception&) {
        }
        return run;
    }

    SystemClock clock;
    std::unique_ptr<Http> http;
    std::filesystem::path folder;
    std::filesystem::path engine;
    std::filesystem::path resultFile;
    TestHardware hardware;
    NoProtectionModules protection;
    std::atomic<bool> stop{false};
};

TEST_F(GameSession, NormalSessionRunsTheGameThroughTheRelayAndReportsItsEnd) {
    // An old channel's variables in the launcher's environment never reach the game.
    setVariable(L"NYRA_GUARD_PIPE", L"\\\\.\\pipe\\NyraBrasil-stale");
    setVariable(L"NYRA_GUARD_QUIET", L"1");
    FastClock fast;
    EXPECT_FALSE(isGameRunning());
    std::optional<bool> runningOnceStarted;
    const SessionRun run = play("normal,close-after:6000", &fast, [&](std::string_view stage) {
        if (stage == "process") runningOnceStarted = isGameRunning();
    });
    ::SetEnvironmentVariableW(L"NYRA_GUARD_QUIET", nullptr);
    ASSERT_EQ(run.message, std::nullopt) << *run.message;
    EXPECT_EQ(runningOnceStarted, true) << "the started game is seen running";
    EXPECT_EQ(run.running, (std::vector<bool>{true, false}));
    EXPECT_NE(std::find(run.statuses.begin(), run.statuses.end(), texts::kConfirmingVersion), run.statuses.end());

    ASSERT_TRUE(run.result.is_object()) << "the stand-in game wrote no result";
    SCOPED_TRACE(run.result.dump());

    // How the game was started, as the game itself saw it.
    const std::filesystem::path engineFolder = std::filesystem::path(run.result.at("image").get<std::string>()).parent_path();
    EXPECT_EQ(std::filesystem::path(run.result.at("image").get<std::string>()).filename(), "game.bin");
    EXPECT_TRUE(std::filesystem::equivalent(engineFolder, engine));
    EXPECT_EQ(run.result.at("command_line"), "\"" + (engineFolder / "game.bin").string() + "\" Tollwin");
    EXPECT_EQ(run.result.at("arguments_ok"), true);
    EXPECT_EQ(run.result.at("working_folder_is_image_folder"), true);
    const json& environment = run.result.at("environment");
    EXPECT_EQ(environment.at("guard_entries"), (json{"NYRA_GUARD_PIPE", "NYRA_GUARD_SECRET"}));
    EXPECT_EQ(environment.at("pipe_name_ok"), true);
    EXPECT_NE(environment.at("pipe_name"), "\\\\.\\pipe\\NyraBrasil-stale");
    EXPECT_EQ(environment.at("secret_ok"), true);
    const json& process = run.result.at("process");
    EXPECT_EQ(process.at("priority"), "above_normal");
    DWORD_PTR ownMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(::GetProcessAffinityMask(::GetCurrentProcess(), &ownMask, &systemMask));
    char expectedMask[19];
    std::snprintf(expectedMask, sizeof expectedMask, "0x%08llX", static_cast<unsigned long long>(gameAffinity(ownMask)));
    EXPECT_EQ(process.at("affinity_mask"), expectedMask);
    EXPECT_EQ(run.outcome.at("outcome"), "closed");
    EXPECT_EQ(run.outcome.at("guard_ready"), true);
    EXPECT_EQ(run.outcome.at("exit_code"), 0);
    EXPECT_GT(run.outcome.at("pid").get<std::uint32_t>(), 0u);

    ASSERT_GT(run.gameSessionId, 0);
    const auto beats = heartbeatsOf(run.gameSessionId);
    ASSERT_GE(beats.size(), 2u);
    for (std::size_t i = 0; i < beats.size(); ++i) EXPECT_EQ(beats[i], static_cast<std::int64_t>(i + 1));
    EXPECT_TRUE(stopped(run.gameSessionId));
    EXPECT_TRUE(eventKinds(run.gameSessionId).empty());
    EXPECT_FALSE(isGameRunning());
}


TEST_F(GameSession, EachMisbehaviourEndsWithItsMessageEventAndOutcome) {
    const std::string channelCode = "O canal de protecao do jogo foi interrompido (codigo ";
    const std::string channelTail = "). Tente novamente; se persistir, contate o suporte.";
    struct Case {
        const char* scenario;
        std::optional<std::string> message;
        std::vector<std::string> events;
        std::string detailPrefix;  // of the first event
        std::string outcome;
        std::optional<std::uint32_t> exitCode;
    } cases[] = {
        {"crash,after:300", std::nullopt, {"game_crash"}, "game_closed exit=0xC0000005 (access_violation) t=", "closed",
         0xC0000005u},
        {"exit:0xE004,after:300", texts::kMemoryToolDetected, {"bot_detected"}, "", "blocked", 0xE004u},
        {"exit:0xE001,after:300", texts::kClientRefusedStart, {}, "", "blocked", 0xE001u},
        {"exit:0xE003,after:300", texts::kClientRefusedStart, {"code_integrity"}, texts::kClientRefusedStart, "blocked",
         0xE003u},
        {"close-pipe,after:300", channelCode + "4" + channelTail, {}, "", "blocked", 0xE002u},
        {"error:2", "O Guard recusou a assinatura ou a integridade dos binarios. Use Verificar arquivos.", {}, "",
         "blocked", std::nullopt},
        {"s-before-l", channelCode + "11" + channelTail, {}, "", "blocked", std::nullopt},
        {"long-notice,after:300", channelCode + "9" + channelTail, {}, "", "blocked", 0xE002u},
        {"modified,after:300", texts::kModificationDetected, {"code_integrity"}, texts::kModificationDetected, "blocked",
         std::nullopt},
        {"blocked,after:300", texts::kAutomationDetected, {"bot_detected"}, texts::kAutomationDetected, "blocked",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const SessionRun run = play(c.scenario);
        EXPECT_EQ(run.message, c.message);
        ASSERT_GT(run.gameSessionId, 0);
        EXPECT_EQ(eventKinds(run.gameSessionId), c.events);
        if (!c.detailPrefix.empty() && !c.events.empty()) {
            const auto detail = eventsOf(run.gameSessionId).at(0).at("detail").get<std::string>();
            EXPECT_EQ(detail.rfind(c.detailPrefix, 0), 0u) << detail;
        }
        ASSERT_TRUE(run.outcome.is_object());
        EXPECT_EQ(run.outcome.at("outcome"), c.outcome);
        if (c.message) {
            EXPECT_EQ(run.outcome.at("reason"), *c.message);
        }
        if (c.exitCode) {
            EXPECT_EQ(run.outcome.at("exit_code"), *c.exitCode);
        }
        EXPECT_TRUE(stopped(run.gameSessionId));
        EXPECT_FALSE(run.running.empty());
        if (!run.running.empty()) {
            EXPECT_FALSE(run.running.back());
        }
        EXPECT_FALSE(isGameRunning());
    }
}

TEST_F(GameSession, HeartbeatFailuresEndTheSessionAsThemselves) {
    struct Case {
        const char* name;
        json fault;
        std::string message;
        std::optional<int> httpStatus;  // the flow signs the player out on a 401
    } cases[] = {
        {"refused with 401", {{"target", "heartbeat"}, {"kind", "status"}, {"status", 401}, {"always", true}},
         "", 401},
        {"an answer that does not decode", {{"target", "heartbeat"}, {"kind", "truncate"}, {"bytes", 3}, {"always", true}},
         texts::kBadHeartbeatAnswer, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->fault(c.fault);
        FastClock fast;
        const SessionRun run = play("normal,close-after:60000", &fast);
        service->request("DELETE", "/faults");
        ASSERT_TRUE(run.message.has_value());
        if (!c.message.empty()) {
            EXPECT_EQ(*run.message, c.message);
        }
        EXPECT_EQ(run.httpStatus, c.httpStatus);
        // The first heartbeat ended it: no retries until the connection-loss limit.
        ASSERT_TRUE(run.outcome.is_object());
        EXPECT_EQ(run.outcome.at("outcome"), "blocked");
        EXPECT_LT(run.outcome.at("elapsed_ms").get<std::uint64_t>(), 75'000u);
        EXPECT_EQ(run.outcome.at("exit_code"), 0xE002u);
        EXPECT_FALSE(isGameRunning());
    }
}

TEST_F(GameSession, AFailureRightAfterTheGameStartsLeavesNoGameRunning) {
    const SessionRun run = play("normal,close-after:60000", nullptr, [](std::string_view stage) {
        if (stage == "process") throw std::runtime_error("Canal do jogo indisponivel.");
    });
    EXPECT_EQ(run.message, "Canal do jogo indisponivel.");
    ASSERT_TRUE(run.outcome.is_object());
    EXPECT_EQ(run.outcome.at("outcome"), "blocked");
    EXPECT_EQ(run.outcome.at("exit_code"), 0xE002u);
    EXPECT_GT(run.outcome.at("pid").get<std::uint32_t>(), 0u);
    const bool left = isGameRunning();
    EXPECT_FALSE(left) << "a game was left running with nobody watching it";
    if (left && run.result.contains("pid")) {  // leave nothing behind for the next case
        const win::UniqueHandle game(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, run.result.at("pid").get<DWORD>()));
        if (game) {
            ::TerminateProcess(game.get(), 1);
            ::WaitForSingleObject(game.get(), 10000);
        }
    }
    EXPECT_TRUE(stopped(run.gameSessionId));
}

TEST_F(GameSession, GuardNoticesBecomeEventsAndTheSessionGoesOn) {
    const SessionRun run = play("notices,after:200,close-after:3000");
    EXPECT_EQ(run.message, std::nullopt);
    // At most 20 wait in the channel; the session drains them every 200 ms, so the 21st is dropped
    // only when all arrive between two drains (the native channel tests pin that rule).
    const auto kinds = eventKinds(run.gameSessionId);
    EXPECT_GE(kinds.size(), 20u);
    EXPECT_LE(kinds.size(), 21u);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "foreign_module"), static_cast<std::ptrdiff_t>(kinds.size()));
    EXPECT_EQ(run.outcome.at("outcome"), "closed");
}

TEST_F(GameSession, AGuardThatNeverConnectsEndsTheChannelAfterTwentySeconds) {
    const SessionRun run = play("never-connect");
    EXPECT_EQ(run.message,
              "O canal de protecao do jogo foi interrompido (codigo 1). Tente novamente; se persistir, contate o suporte.");
    EXPECT_EQ(run.outcome.at("channel_failure"), 1);
    EXPECT_EQ(run.outcome.at("exit_code"), 0xE002u);
    EXPECT_EQ(run.running, std::vector<bool>{false});
}

TEST_F(GameSession, RefusalsBeforeTheGameStartsLeaveNothingRunning) {
    const auto member = [](const char* target, const char* name, json value) {
        return json{{"target", target}, {"kind", "answer-member"}, {"name", name}, {"json", std::move(value)}};
    };
    struct Case {
        const char* name;
        json fault;
        std::string message;
        bool started;  // the start call succeeded, so the stop call is owed
    } cases[] = {
        {"a new package set on the server", member("package-policy", "index_sha256", std::string(64, '0')),
         texts::kNewUpdateOnServer, false},
        // Members of another type give the session's messages, never the JSON library's texts.
        {"a package id that is no text", member("package-policy", "package_id", 5), texts::kNewUpdateOnServer, false},
        {"another transport", member("start", "transport", "plain-tcp"), texts::kNoSecureRoute, true},
        {"a transport that is no text", member("start", "transport", 5), texts::kNoSecureRoute, true},
        {"a news ticket that is no text", member("news-ticket", "ticket", 5), texts::kBadServerAnswer, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t before = lastGameSessionId();
        // The preparation reads the policy too: the fault applies to the session's own read only.
        GamePreparation preparation(std::make_shared<ProtectedComponents>(engine), nullptr);
        std::atomic<bool> cancel{false};
        auto prepared = preparation.prepareUntilStable(*http, folder, false, cancel, {}, [](int) {});
        service->fault(c.fault);
        WindowsGameSession session(hardware, protection, clock);
        std::optional<std::string> message;
        std::vector<bool> running;
        try {
            session.runGameSession(*http, folder, std::move(prepared), stop, {}, [&](bool up) { running.push_back(up); });
        } catch (const std::exception& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(running.empty());
        EXPECT_FALSE(std::filesystem::exists(resultFile)) << "the game was started";
        EXPECT_EQ(lastGameSessionId() > before, c.started);
        if (c.started) {
            EXPECT_TRUE(stopped(lastGameSessionId()));
        }
        service->request("DELETE", "/faults");
    }
}

TEST_F(GameSession, TheMultiClientLimitRefusesAGameBeyondIt) {
    // Two games of this machine already hold the two slots the service allows.
    std::vector<win::UniqueHandle> held;
    for (int i = 0; i < 2; ++i) {
        const std::wstring name = L"Global\\NyraBrasil_MC_" +
                                  std::wstring(hardware.id.hwid.begin(), hardware.id.hwid.begin() + 16) + L"_" +
                                  std::to_wstring(i);
        held.emplace_back(::CreateMutexW(nullptr, TRUE, name.c_str()));
    }
    const SessionRun run = play("normal,close-after:1000");
    EXPECT_EQ(run.message, texts::kClientLimitReached);
    EXPECT_TRUE(run.result.is_null()) << "the game was started";
    ASSERT_GT(run.gameSessionId, 0);
    EXPECT_TRUE(stopped(run.gameSessionId));
    held.clear();
    const SessionRun next = play("normal,close-after:1000");
    EXPECT_EQ(next.message, std::nullopt);
}

}  // namespace
}  // namespace nyra::test
