// The supervision of a running game on a clock that moves only while the fake game is waited for:
// heartbeats and their loss limit, hang checks, channel endings, exit codes, the failure path.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "core/http_error.h"
#include "session/session_texts.h"
#include "session/supervision.h"

namespace nyra {
namespace {

class StepClock final : public Clock {
public:
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
    std::uint64_t now = 1'000'000;
};

struct World;

class FakeGame final : public GameProcessControl {
public:
    explicit FakeGame(World& world) : world_(world) {}
    std::uint32_t processId() const override { return 4242; }
    bool waitForExit(std::uint32_t ms) override;
    std::uint32_t exitCode() override;
    bool isHung() override;
    void terminate(std::uint32_t code) noexcept override;

private:
    World& world_;
};

class FakeChannel final : public GuardChannelView {
public:
    bool done() const override { return done_; }
    std::int32_t resultCode() const override { return result; }
    std::int32_t guardErrorCode() const override { return guardError; }
    bool modificationReported() const override { return modification; }
    bool blockedReported() const override { return blocked; }
    bool guardReady() const override { return ready; }
    std::string guardErrorMessage(std::int32_t code) const override { return "guard says " + std::to_string(code); }
    std::vector<std::string> takeNotices() override { return std::exchange(notices, {}); }
    void setItemMall(std::string text) override { itemMall = std::move(text); }
    void close() noexcept override { ++closes; }

    void end(std::int32_t code) {
        done_ = true;
        result = code;
    }

    bool done_ = false;
    std::int32_t result = 0;
    std::int32_t guardError = 0;
    bool modification = false;
    bool blocked = false;
    bool ready = false;
    std::vector<std::string> notices;
    std::string itemMall;
    int closes = 0;
};

class FakeBackend final : public SessionBackend {
public:
    nlohmann::json heartbeat(std::uint64_t sequence) override {
        heartbeats.push_back({sequence, *nowMs});
        if (answer) return answer(sequence);
        return {{"sequence", sequence}, {"itemmall", {{"coins", sequence}}}};
    }
    void event(const std::string& kind, const std::string& detail) override {
        events.push_back({kind, detail});
        if (failEvents) throw std::runtime_error("offline");
    }

    const std::uint64_t* nowMs = nullptr;
    std::function<nlohmann::json(std::uint64_t)> answer;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> heartbeats;  // sequence, time
    std::vector<std::pair<std::string, std::string>> events;
    bool failEvents = false;
};

// The game, the channel and the backend on one timeline. `script` runs after every step of the
// clock with the time since the loop started, so a test changes the world at chosen moments.
struct World {
    StepClock clock;
    std::atomic<bool> stop{false};
    FakeChannel channel;
    FakeBackend backend;
    NoProtectionModules protection;
    std::uint64_t startedAt = clock.now;
    std::optional<std::uint64_t> exitAtMs;  // since start
    std::uint32_t exitCodeValue = 0;
    std::function<bool(std::uint64_t)> hung = [](std::uint64_t) { return false; };
    std::function<void(std::uint64_t)> script = [](std::uint64_t) {};
    std::optional<std::uint32_t> terminatedWith;
    bool relayBroken = false;
    std::vector<bool> running;
    std::vector<nlohmann::json> outcomes;
    int receiptsForgotten = 0;

    std::uint64_t sinceStart() const { return clock.now - startedAt; }

    SessionSupervision session() {
        backend.nowMs = &clock.now;
        return SessionSupervision{clock,
                                  stop,
                                  channel,
                                  backend,
                                  protection,
                                  [this] { return relayBroken; },
                                  [this](bool up) { running.push_back(up); },
                                  [this](const nlohmann::json& record) { outcomes.push_back(record); },
                                  [this] { ++receiptsForgotten; },
                                  [] { return std::string("win=19045 ram=8MB"); },
                                  "pkg-1"};
    }

    enum class Start { Normal, FailsBeforeTheProcess, FailsAfterTheProcess };

