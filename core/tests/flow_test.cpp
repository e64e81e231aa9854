#include "core/flow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <string>
#include <utility>
#include <vector>

#include "core/flow_texts.h"
#include "core/http_error.h"
#include "core/json_limits.h"
#include "core/player_message.h"
#include "core/tests/hostile_nesting.h"
#include "core/unavailable_services.h"
#include "session/supervision.h"

namespace nyra {
namespace {

using nlohmann::json;

const std::string kPolicyPath = "/api/launcher/package-policy";
const std::string kNotificationsPath = "/api/notifications";

// Time moves only when a job sleeps; sleeping never blocks.
struct FakeClock : Clock {
    std::atomic<std::uint64_t> now{0};
    std::function<void(std::uint64_t)> onSleep;  // runs on the job thread after time advanced
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override {
        now += ms;
        if (onSleep) onSleep(now);
    }
};

struct RecordingPoster : WindowPoster {
    std::mutex mutex;
    std::vector<std::pair<unsigned, std::uintptr_t>> posts;
    void post(unsigned message, std::uintptr_t param) override {
        std::lock_guard<std::mutex> lock(mutex);
        posts.emplace_back(message, param);
    }
    int count(unsigned message) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& p : posts) n += p.first == message ? 1 : 0;
        return n;
    }
    std::vector<std::uintptr_t> params(unsigned message) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::uintptr_t> out;
        for (const auto& p : posts) {
            if (p.first == message) out.push_back(p.second);
        }
        return out;
    }
};

struct CallRecord {
    std::string path;
    std::uint64_t at;
    std::string statusText;  // status line when the request went out
};

struct LoginRecord {
    std::string username, password, hwid, hwidInfo;
    bool remember;
};

struct FakePrepared : PreparedGame {
    std::filesystem::path engine;
    bool received;
    std::shared_ptr<std::atomic<bool>> alive;
    FakePrepared(std::filesystem::path e, bool r, std::shared_ptr<std::atomic<bool>> a)
        : engine(std::move(e)), received(r), alive(std::move(a)) {
        *alive = true;
    }
    ~FakePrepared() override { *alive = false; }
    std::filesystem::path engineFolder() const override { return engine; }
    bool receivedOrRepaired() const override { return received; }
};

