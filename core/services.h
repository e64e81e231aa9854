#pragma once
// The later subsystems as the flow's jobs see them. The jobs receive them through FlowServices
// so that each one can be replaced (by the product implementation once it exists, or by a fake
// in tests). Every failure is an exception whose text is the player's message; a refused
// backend answer is nyra::HttpError with its status.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/http_error.h"

namespace nyra {

// Status text and integer percent 0..100.
using ProgressFn = std::function<void(const std::string& text, int percent)>;
// Busy kind / preparation phase (1 checking, 2 downloading, 3 preparing components, 4 ready).
using PhaseFn = std::function<void(int phase)>;
// Game window up (true) or game ended (false).
using GameRunningFn = std::function<void(bool running)>;

// The backend client. One object is used by one job at a time.
class BackendClient {
public:
    virtual ~BackendClient() = default;
    // One backend operation named by its internal path ("/api/notifications", ...).
    virtual nlohmann::json call(const std::string& path, const nlohmann::json& args) = 0;
    // Succeeds when the backend confirmed a session.
    virtual void login(const std::string& username, const std::string& password,
                       const std::string& hwid, const std::string& hwidInfo, bool remember) = 0;
    // Signs out on the backend and forgets the session and download authorisation.
    virtual void logout() = 0;
    // Adopts a saved session value and asks the backend whose it is (the bootstrap's `user`).
    virtual nlohmann::json resumeSession(const std::string& value) = 0;
    // The session cookie value held after a sign-in (empty when signed out).
    virtual const std::string& sessionCookie() const = 0;
};

class BackendFactory {
public:
    virtual ~BackendFactory() = default;
    // A fresh client for the backend's HTTPS port (443).
    virtual std::unique_ptr<BackendClient> create() = 0;
};

class HomeService {
public:
    virtual ~HomeService() = default;
    // Moves or repairs an unsuitable launcher folder. True when a launcher has been started
    // elsewhere; the flow then sets the stop flag and closes the window.
    virtual bool relocateAtStart(const std::filesystem::path& launcherFolder,
                                 const ProgressFn& progress, std::atomic<bool>& stop) = 0;
};

class SelfUpdate {
public:
    virtual ~SelfUpdate() = default;
    // False when the running launcher is current; true when an updater has been started and
    // confirmed (the launcher is being replaced).
    virtual bool checkLauncherUpdate(BackendClient& client,
                                     const std::filesystem::path& launcherFolder,
                                     const nlohmann::json& packagePolicy,
                                     const ProgressFn& progress, std::atomic<bool>& cancel) = 0;
};

class SavedSession {
public:
    virtual ~SavedSession() = default;
    // Loads the saved session and resumes it on `client`. The account's user name when the
    // backend still knows the session; nullopt when there is none (a rejected or unreadable
    // resumption is forgotten inside and also gives nullopt). Throws when the saved file
    // itself cannot be used ("Sessao pertence a outro Windows.", ...); the file stays.
    virtual std::optional<std::string> restore(BackendClient& client) = 0;
    // Saves the session that `client` holds after a sign-in.
    virtual void save(BackendClient& client) = 0;
    // Deletes the saved session; failures are ignored.
    virtual void forget() noexcept = 0;
};

struct HardwareId {
    std::string hwid;      // 64 lower-case hex characters
    std::string hwidInfo;  // composition rule, "HWID v1"
};

class HardwareIdentity {
public:
    virtual ~HardwareIdentity() = default;
    virtual HardwareId identity() = 0;
};

// The result of a completed preparation. Holding it keeps the verified packs locked and the
// temporary components in place; releasing it closes the locks and removes the components.
class PreparedGame {
public:
    virtual ~PreparedGame() = default;
    // The protected working folder the game runs from.
    virtual std::filesystem::path engineFolder() const = 0;
    // Whether the preparation downloaded the catalog or any pack.
    virtual bool receivedOrRepaired() const = 0;
};

class Preparation {
public:
    virtual ~Preparation() = default;
    // Verifies and repairs the game files, repeating while the server publishes a new package
    // set (at most three passes). Never returns null.
    virtual std::unique_ptr<PreparedGame> prepareUntilStable(
        BackendClient& client, const std::filesystem::path& gameFolder, bool forceFull,
        std::atomic<bool>& cancel, const ProgressFn& progress, const PhaseFn& phase) = 0;
};

class GameSettings {
public:
    virtual ~GameSettings() = default;
    // Writes pending launcher video settings into the game's INI in `engineFolder` (clearing
    // the pending flag in UiState), then re-reads the INI into UiState.
    virtual void applyPendingAndReload(const std::filesystem::path& engineFolder) = 0;
};

class PreferencesWriter {
public:
    virtual ~PreferencesWriter() = default;
    // Writes the compact JSON text of `preferences` to "preferences.json" in `launcherFolder`.
    virtual void writePreferences(const std::filesystem::path& launcherFolder,
                                  const nlohmann::json& preferences) = 0;
};

class ProcessEnvironment {
public:
    virtual ~ProcessEnvironment() = default;
    // Sets a variable of the launcher's own process, inherited by the game.
    virtual void setVariable(const std::string& name, const std::string& value) = 0;
};

class GameSession {
public:
    virtual ~GameSession() = default;
    // Starts the game and supervises it; returns when the game has ended. Holds `prepared`
    // until then. Calls gameRunning(true) once the game is up and gameRunning(false) when it
    // ends or fails.
    virtual void runGameSession(BackendClient& client, const std::filesystem::path& launcherFolder,
                                std::unique_ptr<PreparedGame> prepared, std::atomic<bool>& stop,
                                const ProgressFn& progress, const GameRunningFn& gameRunning) = 0;
};

// Everything the jobs call outside core. The referenced objects must outlive the controller.
struct FlowServices {
    BackendFactory& backend;
    HomeService& home;
    SelfUpdate& selfUpdate;
    SavedSession& session;
    HardwareIdentity& hardware;
    Preparation& preparation;
    GameSettings& settings;
    PreferencesWriter& preferences;
    ProcessEnvironment& environment;
    GameSession& game;
};

}  // namespace nyra
