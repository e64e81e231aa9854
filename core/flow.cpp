#include "core/flow.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "core/flow_texts.h"
#include "core/player_message.h"
#include "core/preferences.h"
#include "core/text.h"

namespace nyra {

namespace {

using nlohmann::json;

constexpr const char* kPolicyPath = "/api/launcher/package-policy";
constexpr const char* kNotificationsPath = "/api/notifications";

constexpr std::uint64_t kSplashMinimumMs = 1200;
constexpr std::uint32_t kWaitSliceMs = 200;
constexpr int kPolicyAttempts = 4;

constexpr const char* kTextWelcomeBack = flow_texts::kWelcomeBack;
constexpr const char* kTextPortalReady = flow_texts::kPortalReady;
constexpr const char* kTextReconnected = flow_texts::kReconnected;
constexpr const char* kTextValidating = flow_texts::kValidating;
constexpr const char* kTextOpeningGame = flow_texts::kOpeningGame;
constexpr const char* kTextAfterGame = flow_texts::kAfterGame;
constexpr const char* kTextReceived = flow_texts::kReceived;
constexpr const char* kTextUpToDate = flow_texts::kUpToDate;
constexpr const char* kTextSignedOut = flow_texts::kSignedOut;
constexpr const char* kTextCredentials = flow_texts::kCredentials;
constexpr const char* kTextUnexpected = flow_texts::kUnexpected;

}  // namespace

FlowController::FlowController(UiStore& store, FlowServices& services, Clock& clock,
                               WindowPoster& poster, std::filesystem::path launcherFolder)
    : store_(store),
      services_(services),
      clock_(clock),
      poster_(poster),
      launcherFolder_(std::move(launcherFolder)) {}

FlowController::~FlowController() {
    requestStop();
    joinAll();
}

void FlowController::requestStop() { stop_ = true; }

void FlowController::joinAll() {
    std::lock_guard<std::mutex> lock(workerMutex_);
    if (worker_.joinable()) worker_.join();
}

json FlowController::packagePolicy() const {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return policy_;
}

std::filesystem::path FlowController::engineFolder() const {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return engineFolder_;
}

void FlowController::setPolicy(json policy) {
    std::lock_guard<std::mutex> lock(dataMutex_);
    policy_.swap(policy);
}

ProgressFn FlowController::progressFn() {
    return [this](const std::string& text, int percent) { store_.setStatus(text, percent); };
}

// ---------------------------------------------------------------------------------------------
// Actions (UI thread, or the install worker for the start-up job)

void FlowController::launch(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(workerMutex_);
    // At most one job exists: the slot is emptied before a new thread is stored.
    if (worker_.joinable()) worker_.join();
    worker_ = std::thread([this, body = std::move(job)] { runJob(body); });
}

void FlowController::startStartupJob() {
    // Busy from the start, so that Play cannot queue a join behind a start-up that may retry
    // for twenty seconds.
    store_.withLock([](UiState& s) { s.busy = true; });
    try {
        launch([this] { startupJob(); });
    } catch (...) {
        store_.withLock([](UiState& s) { s.busy = false; });
        throw;
    }
}

void FlowController::start(bool verify) {
    enum class Action { Nothing, Prompt, Launch };
    bool online = false;
    const Action action = store_.withLock([&](UiState& s) {
        if (s.busy) return Action::Nothing;
        if (!s.serverOnline || s.signedIn || (!s.username.empty() && !s.password.empty())) {
            s.busy = true;
            s.progress = 0;
            online = s.serverOnline;
            return Action::Launch;
        }
        s.statusText = kTextCredentials;
        s.focusedField = s.username.empty() ? kFocusUsername : kFocusPassword;
        poster_.post(kMsgRefresh, 0);
        return Action::Prompt;
    });
    if (action != Action::Launch) return;

    joinAll();  // the previous job has cleared busy already, so this is short
    stop_ = false;
    store_.setBusyKind(kBusyConnecting);
    try {
        if (online) {
            launch([this, verify] { playJob(verify); });
        } else {
            launch([this] { reconnectJob(); });
        }
    } catch (const std::exception& e) {
        store_.setStatus(playerMessage(e), 0);
        finishJob();
    }
    poster_.post(kMsgRefresh, 0);
}

void FlowController::signOut() {
    const bool go = store_.withLock([](UiState& s) {
        if (s.busy || s.gameRunning || !s.signedIn) return false;
        s.busy = true;
        return true;
    });
    if (!go) return;
    try {
        launch([this] { signOutJob(); });
    } catch (const std::exception& e) {
        store_.setStatus(playerMessage(e), 0);
        finishJob();
    }
}

// ---------------------------------------------------------------------------------------------
// Shared steps (job worker)

void FlowController::runJob(const std::function<void()>& body) {
    // Jobs handle their own failures; this only catches what escapes them (a failure while
    // reporting, or a non-standard exception) so that no job can end the process.
    try {
        body();
        return;
    } catch (const std::exception& e) {
        try {
            store_.setStatus(playerMessage(e), 0);
        } catch (...) {
        }
    } catch (...) {
        try {
            store_.setStatus(kTextUnexpected, 0);
        } catch (...) {
        }
    }
    try {
        store_.splash() = false;
        finishJob();
    } catch (...) {
    }
}

void FlowController::finishJob() {
    store_.withLock([](UiState& s) { s.busy = false; });
    poster_.post(kMsgRefresh, 0);
}

void FlowController::endLauncher() {
    stop_ = true;
    poster_.post(kMsgClose, 0);
}

bool FlowController::waitMs(std::uint64_t ms) {
    const std::uint64_t until = clock_.tickMs() + ms;
    while (!stop_) {
        const std::uint64_t now = clock_.tickMs();
        if (now >= until) return true;
        const std::uint64_t slice = std::min<std::uint64_t>(kWaitSliceMs, until - now);
        clock_.sleepMs(static_cast<std::uint32_t>(slice));
    }
    return false;
}

void FlowController::fetchPackagePolicy() {
    for (int attempt = 1;; ++attempt) {
        std::exception_ptr failure;
        try {
            client_.reset();  // the previous client is destroyed before a new one exists
            client_ = services_.backend.create();
            setPolicy(client_->call(kPolicyPath, json::object()));
            return;
        } catch (const HttpError& e) {
            if (e.status < 500) throw;
            failure = std::current_exception();
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (attempt >= kPolicyAttempts || stop_) std::rethrow_exception(failure);

        const int next = attempt + 1;
        store_.setStatus(flow_texts::connectRetryText(next, kPolicyAttempts), 0);
        // A stop during the wait ends the fetch with the failure just seen instead of
        // issuing another request while the launcher closes.
        if (!waitMs(static_cast<std::uint64_t>(attempt) * 2000)) std::rethrow_exception(failure);
    }
}

bool FlowController::passSelfUpdateGate() {
    const json policy = packagePolicy();
    if (policy.is_object()) {
        const auto id = policy.find("package_id");
        if (id != policy.end() && id->is_string()) {
            const std::string version = id->get<std::string>();
            store_.withLock([&](UiState& s) { s.gameVersion = version; });
        }
    }
    store_.splash() = false;  // update progress shows on the home screen
    poster_.post(kMsgRefresh, 0);
    if (services_.selfUpdate.checkLauncherUpdate(*client_, launcherFolder_, policy, progressFn(),
                                                 stop_)) {
        endLauncher();
        return false;
    }
    return true;
}

bool FlowController::relocated() {
    if (!services_.home.relocateAtStart(launcherFolder_, progressFn(), stop_)) return false;
    endLauncher();
    return true;
}

std::string FlowController::restoreSession() {
    // An unusable saved file is reported but does not keep the launcher offline: the player
    // must still be able to sign in, which replaces the file.
    std::optional<std::string> user;
    try {
        user = services_.session.restore(*client_);
    } catch (const std::exception& e) {
        return playerMessage(e);
    }
    if (user && !fitsUsernameField(*user)) {
        // A name the username field could not hold is no usable account: forgotten like an answer
        // without a user, and the player signs in again.
        services_.session.forget();
        user.reset();
    }
    if (user) {
        store_.withLock([&](UiState& s) {
            s.signedIn = true;
            s.username = *user;
            s.focusedField = kFocusNone;
        });
    }
    return {};
}

void FlowController::fetchNotifications() {
    try {
        json answer = client_->call(kNotificationsPath, json::object());
        store_.withLock([&](UiState& s) { s.notifications = std::move(answer); });
    } catch (...) {
        // The stored notifications stay as they were.
    }
}

void FlowController::writePreferences() {
    const Preferences current = store_.withLock([](UiState& s) { return preferencesOf(s); });
    services_.environment.setVariable(std::string(kGraphicsVariable),
                                      std::string(graphicsEnvironmentValue(current.enhancedGraphics)));
    services_.environment.setVariable(std::string(kLanguageVariable), std::string(languageEnvironmentValue(current.english)));
    services_.preferences.writePreferences(launcherFolder_, preferencesDocument(current));
}

// ---------------------------------------------------------------------------------------------
// Jobs

void FlowController::startupJob() {
    const std::uint64_t started = clock_.tickMs();
    try {
        if (relocated()) return;
        fetchPackagePolicy();
        if (!passSelfUpdateGate()) return;
        const std::string sessionFailure = restoreSession();
        const bool signedIn = store_.withLock([](UiState& s) { return s.signedIn; });
        if (!sessionFailure.empty()) {
            store_.setStatus(sessionFailure, 0);
        } else {
            store_.setStatus(signedIn ? kTextWelcomeBack : kTextPortalReady, 0);
        }
        if (signedIn) fetchNotifications();
        store_.withLock([](UiState& s) { s.serverOnline = true; });
    } catch (const std::exception& e) {
        store_.setStatus(playerMessage(e), 0);
    }
    // The splash stays at least this long; a stop ends the wait at once.
    const std::uint64_t elapsed = clock_.tickMs() - started;
    if (elapsed < kSplashMinimumMs) waitMs(kSplashMinimumMs - elapsed);
    store_.withLock([](UiState& s) { s.busy = false; });
    store_.splash() = false;
    poster_.post(kMsgRefresh, 0);
}

void FlowController::reconnectJob() {
    try {
        if (relocated()) return;
        fetchPackagePolicy();
        if (!passSelfUpdateGate()) return;
        store_.withLock([](UiState& s) { s.signedIn = false; });
        const std::string sessionFailure = restoreSession();
        store_.withLock([](UiState& s) { s.serverOnline = true; });
        store_.setStatus(sessionFailure.empty() ? std::string(kTextReconnected) : sessionFailure,
                         0);
    } catch (const std::exception& e) {
        store_.setStatus(playerMessage(e), 0);
    }
    finishJob();
}

void FlowController::playJob(bool verify) {
    try {
        std::string username;
        std::string password;
        WipeOnExit wipePassword(password);
        bool signedIn = false;
        store_.withLock([&](UiState& s) {
            username = s.username;
            password = s.password;
            signedIn = s.signedIn;
        });

        if (!client_) client_ = services_.backend.create();

        if (!signedIn) {
            store_.setStatus(kTextValidating, 0);
            const HardwareId id = services_.hardware.identity();
            client_->login(username, password, id.hwid, id.hwidInfo, true);
            wipe(password);
            try {
                services_.session.save(*client_);
            } catch (...) {
                // The sign-in holds; only the next start will ask again.
            }
            store_.withLock([](UiState& s) {
                wipe(s.password);
                s.signedIn = true;
            });
        }

        setPolicy(client_->call(kPolicyPath, json::object()));
        if (!passSelfUpdateGate()) return;

        std::unique_ptr<PreparedGame> prepared = services_.preparation.prepareUntilStable(
            *client_, launcherFolder_, verify, stop_, progressFn(),
            [this](int phase) { store_.setBusyKind(phase); });
        if (!prepared) {
            throw std::runtime_error("Falha ao preparar os arquivos do jogo. Tente novamente.");
        }
        const std::filesystem::path engine = prepared->engineFolder();
        const bool received = prepared->receivedOrRepaired();
        {
            std::lock_guard<std::mutex> lock(dataMutex_);
            engineFolder_ = engine;
        }
        services_.settings.applyPendingAndReload(engine);
        writePreferences();
        fetchNotifications();
        poster_.post(kMsgLoadNews, 0);

        if (!verify) {
            store_.setBusyKind(kBusyPreparing);
            store_.setStatus(kTextOpeningGame, 100);
            try {
                services_.game.runGameSession(
                    *client_, launcherFolder_, std::move(prepared), stop_, progressFn(),
                    [this](bool running) { store_.onGameRunning(running); });
            } catch (...) {
                // Never leave the window hidden behind a game that is gone.
                if (store_.withLock([](UiState& s) { return s.gameRunning; })) {
                    store_.onGameRunning(false);
                }
                throw;
            }
            if (store_.withLock([](UiState& s) { return s.gameRunning; })) {
                store_.onGameRunning(false);
            }
        }
        prepared.reset();  // Verify: the pack locks end with the job

        store_.setBusyKind(kBusyFinished);
        const char* done = !verify ? kTextAfterGame : (received ? kTextReceived : kTextUpToDate);
        store_.setStatus(done, 100);
    } catch (const HttpError& e) {
        if (e.status == 401) {
            services_.session.forget();
            store_.withLock([](UiState& s) {
                s.signedIn = false;
                s.focusedField = kFocusPassword;
            });
        }
        store_.setStatus(playerMessage(e), 0);
    } catch (const std::exception& e) {
        store_.setStatus(playerMessage(e), 0);
    }
    finishJob();
}

void FlowController::signOutJob() {
    try {
        services_.session.forget();
        if (client_) client_->logout();
        store_.withLock([](UiState& s) {
            wipe(s.password);
            s.username.clear();
            s.signedIn = false;
            s.notifications = json::array();
            s.focusedField = kFocusUsername;
            s.progress = 0;
            s.busyKind = kBusyFinished;
        });
        store_.setStatus(kTextSignedOut, 0);
    } catch (const std::exception& e) {
        store_.setStatus(playerMessage(e), 0);
    }
    finishJob();
}

}  // namespace nyra