// Every subsystem the jobs call, scripted per test. Results are read after joinAll().
struct Fakes : BackendFactory,
               HomeService,
               SelfUpdate,
               SavedSession,
               HardwareIdentity,
               Preparation,
               GameSettings,
               PreferencesWriter,
               ProcessEnvironment,
               GameSession {
    FakeClock& clock;
    UiStore& store;

    // Backend
    std::function<json(const std::string& path)> onCall = [](const std::string& path) -> json {
        if (path == kPolicyPath) return json{{"package_id", "7.4.1"}, {"index_sha256", "ab"}};
        if (path == kNotificationsPath) return json::array({{{"id", 1}, {"read", false}}});
        return json::object();
    };
    std::function<void()> onLogin = [] {};
    std::function<void()> onLogout = [] {};
    std::vector<CallRecord> calls;
    std::vector<LoginRecord> logins;
    int clientsCreated = 0;
    int logouts = 0;

    // Other subsystems
    bool relocate = false;
    bool replaced = false;
    std::function<std::optional<std::string>()> onRestore = [] { return std::nullopt; };
    int restores = 0, saves = 0, forgets = 0;
    bool saveFails = false;
    bool received = false;
    std::function<void(const PhaseFn&)> onPrepare = [](const PhaseFn&) {};
    std::vector<bool> forceFlags;
    std::shared_ptr<std::atomic<bool>> preparedAlive = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::filesystem::path> appliedTo;
    std::vector<std::pair<std::filesystem::path, std::string>> preferencesWritten;
    std::map<std::string, std::string> environment;
    std::function<void(const GameRunningFn&)> onGame = [](const GameRunningFn& running) {
        running(true);
        running(false);
    };
    int gameRuns = 0;
    UiState atGameStart;
    bool preparedAliveDuringGame = false;

    Fakes(FakeClock& c, UiStore& s) : clock(c), store(s) {}

    struct Client : BackendClient {
        Fakes& f;
        explicit Client(Fakes& fakes) : f(fakes) {}
        json call(const std::string& path, const json&) override {
            f.calls.push_back({path, f.clock.now, f.store.snapshot().statusText});
            return f.onCall(path);
        }
        void login(const std::string& u, const std::string& p, const std::string& h,
                   const std::string& i, bool r) override {
            f.logins.push_back({u, p, h, i, r});
            f.onLogin();
        }
        void logout() override {
            ++f.logouts;
            f.onLogout();
        }
        json resumeSession(const std::string&) override { return json(); }
        const std::string& sessionCookie() const override { return cookie; }
        std::string cookie;
    };

    std::unique_ptr<BackendClient> create() override {
        ++clientsCreated;
        return std::make_unique<Client>(*this);
    }
    bool relocateAtStart(const std::filesystem::path&, const ProgressFn&,
                         std::atomic<bool>&) override {
        return relocate;
    }
    bool checkLauncherUpdate(BackendClient&, const std::filesystem::path&, const json&,
                             const ProgressFn&, std::atomic<bool>&) override {
        return replaced;
    }
    std::optional<std::string> restore(BackendClient&) override {
        ++restores;
        return onRestore();
    }
    void save(BackendClient&) override {
        ++saves;
        if (saveFails) throw std::runtime_error("Nao foi possivel salvar a sessao.");
    }
    void forget() noexcept override { ++forgets; }
    HardwareId identity() override { return {std::string(64, 'a'), "HWID v1"}; }
    std::unique_ptr<PreparedGame> prepareUntilStable(BackendClient&, const std::filesystem::path&,
                                                     bool forceFull, std::atomic<bool>& cancel,
                                                     const ProgressFn&,
                                                     const PhaseFn& phase) override {
        forceFlags.push_back(forceFull);
        if (cancel) throw std::runtime_error("Preparacao cancelada.");
        onPrepare(phase);
        return std::make_unique<FakePrepared>("/jogo/.engine", received, preparedAlive);
    }
    void applyPendingAndReload(const std::filesystem::path& engine) override {
        appliedTo.push_back(engine);
        store.withLock([](UiState& s) { s.applyToGame = false; });
    }
    void writePreferences(const std::filesystem::path& folder, const json& prefs) override {
        preferencesWritten.emplace_back(folder, prefs.dump());
    }
    void setVariable(const std::string& name, const std::string& value) override {
        environment[name] = value;
    }
    void runGameSession(BackendClient&, const std::filesystem::path&,
                        std::unique_ptr<PreparedGame> prepared, std::atomic<bool>&,
                        const ProgressFn&, const GameRunningFn& running) override {
        ++gameRuns;
        atGameStart = store.snapshot();
        preparedAliveDuringGame = prepared && *preparedAlive;
        onGame(running);
    }
};

struct Harness {
    FakeClock clock;
    RecordingPoster poster;
    UiStore store{clock, poster};
    Fakes fakes{clock, store};
    FlowServices services{fakes, fakes, fakes, fakes, fakes, fakes, fakes, fakes, fakes, fakes};
    FlowController flow{store, services, clock, poster, "/jogo"};

    void startup() {
        flow.startStartupJob();
        flow.joinAll();
    }
    void online(bool signedIn, std::string username = "ana", std::string password = "") {
        store.withLock([&](UiState& s) {
            s.serverOnline = true;
            s.signedIn = signedIn;
            s.username = username;
            s.password = password;
        });
    }
    void press(bool verify) {
        flow.start(verify);
        flow.joinAll();
    }
    UiState ui() { return store.snapshot(); }
};

std::string retryText(int n) {
    return "Conectando ao servidor. Tentando novamente (" + std::to_string(n) + " de 4)...";
}

// ---------------------------------------------------------------------------------------------
// Start-up and reconnect

TEST(FlowStartup, BackendDownForTheWholeStartRetriesFourTimesThenReconnectsOnPlay) {
    Harness h;
    const auto workingBackend = h.fakes.onCall;
    int attempt = 0;
    h.fakes.onCall = [&](const std::string&) -> json {
        throw std::runtime_error("Servidor fora do ar " + std::to_string(++attempt) + ".");
    };
    h.startup();

    ASSERT_EQ(h.fakes.calls.size(), 4u);
    const std::uint64_t starts[] = {0, 2000, 6000, 12000};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(h.fakes.calls[i].path, kPolicyPath);
        EXPECT_EQ(h.fakes.calls[i].at, starts[i]) << "attempt " << i + 1;
        if (i > 0) {
            EXPECT_EQ(h.fakes.calls[i].statusText, retryText(static_cast<int>(i) + 1));
        }
    }
    EXPECT_EQ(h.fakes.clientsCreated, 4);  // a fresh client per attempt
    UiState ui = h.ui();
    EXPECT_EQ(ui.statusText, "Servidor fora do ar 4.");
    EXPECT_EQ(ui.progress, 0);
    EXPECT_FALSE(ui.serverOnline);
    EXPECT_FALSE(ui.busy);
    EXPECT_FALSE(h.store.splash());
    EXPECT_EQ(h.fakes.restores, 0);
    EXPECT_EQ(h.clock.now, 12000u);  // no splash wait on top of a slow start

    // The Play button now reconnects.
    h.fakes.onCall = workingBackend;
    h.press(false);
    ui = h.ui();
    EXPECT_EQ(ui.statusText, "Conexao restabelecida. Sua aventura espera por voce.");
    EXPECT_TRUE(ui.serverOnline);
    EXPECT_FALSE(ui.busy);
    EXPECT_EQ(h.fakes.restores, 1);
    EXPECT_EQ(h.fakes.logins.size(), 0u);
    EXPECT_EQ(h.fakes.forceFlags.size(), 0u);  // reconnecting does not prepare
}