    // Runs the session; the message of its failure, or nullopt when it ended orderly. The status
    // of a failure that is an HttpError goes to `httpStatus`.
    std::optional<std::string> run(Start start = Start::Normal) {
        auto s = session();
        try {
            superviseGameSession(s, [&](std::unique_ptr<GameProcessControl>& game) {
                if (start == Start::FailsBeforeTheProcess) throw std::runtime_error(texts::kCannotStartClient);
                game = std::make_unique<FakeGame>(*this);
                if (start == Start::FailsAfterTheProcess) throw std::runtime_error("Canal do jogo indisponivel.");
            });
        } catch (const HttpError& e) {
            httpStatus = e.status;
            return std::string(e.what());
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::nullopt;
    }
    std::optional<int> httpStatus;

    std::vector<std::uint64_t> heartbeatSeconds() const {
        std::vector<std::uint64_t> seconds;
        for (const auto& [sequence, at] : backend.heartbeats) seconds.push_back((at - startedAt) / 1000);
        return seconds;
    }

    std::vector<std::string> eventKinds() const {
        std::vector<std::string> kinds;
        for (const auto& [kind, detail] : backend.events) kinds.push_back(kind);
        return kinds;
    }
};

bool FakeGame::waitForExit(std::uint32_t ms) {
    const std::uint64_t until = world_.sinceStart() + ms;
    if (world_.exitAtMs && *world_.exitAtMs <= until) {
        world_.clock.now = world_.startedAt + std::max(*world_.exitAtMs, world_.sinceStart());
        world_.script(world_.sinceStart());
        return true;
    }
    world_.clock.now = world_.startedAt + until;
    world_.script(world_.sinceStart());
    return false;
}
std::uint32_t FakeGame::exitCode() {
    return world_.exitAtMs && *world_.exitAtMs <= world_.sinceStart() ? world_.exitCodeValue : 259u;
}
bool FakeGame::isHung() { return world_.hung(world_.sinceStart()); }
void FakeGame::terminate(std::uint32_t code) noexcept {
    if (world_.exitAtMs && *world_.exitAtMs <= world_.sinceStart()) return;
    world_.terminatedWith = code;
    world_.exitAtMs = world_.sinceStart();
    world_.exitCodeValue = code;
}

// A guard that becomes ready at 1 s and a game that exits with `code` at `exitAt`.
void readyThenExit(World& world, std::uint64_t exitAt, std::uint32_t code) {
    world.exitAtMs = exitAt;
    world.exitCodeValue = code;
    world.script = [&world](std::uint64_t t) {
        if (t >= 1000) world.channel.ready = true;
    };
}

TEST(SessionSupervision, NormalSessionHeartbeatsHidesAndShowsAndRecordsClosed) {
    World world;
    readyThenExit(world, 50'000, 0);
    EXPECT_EQ(world.run(), std::nullopt);

    EXPECT_EQ(world.running, (std::vector<bool>{true, false}));
    ASSERT_EQ(world.backend.heartbeats.size(), 2u);
    EXPECT_EQ(world.backend.heartbeats[0].first, 1u);
    EXPECT_EQ(world.backend.heartbeats[1].first, 2u);
    EXPECT_EQ(world.backend.heartbeats[1].second - world.backend.heartbeats[0].second, 20'000u);
    EXPECT_EQ(world.channel.itemMall, R"({"coins":2})");
    EXPECT_TRUE(world.backend.events.empty());
    EXPECT_EQ(world.terminatedWith, std::nullopt);
    EXPECT_GE(world.channel.closes, 1);
    ASSERT_EQ(world.outcomes.size(), 2u);
    EXPECT_EQ(world.outcomes[0].at("outcome"), "starting");
    EXPECT_EQ(world.outcomes[0].at("pid"), 0);
    EXPECT_EQ(world.outcomes[0].at("exit_code"), 259);
    const auto& closed = world.outcomes[1];
    EXPECT_EQ(closed.at("outcome"), "closed");
    EXPECT_EQ(closed.at("package_id"), "pkg-1");
    EXPECT_EQ(closed.at("guard_ready"), true);
    EXPECT_EQ(closed.at("exit_code"), 0);
    EXPECT_EQ(closed.at("pid"), 4242);
    EXPECT_EQ(closed.at("elapsed_ms"), 50'000);
    EXPECT_EQ(closed.at("reason"), "");
}

TEST(SessionSupervision, BackendLossRetriesEveryFiveSecondsThenFailsAtSeventyFive) {
    World world;
    readyThenExit(world, 10'000'000, 0);
    world.backend.answer = [](std::uint64_t) -> nlohmann::json { throw std::runtime_error("transport"); };
    EXPECT_EQ(world.run(), texts::kServerLostTooLong);

    EXPECT_EQ(world.heartbeatSeconds(), (std::vector<std::uint64_t>{20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75}));
    EXPECT_EQ(world.terminatedWith, 0xE002u);
    EXPECT_EQ(world.outcomes.back().at("outcome"), "blocked");
    EXPECT_EQ(world.outcomes.back().at("reason"), texts::kServerLostTooLong);
    EXPECT_EQ(world.running.back(), false);
}

TEST(SessionSupervision, HeartbeatAnswersDecideBetweenRetryAndFailure) {
    struct Case {
        const char* name;
        std::function<nlohmann::json(std::uint64_t)> answer;
        std::optional<std::string> message;  // nullopt: the session goes on to its orderly end
        std::optional<int> httpStatus;       // the failure carries on as this HttpError
        std::vector<std::uint64_t> heartbeatSeconds;
    } cases[] = {
        // A refusal ends the session as itself: the flow signs the player out on its 401.
        {"401 fails at once as itself",
         [](std::uint64_t) -> nlohmann::json { throw HttpError("Sessao expirada.", 401); }, "Sessao expirada.", 401,
         {20}},
        {"409 fails too", [](std::uint64_t) -> nlohmann::json { throw HttpError("Conflito.", 409); }, "Conflito.", 409,
         {20}},
        {"503 once is retried 5 s later",
         [n = 0](std::uint64_t s) mutable -> nlohmann::json {
             if (n++ == 0) throw HttpError("Servidor ocupado.", 503);
             return {{"sequence", s}};
         },
         std::nullopt, std::nullopt, {20, 25, 45}},
        {"429 once is retried 5 s later",
         [n = 0](std::uint64_t s) mutable -> nlohmann::json {
             if (n++ == 0) throw HttpError("Muitas.", 429);
             return {{"sequence", s}};
         },
         std::nullopt, std::nullopt, {20, 25, 45}},
        {"another sequence", [](std::uint64_t s) -> nlohmann::json { return {{"sequence", s + 1}}; },
         texts::kBadHeartbeatAnswer, std::nullopt, {20}},
        {"sequence as text", [](std::uint64_t) -> nlohmann::json { return {{"sequence", "1"}}; },
         texts::kBadHeartbeatAnswer, std::nullopt, {20}},
        {"no sequence", [](std::uint64_t) -> nlohmann::json { return nlohmann::json::object(); },
         texts::kBadHeartbeatAnswer, std::nullopt, {20}},
        {"an array", [](std::uint64_t) -> nlohmann::json { return nlohmann::json::array({1}); },
         texts::kBadHeartbeatAnswer, std::nullopt, {20}},
        // Answered, but nothing readable: not a transport failure to retry for 75 s.
        {"an answer that does not decode",
         [](std::uint64_t) -> nlohmann::json { return nlohmann::json::parse(R"({"sequence":)"); },
         texts::kBadHeartbeatAnswer, std::nullopt, {20}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        readyThenExit(world, 50'000, 0);
        world.backend.answer = c.answer;
        EXPECT_EQ(world.run(), c.message);
        EXPECT_EQ(world.httpStatus, c.httpStatus);
        EXPECT_EQ(world.heartbeatSeconds(), c.heartbeatSeconds);
        if (c.message) {
            EXPECT_EQ(world.terminatedWith, 0xE002u);  // the failure path ran first
            EXPECT_EQ(world.outcomes.back().at("reason"), *c.message);
        }
    }
}

TEST(SessionSupervision, ItemMallOfEachHeartbeatUpToItsLimit) {
    // {"b":"…"} is 8 characters around the text.
    const std::string atLimit = R"({"b":")" + std::string(65'536 - 8, 'x') + R"("})";
    struct Case {
        const char* name;
        nlohmann::json itemMall;  // null: no member
        std::string handedToGuard;
    } cases[] = {
        {"65,536 bytes are handed over", nlohmann::json::parse(atLimit), atLimit},
        {"65,537 bytes are not", {{"b", std::string(65'536 - 7, 'x')}}, "before"},
        {"no member is the empty object", nullptr, "{}"},
        {"a text is not an object", "text", "{}"},
        {"an array is not an object", nlohmann::json::array({1, 2}), "{}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        readyThenExit(world, 21'000, 0);
        world.channel.itemMall = "before";
        world.backend.answer = [&](std::uint64_t s) -> nlohmann::json {
            nlohmann::json answer{{"sequence", s}};
            if (!c.itemMall.is_null()) answer["itemmall"] = c.itemMall;
            return answer;
        };
        EXPECT_EQ(world.run(), std::nullopt);
        EXPECT_EQ(world.channel.itemMall, c.handedToGuard);
    }
}

TEST(SessionSupervision, NinthConsecutiveHungCheckReportsOnceAndAResponseRestartsTheCount) {
    {
        World world;
        readyThenExit(world, 200'000, 0);
        world.hung = [](std::uint64_t) { return true; };
        EXPECT_EQ(world.run(), std::nullopt);
        ASSERT_EQ(world.eventKinds(), std::vector<std::string>{"game_hang"});
        EXPECT_EQ(world.backend.events[0].second.rfind("not_responding_45s t=100s ch=0 v=5.5.27 | win=", 0), 0u)
            << world.backend.events[0].second;
    }
    {
        World world;
        readyThenExit(world, 200'000, 0);
        // Responds once at 95 s: the count starts again and reaches nine at 140 s.
        world.hung = [](std::uint64_t t) { return t < 95'000 || t >= 100'000; };
        EXPECT_EQ(world.run(), std::nullopt);
        ASSERT_EQ(world.eventKinds(), std::vector<std::string>{"game_hang"});
        EXPECT_NE(world.backend.events[0].second.find(" t=140s "), std::string::npos);
    }
}

TEST(SessionSupervision, ExitCodesDecideTheMessageAndTheEvents) {
    struct Case {
        const char* name;
        std::uint32_t exitCode;
        std::int32_t guardError;
        std::optional<std::string> message;
        std::vector<std::string> events;
        std::string detailPrefix;
        int receiptsForgotten;
    } cases[] = {
        {"clean exit", 0, 0, std::nullopt, {}, "", 0},
        {"crash", 0xC0000005u, 0, std::nullopt, {"game_crash"}, "game_closed exit=0xC0000005 (access_violation) t=50s ch=", 0},
        {"unknown code", 0x1234u, 0, std::nullopt, {"game_crash"}, "game_closed exit=0x00001234 (unknown)", 0},
        {"blocked by the protection", 0xE004u, 0, texts::kMemoryToolDetected, {"bot_detected"}, "guard_exit_blocked", 1},
        // Failures report their reason when the protection gave no detail.
        {"modification", 0xE003u, 0, texts::kClientRefusedStart, {"code_integrity"}, texts::kClientRefusedStart, 1},
        {"refused start", 0xE001u, 0, texts::kClientRefusedStart, {}, "", 0},
        {"refused start with a guard error", 0xE001u, 2, "guard says 2", {}, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        readyThenExit(world, 50'000, c.exitCode);
        world.channel.guardError = c.guardError;
        EXPECT_EQ(world.run(), c.message);
        EXPECT_EQ(world.eventKinds(), c.events);
        if (!c.events.empty()) {
            EXPECT_EQ(world.backend.events[0].second.rfind(c.detailPrefix, 0), 0u) << world.backend.events[0].second;
        }
        EXPECT_EQ(world.receiptsForgotten, c.receiptsForgotten);
        EXPECT_EQ(world.outcomes.back().at("outcome"), c.message ? "blocked" : "closed");
        EXPECT_EQ(world.outcomes.back().at("exit_code"), c.exitCode);
        EXPECT_EQ(world.terminatedWith, std::nullopt);  // the game had already ended
        EXPECT_EQ(world.running.back(), false);
    }
}

TEST(SessionSupervision, ChannelEndingsWhileTheGameRuns) {
    struct Case {
        const char* name;
        std::function<void(FakeChannel&)> end;
        std::optional<std::uint64_t> gameExitsAfterMs;  // after the channel ended
        std::optional<std::string> message;
        std::optional<std::uint32_t> terminatedWith;
        std::vector<std::string> events;
    } cases[] = {
        {"pipe closed, game keeps running", [](FakeChannel& c) { c.end(4); }, std::nullopt,
         "O canal de protecao do jogo foi interrompido (codigo 4). Tente novamente; se persistir, contate o suporte.",
         0xE002u, {}},
        {"pipe closed, game ends within 2 s", [](FakeChannel& c) { c.end(4); }, 1500, std::nullopt, std::nullopt, {}},
        {"guard error", [](FakeChannel& c) { c.guardError = 5; c.end(13); }, 100, "guard says 5", 0xE002u, {}},
        {"modification", [](FakeChannel& c) { c.modification = true; c.end(5); }, std::nullopt,
         texts::kModificationDetected, 0xE003u, {"code_integrity"}},
        {"automation", [](FakeChannel& c) { c.modification = c.blocked = true; c.end(6); }, std::nullopt,
         texts::kAutomationDetected, 0xE003u, {"bot_detected"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        world.script = [&](std::uint64_t t) {
            if (t >= 1000) world.channel.ready = true;
            if (t >= 30'000 && !world.channel.done_) {
                c.end(world.channel);
                if (c.gameExitsAfterMs) world.exitAtMs = t + *c.gameExitsAfterMs;
            }
        };
        EXPECT_EQ(world.run(), c.message);
        EXPECT_EQ(world.terminatedWith, c.terminatedWith);
        EXPECT_EQ(world.eventKinds(), c.events);
        if (c.message) {
            EXPECT_EQ(world.outcomes.back().at("reason"), *c.message);
        }
    }
}

TEST(SessionSupervision, RelayStopFlagAndEarlyExitEndTheSession) {
    {
        World world;
        world.script = [&](std::uint64_t t) {
            if (t >= 1000) world.channel.ready = true;
            if (t >= 5000) world.relayBroken = true;
        };
        EXPECT_EQ(world.run(), texts::kRelayBroken);
        EXPECT_EQ(world.terminatedWith, 0xE002u);
    }
    {
        World world;
        world.script = [&](std::uint64_t t) {
            if (t >= 1000) world.channel.ready = true;
            if (t >= 5000) world.stop = true;
        };
        EXPECT_EQ(world.run(), texts::kEndedByLauncher);
        EXPECT_EQ(world.terminatedWith, 0xE002u);
        EXPECT_EQ(world.running, (std::vector<bool>{true, false}));
    }
    {
        World world;  // the guard never becomes ready
        world.exitAtMs = 3000;
        EXPECT_EQ(world.run(), texts::kClientEndedBeforeGuard);
        EXPECT_EQ(world.running, std::vector<bool>{false});  // never hidden
        EXPECT_EQ(world.outcomes.back().at("guard_ready"), false);
    }
}

TEST(SessionSupervision, NoticesBecomeEventsAndFailedPostsAreIgnored) {
    World world;
    readyThenExit(world, 10'000, 0);
    world.backend.failEvents = true;
    world.script = [&](std::uint64_t t) {
        if (t >= 1000) world.channel.ready = true;
        if (t == 2000) world.channel.notices = {"injected.dll", "overlay.dll"};
    };
    EXPECT_EQ(world.run(), std::nullopt);
    ASSERT_EQ(world.eventKinds(), (std::vector<std::string>{"foreign_module", "foreign_module"}));
    EXPECT_EQ(world.backend.events[1].second, "overlay.dll");
}

TEST(SessionSupervision, AStartThatFailsIsRecordedBlockedWithoutAGameToEnd) {
    World world;
    EXPECT_EQ(world.run(World::Start::FailsBeforeTheProcess), texts::kCannotStartClient);
    EXPECT_EQ(world.terminatedWith, std::nullopt);
    ASSERT_EQ(world.outcomes.size(), 2u);
    EXPECT_EQ(world.outcomes[1].at("outcome"), "blocked");
    EXPECT_EQ(world.outcomes[1].at("reason"), texts::kCannotStartClient);
    EXPECT_EQ(world.outcomes[1].at("pid"), 0);
    EXPECT_EQ(world.channel.closes, 1);
}

TEST(SessionSupervision, AFailureRightAfterTheProcessExistsStillEndsTheGame) {
    World world;
    EXPECT_EQ(world.run(World::Start::FailsAfterTheProcess), "Canal do jogo indisponivel.");
    EXPECT_EQ(world.terminatedWith, 0xE002u);
    ASSERT_EQ(world.outcomes.size(), 2u);
    EXPECT_EQ(world.outcomes[1].at("outcome"), "blocked");
    EXPECT_EQ(world.outcomes[1].at("pid"), 4242);
    EXPECT_EQ(world.outcomes[1].at("exit_code"), 0xE002u);
    EXPECT_EQ(world.channel.closes, 1);
}

}  // namespace
}  // namespace nyra
