#pragma once
// The jobs between "window is up" and "game runs", and back: start-up, reconnect, Play/Verify
// and sign-out. Each job runs on the single job worker thread and talks to the window only
// through UiStore and posted messages.
#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/services.h"
#include "core/ui_state.h"

namespace nyra {

class FlowController {
public:
    FlowController(UiStore& store, FlowServices& services, Clock& clock, WindowPoster& poster,
                   std::filesystem::path launcherFolder);
    // Sets the stop flag and joins the job worker.
    ~FlowController();
    FlowController(const FlowController&) = delete;
    FlowController& operator=(const FlowController&) = delete;

    // Marks the launcher busy and starts the start-up job. Throws std::system_error when the
    // thread cannot be created (a start-up failure).
    void startStartupJob();
    // Play (verify = false) and Verify (verify = true); UI thread. Starts the play job, or the
    // reconnect job while offline; asks for missing credentials otherwise. Presents a frame by
    // posting kMsgRefresh.
    void start(bool verify);
    // Sign-out link; UI thread. Only when signed in, not busy and no game runs.
    void signOut();

    // Sets the stop flag: every wait of every job ends within one 200-ms slice.
    void requestStop();
    // Waits for the current job to end (does not stop it).
    void joinAll();

    std::atomic<bool>& stopFlag() { return stop_; }
    nlohmann::json packagePolicy() const;
    // Engine folder of the last completed preparation; empty before the first one.
    std::filesystem::path engineFolder() const;

private:
    void launch(std::function<void()> job);
    void runJob(const std::function<void()>& body);  // shows any escaping failure

    void startupJob();
    void reconnectJob();
    void playJob(bool verify);
    void signOutJob();

    void fetchPackagePolicy();
    bool passSelfUpdateGate();  // false: the launcher is being replaced, end the job
    bool relocated();           // true: a launcher started elsewhere, end the job
    void endLauncher();
    std::string restoreSession();  // empty, or the text of an unusable saved session
    void fetchNotifications();
    void writePreferences();
    bool waitMs(std::uint64_t ms);  // false when the stop flag ended the wait
    void setPolicy(nlohmann::json policy);
    void finishJob();  // clears busy and refreshes

    ProgressFn progressFn();

    UiStore& store_;
    FlowServices& services_;
    Clock& clock_;
    WindowPoster& poster_;
    const std::filesystem::path launcherFolder_;

    std::atomic<bool> stop_{false};

    std::mutex workerMutex_;
    std::thread worker_;

    // Written by jobs, read by the UI thread.
    mutable std::mutex dataMutex_;
    nlohmann::json policy_;
    std::filesystem::path engineFolder_;

    // Used only by the job that runs; jobs never overlap.
    std::unique_ptr<BackendClient> client_;
};

}  // namespace nyra