TEST(FlowStartup, OnlyServerSideAndTransportFailuresOfThePolicyAreRetried) {
    struct Case {
        const char* name;
        std::function<void()> fail;
        std::size_t attempts;
        const char* text;
    };
    const Case cases[] = {
        {"404", [] { throw HttpError("Recurso nao encontrado.", 404); }, 1,
         "Recurso nao encontrado."},
        {"401", [] { throw HttpError("Usuario, senha ou autorizacao invalida.", 401); }, 1,
         "Usuario, senha ou autorizacao invalida."},
        {"503", [] { throw HttpError("Servidor em manutencao.", 503); }, 4,
         "Servidor em manutencao."},
        {"transport", [] { throw std::runtime_error("Sem conexao (12029, envio)."); }, 4,
         "Sem conexao (12029, envio)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.fakes.onCall = [&](const std::string&) -> json {
            c.fail();
            return json();
        };
        h.startup();
        EXPECT_EQ(h.fakes.calls.size(), c.attempts);
        const UiState ui = h.ui();
        EXPECT_EQ(ui.statusText, c.text);
        EXPECT_FALSE(ui.serverOnline);
        EXPECT_FALSE(h.store.splash());
        if (c.attempts == 1) {  // the splash minimum still holds
            EXPECT_EQ(h.clock.now, 1200u);
        }
    }
}

TEST(FlowStartup, ClosingDuringARetryWaitEndsItWithinOneSlice) {
    Harness h;
    int attempt = 0;
    h.fakes.onCall = [&](const std::string&) -> json {
        throw std::runtime_error("Falha " + std::to_string(++attempt));
    };
    // The window closes 2500 ms in, during the 4-s wait before the third attempt.
    std::uint64_t closedAt = 0;
    h.clock.onSleep = [&](std::uint64_t now) {
        if (closedAt == 0 && now >= 2500) {
            closedAt = 2500;
            h.flow.requestStop();
        }
    };
    h.startup();
    EXPECT_EQ(h.fakes.calls.size(), 2u);  // no request after the stop
    EXPECT_LE(h.clock.now - closedAt, 200u);
    EXPECT_EQ(h.ui().statusText, "Falha 2");
    EXPECT_FALSE(h.ui().busy);
    EXPECT_FALSE(h.store.splash());
}

TEST(FlowStartup, SuccessfulStartWithAndWithoutSavedSession) {
    struct Case {
        const char* name;
        std::optional<std::string> savedUser;
        bool notificationsFail;
        const char* status;
        bool expectNotifications;
    };
    const Case cases[] = {
        {"no saved session", std::nullopt, false,
         "Seu portal para o mundo de Nyra Saga esta pronto.", false},
        {"saved session", "ana", false,
         "Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.", true},
        {"notifications fail", "ana", true,
         "Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.store.withLock([](UiState& s) { s.focusedField = kFocusUsername; });
        h.fakes.onRestore = [&] { return c.savedUser; };
        const auto defaultCall = h.fakes.onCall;
        h.fakes.onCall = [&](const std::string& path) -> json {
            if (path == kNotificationsPath && c.notificationsFail) {
                throw HttpError("Servidor em manutencao.", 503);
            }
            return defaultCall(path);
        };
        h.startup();

        const UiState ui = h.ui();
        EXPECT_EQ(ui.statusText, c.status);
        EXPECT_EQ(ui.progress, 0);
        EXPECT_TRUE(ui.serverOnline);
        EXPECT_EQ(ui.signedIn, c.savedUser.has_value());
        EXPECT_EQ(ui.username, c.savedUser.value_or(""));
        EXPECT_EQ(ui.focusedField, c.savedUser ? kFocusNone : kFocusUsername);
        EXPECT_EQ(ui.gameVersion, "7.4.1");
        EXPECT_FALSE(ui.busy);
        EXPECT_FALSE(h.store.splash());
        EXPECT_EQ(h.clock.now, 1200u);  // splash shown 1.2 s
        EXPECT_EQ(h.flow.packagePolicy().value("package_id", ""), "7.4.1");
        if (c.expectNotifications) {
            EXPECT_EQ(ui.notifications, json::array({{{"id", 1}, {"read", false}}}));
        } else {
            EXPECT_EQ(ui.notifications, json::array());
        }
        EXPECT_EQ(h.fakes.calls.size(), c.savedUser ? 2u : 1u);
        EXPECT_EQ(h.poster.params(kMsgRefresh).empty(), false);
    }
}

TEST(FlowStartup, ResumedNamesTheUsernameFieldCouldNotHoldAreForgotten) {
    const struct {
        std::string name;
        bool usable;
    } cases[] = {
        {std::string(20, 'a'), true},
        {"a!~", true},
        {std::string(21, 'a'), false},
        {std::string(5000, 'a'), false},
        {"", false},
        {"ana maria", false},
        {"ana\t", false},
        {"ana\x7F", false},
        {"jos\xC3\xA9", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 30));
        Harness h;
        h.fakes.onRestore = [&] { return std::optional<std::string>(c.name); };
        h.startup();
        const UiState ui = h.ui();
        EXPECT_TRUE(ui.serverOnline);
        EXPECT_EQ(ui.signedIn, c.usable);
        EXPECT_EQ(ui.username, c.usable ? c.name : "");
        EXPECT_EQ(h.fakes.forgets, c.usable ? 0 : 1);
    }
    EXPECT_TRUE(fitsUsernameField(std::string(kUsernameLimit, '~')));
}

TEST(FlowStartup, UnusableSavedSessionIsShownButTheLauncherGoesOnlineSignedOut) {
    Harness h;
    h.fakes.onRestore = []() -> std::optional<std::string> {
        throw std::runtime_error("Sessao pertence a outro Windows.");
    };
    h.startup();
    const UiState ui = h.ui();
    EXPECT_EQ(ui.statusText, "Sessao pertence a outro Windows.");
    EXPECT_TRUE(ui.serverOnline);  // the player can still sign in, which replaces the file
    EXPECT_FALSE(ui.signedIn);
    EXPECT_EQ(h.fakes.forgets, 0);  // the file is left in place
}

TEST(FlowStartup, RelocationOrSelfReplacementEndsTheLauncher) {
    struct Case {
        const char* name;
        bool relocate;
        bool replaced;
        bool play;
        std::size_t policyCalls;
    };
    const Case cases[] = {
        {"relocated at start", true, false, false, 0},
        {"replaced at start", false, true, false, 1},
        {"replaced before play", false, true, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.fakes.relocate = c.relocate;
        h.fakes.replaced = c.replaced;
        if (c.play) {
            h.online(true);
            h.press(false);
        } else {
            h.startup();
        }
        EXPECT_TRUE(h.flow.stopFlag());
        EXPECT_EQ(h.poster.count(kMsgClose), 1);
        EXPECT_EQ(h.fakes.calls.size(), c.policyCalls);
        EXPECT_EQ(h.fakes.restores, 0);
        EXPECT_EQ(h.fakes.forceFlags.size(), 0u);
        // Still busy: no Play can clear the stop flag before the window closes.
        EXPECT_TRUE(h.ui().busy);
        h.flow.start(false);
        EXPECT_TRUE(h.flow.stopFlag());
    }
}

// ---------------------------------------------------------------------------------------------
// Play and Verify

TEST(FlowPlay, MissingCredentialsStartNoJobAndFocusTheEmptyField) {
    struct Case {
        const char* username;
        const char* password;
        int focus;
    };
    const Case cases[] = {{"", "", kFocusUsername}, {"ana", "", kFocusPassword},
                          {"", "segredo", kFocusUsername}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.username) + "/" + c.password);
        Harness h;
        h.online(false, c.username, c.password);
        h.press(false);
        const UiState ui = h.ui();
        EXPECT_EQ(ui.statusText, "Informe seu usuario e senha do Nyra Saga Brasil.");
        EXPECT_EQ(ui.focusedField, c.focus);
        EXPECT_FALSE(ui.busy);
        EXPECT_EQ(h.fakes.clientsCreated, 0);
        EXPECT_EQ(h.poster.count(kMsgRefresh), 1);
    }
}

TEST(FlowPlay, BusyIgnoresPlayAndSignOut) {
    Harness h;
    h.online(true);
    h.store.withLock([](UiState& s) { s.busy = true; });
    h.press(false);
    h.flow.signOut();
    h.flow.joinAll();
    EXPECT_EQ(h.fakes.clientsCreated, 0);
    EXPECT_EQ(h.fakes.forgets, 0);
    EXPECT_TRUE(h.ui().signedIn);
}

TEST(FlowPlay, SignInPassesIdentityStoresSessionAndEmptiesThePassword) {
    for (const bool saveFails : {false, true}) {
        SCOPED_TRACE(saveFails ? "save fails" : "save works");
        Harness h;
        h.fakes.saveFails = saveFails;
        h.online(false, "ana", "segredo");
        h.press(true);

        ASSERT_EQ(h.fakes.logins.size(), 1u);
        const LoginRecord& login = h.fakes.logins[0];
        EXPECT_EQ(login.username, "ana");
        EXPECT_EQ(login.password, "segredo");
        EXPECT_EQ(login.hwid, std::string(64, 'a'));
        EXPECT_EQ(login.hwidInfo, "HWID v1");
        EXPECT_TRUE(login.remember);
        EXPECT_EQ(h.fakes.saves, 1);
        const UiState ui = h.ui();
        EXPECT_TRUE(ui.signedIn);
        EXPECT_EQ(ui.password, "");
        EXPECT_EQ(ui.statusText, "Arquivos corretos e atualizados. Nenhum download necessario.");
        EXPECT_EQ(h.fakes.calls.front().statusText, "Validando sua conta...");
    }
}

TEST(FlowPlay, Http401AnywhereSignsOutAndFocusesThePassword) {
    struct Case {
        const char* name;
        bool signedInBefore;
        int status;
        const char* where;  // "login", "policy", "prepare" or "game"
        bool signsOut;
    };
    const Case cases[] = {
        {"login rejected", false, 401, "login", true},
        {"policy 401", true, 401, "policy", true},
        {"preparation 401", true, 401, "prepare", true},
        {"heartbeat 401", true, 401, "game", true},
        {"403 is only shown", true, 403, "policy", false},
    };
    const std::string text = "Usuario, senha ou autorizacao invalida.";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.online(c.signedInBefore, "ana", "segredo");
        const std::string where = c.where;
        const auto fail = [&] { throw HttpError(text, c.status); };
        if (where == "login") h.fakes.onLogin = fail;
        if (where == "policy") {
            h.fakes.onCall = [&](const std::string&) -> json {
                fail();
                return json();
            };
        }
        if (where == "prepare") h.fakes.onPrepare = [&](const PhaseFn&) { fail(); };
        if (where == "game") {
            h.fakes.onGame = [&](const GameRunningFn& running) {
                running(true);
                running(false);
                fail();
            };
        }
        h.press(false);

        const UiState ui = h.ui();
        EXPECT_EQ(ui.statusText, text);
        EXPECT_EQ(ui.progress, 0);
        EXPECT_FALSE(ui.busy);
        EXPECT_TRUE(ui.serverOnline);  // a Play failure never takes the server offline
        EXPECT_EQ(ui.signedIn, !c.signsOut);
        EXPECT_EQ(h.fakes.forgets, c.signsOut ? 1 : 0);
        if (c.signsOut) {
            EXPECT_EQ(ui.focusedField, kFocusPassword);
        }
        EXPECT_EQ(h.poster.params(kMsgRefresh).empty(), false);
    }
}

// The whole path of a 401 during play: the session's own supervision receives it from a heartbeat,
// ends the game, and the flow still sees the HttpError that signs the player out.
TEST(FlowPlay, HeartbeatRefusedWith401ThroughTheSupervisionSignsOut) {
    struct StepClock final : Clock {
        std::uint64_t now = 0;
        std::uint64_t tickMs() override { return now; }
        void sleepMs(std::uint32_t ms) override { now += ms; }
    };
    // Runs until it is ended; `endedWith` outlives it.
    struct RunningGame final : GameProcessControl {
        RunningGame(StepClock& c, std::optional<std::uint32_t>& ended) : clock(c), endedWith(ended) {}
        std::uint32_t processId() const override { return 77; }
        bool waitForExit(std::uint32_t ms) override {
            if (endedWith) return true;
            clock.now += ms;
            return false;
        }
        std::uint32_t exitCode() override { return endedWith.value_or(259); }
        bool isHung() override { return false; }
        void terminate(std::uint32_t code) noexcept override { endedWith = code; }
        StepClock& clock;
        std::optional<std::uint32_t>& endedWith;
    };
    struct ReadyChannel final : GuardChannelView {
        bool done() const override { return false; }
        std::int32_t resultCode() const override { return 0; }
        std::int32_t guardErrorCode() const override { return 0; }
        bool modificationReported() const override { return false; }
        bool blockedReported() const override { return false; }
        bool guardReady() const override { return true; }
        std::string guardErrorMessage(std::int32_t) const override { return {}; }
        std::vector<std::string> takeNotices() override { return {}; }
        void setItemMall(std::string) override {}
        void close() noexcept override {}
    };
    struct Refusing final : SessionBackend {
        json heartbeat(std::uint64_t) override { throw HttpError("Sessao de jogo encerrada.", 401); }
        void event(const std::string&, const std::string&) override {}
    };

    Harness h;
    h.online(true, "ana", "segredo");
    std::optional<std::uint32_t> gameEndedWith;
    h.fakes.onGame = [&](const GameRunningFn& running) {
        StepClock clock;
        std::atomic<bool> stop{false};
        ReadyChannel channel;
        Refusing backend;
        NoProtectionModules protection;
        SessionSupervision session{clock,   stop,    channel,  backend, protection, [] { return false; },
                                   running, [](const json&) {}, {},      [] { return std::string(); }, "pkg"};
        superviseGameSession(session, [&](std::unique_ptr<GameProcessControl>& owner) {
            owner = std::make_unique<RunningGame>(clock, gameEndedWith);
        });
    };
    h.press(false);

    const UiState ui = h.ui();
    EXPECT_EQ(gameEndedWith, 0xE002u);
    EXPECT_EQ(ui.statusText, "Sessao de jogo encerrada.");
    EXPECT_FALSE(ui.signedIn);
    EXPECT_FALSE(ui.gameRunning);
    EXPECT_EQ(h.fakes.forgets, 1);  // the saved session is cleared
    EXPECT_EQ(ui.focusedField, kFocusPassword);
}

TEST(FlowPlay, VerifyReportsWhetherAnythingWasReceived) {
    for (const bool received : {false, true}) {
        SCOPED_TRACE(received ? "repaired" : "nothing downloaded");
        Harness h;
        h.fakes.received = received;
        h.online(true);
        h.press(true);

        const UiState ui = h.ui();
        EXPECT_EQ(ui.statusText,
                  received ? "Arquivos recebidos e validados. Tudo pronto para jogar."
                           : "Arquivos corretos e atualizados. Nenhum download necessario.");
        EXPECT_EQ(ui.progress, 100);
        EXPECT_EQ(ui.busyKind, kBusyFinished);
        EXPECT_FALSE(ui.busy);
        EXPECT_EQ(h.fakes.forceFlags, std::vector<bool>{true});
        EXPECT_EQ(h.fakes.gameRuns, 0);
        EXPECT_FALSE(*h.fakes.preparedAlive);  // pack locks released at the end
        EXPECT_EQ(h.flow.engineFolder(), std::filesystem::path("/jogo/.engine"));
        EXPECT_EQ(h.fakes.appliedTo, std::vector<std::filesystem::path>{"/jogo/.engine"});
        EXPECT_EQ(h.poster.count(kMsgLoadNews), 1);
        EXPECT_EQ(h.fakes.logins.size(), 0u);  // already signed in
    }
}

TEST(FlowPlay, PlayRunsTheGameSessionAndReturnsToReady) {
    Harness h;
    h.online(true);
    h.flow.requestStop();  // left over from an earlier cancelled run; Play clears it
    std::vector<int> busyKindsSeen;
    h.fakes.onPrepare = [&](const PhaseFn& phase) {
        busyKindsSeen.push_back(h.ui().busyKind);
        phase(kBusyChecking);
        phase(kBusyDownloading);
        busyKindsSeen.push_back(h.ui().busyKind);
    };
    h.press(false);

    EXPECT_EQ(busyKindsSeen, (std::vector<int>{kBusyConnecting, kBusyDownloading}));
    EXPECT_EQ(h.fakes.forceFlags, std::vector<bool>{false});
    ASSERT_EQ(h.fakes.gameRuns, 1);
    EXPECT_EQ(h.fakes.atGameStart.busyKind, kBusyPreparing);
    EXPECT_EQ(h.fakes.atGameStart.statusText, "Arquivos conferidos. Abrindo o jogo...");
    EXPECT_EQ(h.fakes.atGameStart.progress, 100);
    EXPECT_TRUE(h.fakes.atGameStart.busy);
    EXPECT_TRUE(h.fakes.preparedAliveDuringGame);
    EXPECT_FALSE(*h.fakes.preparedAlive);
    EXPECT_EQ(h.poster.params(kMsgShowHide), (std::vector<std::uintptr_t>{1, 0}));

    const UiState ui = h.ui();
    EXPECT_EQ(ui.statusText, "Sua aventura continua. Clique em Jogar para voltar.");
    EXPECT_EQ(ui.progress, 100);
    EXPECT_EQ(ui.busyKind, kBusyFinished);
    EXPECT_FALSE(ui.busy);
    EXPECT_FALSE(ui.gameRunning);
    EXPECT_EQ(ui.notifications, json::array({{{"id", 1}, {"read", false}}}));
    EXPECT_FALSE(h.flow.stopFlag());
}

TEST(FlowPlay, FailedGameSessionNeverLeavesTheWindowHidden) {
    Harness h;
    h.online(true);
    h.fakes.onGame = [](const GameRunningFn& running) {
        running(true);
        throw std::runtime_error("O jogo foi encerrado inesperadamente.");
    };
    h.press(false);
    const UiState ui = h.ui();
    EXPECT_EQ(ui.statusText, "O jogo foi encerrado inesperadamente.");
    EXPECT_EQ(ui.progress, 0);
    EXPECT_FALSE(ui.gameRunning);
    EXPECT_FALSE(ui.busy);
    EXPECT_EQ(h.poster.params(kMsgShowHide), (std::vector<std::uintptr_t>{1, 0}));
}

TEST(FlowPlay, PreferencesAndEnvironmentFollowTheSettings) {
    struct Case {
        int width, height;
        bool fullScreen;
        int graphics;
        bool english;
        const char* json;
    };
    const Case cases[] = {
        {1366, 768, true, 1, true,
         R"({"apply_to_game":false,"full_screen":true,"graphics_mode":"enhanced",)"
         R"("height":768,"language":"en","width":1366})"},
        {1920, 1080, false, 0, false,
         R"({"apply_to_game":false,"full_screen":false,"graphics_mode":"standard",)"
         R"("height":1080,"language":"pt-BR","width":1920})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        Harness h;
        h.online(true);
        h.store.withLock([&](UiState& s) {
            s.resolutionWidth = c.width;
            s.resolutionHeight = c.height;
            s.fullScreen = c.fullScreen;
            s.graphicsMode = c.graphics;
            s.languageEnglish = c.english;
            s.applyToGame = true;  // applied to the game before preferences are written
        });
        h.press(true);
        ASSERT_EQ(h.fakes.preferencesWritten.size(), 1u);
        EXPECT_EQ(h.fakes.preferencesWritten[0].first, std::filesystem::path("/jogo"));
        EXPECT_EQ(h.fakes.preferencesWritten[0].second, c.json);
        EXPECT_EQ(h.fakes.environment["NYRA_GRAPHICS"], c.graphics ? "enhanced" : "standard");
        EXPECT_EQ(h.fakes.environment["NYRA_LANGUAGE"], c.english ? "en" : "pt-BR");
    }
}

// ---------------------------------------------------------------------------------------------
// Sign-out

TEST(FlowSignOut, ClearsTheAccountAndLogsOutWhenAClientExists) {
    for (const bool connected : {true, false}) {
        SCOPED_TRACE(connected ? "after start-up" : "no client yet");
        Harness h;
        if (connected) {
            h.fakes.onRestore = [] { return std::optional<std::string>("ana"); };
            h.startup();
        } else {
            h.online(true);
        }
        h.store.withLock([](UiState& s) {
            s.password = "resto";
            s.notifications = json::array({{{"read", false}}});
        });
        h.flow.signOut();
        h.flow.joinAll();

        const UiState ui = h.ui();
        EXPECT_EQ(h.fakes.forgets, 1);
        EXPECT_EQ(h.fakes.logouts, connected ? 1 : 0);
        EXPECT_FALSE(ui.signedIn);
        EXPECT_EQ(ui.username, "");
        EXPECT_EQ(ui.password, "");
        EXPECT_EQ(ui.notifications, json::array());
        EXPECT_EQ(ui.focusedField, kFocusUsername);
        EXPECT_EQ(ui.busyKind, kBusyFinished);
        EXPECT_EQ(ui.progress, 0);
        EXPECT_EQ(ui.statusText, "Voce saiu da conta. Entre com outra conta quando quiser.");
        EXPECT_FALSE(ui.busy);
    }
}

TEST(FlowSignOut, IgnoredWhileSignedOutOrPlaying) {
    for (const bool playing : {true, false}) {
        Harness h;
        h.online(playing);  // signed in only when playing
        h.store.withLock([&](UiState& s) { s.gameRunning = playing; });
        h.flow.signOut();
        h.flow.joinAll();
        EXPECT_EQ(h.fakes.forgets, 0);
        EXPECT_FALSE(h.ui().busy);
    }
}

// ---------------------------------------------------------------------------------------------
// Stand-ins for subsystems not built yet

// ---------------------------------------------------------------------------------------------
// What the player reads when a library fails

// The JSON library's refusal of a policy answer nested too deep, exactly as the backend client
// raises it.
void throwDeepCborAnswer() { requireCborNesting(test::nestedCbor(test::kHostileDepth)); }

TEST(FailureText, LibraryErrorsNeverReachThePlayer) {
    const struct {
        const char* name;
        std::function<void()> fail;
        std::string shown;
    } cases[] = {
        {"our message", [] { throw std::runtime_error("Sem conexao (12029, envio)."); }, "Sem conexao (12029, envio)."},
        {"HTTP status", [] { throw HttpError("Servidor em manutencao.", 503); }, "Servidor em manutencao."},
        {"CBOR nested too deep", throwDeepCborAnswer, kInvalidServerResponse},
        {"JSON that does not parse", [] { (void)parseJsonText(std::string_view("{\"a\":")); }, kInvalidServerResponse},
        {"missing member", [] { (void)json::object().at("download_token"); }, kInvalidServerResponse},
        {"member of another type", [] { (void)json(1).get<std::string>(); }, kInvalidServerResponse},
        {"system error", [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
         flow_texts::kUnexpected},
        {"standard range error", [] { (void)std::string().at(3); }, flow_texts::kUnexpected},
        {"allocation", [] { throw std::bad_alloc(); }, flow_texts::kUnexpected},
        {"logic error", [] { throw std::logic_error("the guard channel is served once"); }, flow_texts::kUnexpected},
        {"empty message", [] { throw std::runtime_error(""); }, flow_texts::kUnexpected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.fail();
            ADD_FAILURE() << "no failure";
        } catch (const std::exception& failure) {
            EXPECT_EQ(playerMessage(failure), c.shown);
        }
    }
}

// The policy answer that failed to decode on a player's screen: every job shows the player's text.
TEST(FailureText, AnAnswerTheLibraryRefusesShowsInvalidServerResponse) {
    const char* const jobs[] = {"start-up", "play", "saved session", "sign-out"};
    for (const char* name : jobs) {
        const std::string job = name;
        SCOPED_TRACE(job);
        Harness h;
        if (job == "start-up" || job == "play") {
            h.fakes.onCall = [](const std::string& path) -> json {
                if (path == kPolicyPath) throwDeepCborAnswer();
                return json::object();
            };
        }
        if (job == "saved session") {
            h.fakes.onRestore = []() -> std::optional<std::string> { return json(1).get<std::string>(); };
        }
        if (job == "start-up" || job == "saved session") {
            h.startup();
        } else if (job == "play") {
            h.online(true);
            h.press(false);
        } else {
            h.startup();  // the client exists from here on
            h.online(true);
            h.fakes.onLogout = throwDeepCborAnswer;
            h.flow.signOut();
            h.flow.joinAll();
            EXPECT_EQ(h.fakes.logouts, 1);
        }
        EXPECT_EQ(h.ui().statusText, kInvalidServerResponse);
    }
}

TEST(UnavailableServices, StartAndPlayFailWithTheirMessagesInsteadOfPretending) {
    FakeClock clock;
    RecordingPoster poster;
    UiStore store(clock, poster);
    UnavailableServices stand;
    struct NoMove : HomeService {
        bool relocateAtStart(const std::filesystem::path&, const ProgressFn&,
                             std::atomic<bool>&) override {
            return false;
        }
    } noMove;
    FlowServices services = stand.services();
    FlowServices withHome{services.backend,     noMove,           services.selfUpdate,
                          services.session,     services.hardware, services.preparation,
                          services.settings,    services.preferences, services.environment,
                          services.game};
    {
        FlowController flow(store, services, clock, poster, "/jogo");
        flow.startStartupJob();
        flow.joinAll();
        EXPECT_EQ(store.snapshot().statusText, kHomeUnavailable);
    }
    {
        FlowController flow(store, withHome, clock, poster, "/jogo");
        flow.startStartupJob();
        flow.joinAll();
        EXPECT_EQ(store.snapshot().statusText, kBackendUnavailable);
        EXPECT_FALSE(store.snapshot().serverOnline);
    }
}

}  // namespace
}  // namespace nyra
