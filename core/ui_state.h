#pragma once
// The one record that workers write and the window reads, its mutex, and the window messages
// that announce changes. Workers never touch the window: they change UiState under the mutex
// and post one of the messages below; the UI thread copies the record once per frame.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"

namespace nyra {

// Window messages (values of WM_APP and WM_CLOSE, kept here so this header stays portable).
inline constexpr unsigned kWmApp = 0x8000;
inline constexpr unsigned kMsgRefresh = kWmApp + 1;       // UiState changed
inline constexpr unsigned kMsgShowHide = kWmApp + 2;      // param 1 hide (game up), 0 show
inline constexpr unsigned kMsgSaveSettings = kWmApp + 3;  // settings panel's save
inline constexpr unsigned kMsgLoadNews = kWmApp + 4;      // news may have changed
inline constexpr unsigned kMsgClose = 0x0010;             // the launcher must end

// Posting side of the window messages; the shell posts to the launcher window and drops the
// message while no window exists. Must not block and must not take the UI mutex.
class WindowPoster {
public:
    virtual ~WindowPoster() = default;
    virtual void post(unsigned message, std::uintptr_t param) = 0;
};

// Busy kinds: 0 connecting, then the preparation phases; anything above 4 is drawn like 4.
inline constexpr int kBusyConnecting = 0;
inline constexpr int kBusyChecking = 1;
inline constexpr int kBusyDownloading = 2;
inline constexpr int kBusyPreparing = 3;
inline constexpr int kBusyFinished = 4;

// Focused login field.
inline constexpr int kFocusNone = 0;
inline constexpr int kFocusUsername = 1;
inline constexpr int kFocusPassword = 2;

// The username field holds at most 20 characters, each printable ASCII (33-126): what the player
// can type, and so the only kind of name a saved session can belong to.
inline constexpr std::size_t kUsernameLimit = 20;
bool fitsUsernameField(std::string_view name) noexcept;

struct NewsItem {
    std::string slug;
    std::string category;
    std::string title;
    std::string summary;
    std::string cover;
    std::string displayDate;
    bool pinned = false;
};

struct InstallEntry {
    std::string path;    // absolute, normalised folder path (UTF-8)
    std::string label;   // path + free space text
    std::string reason;  // why the folder cannot be used; empty when usable
    std::uint64_t freeBytes = 0;
    bool usable = false;
};

struct UiState {
    std::string statusText;
    std::string noticeText;
    std::uint64_t noticeExpiryMs = 0;
    std::string gameVersion;  // drawn as "JOGO: " + text

    std::string username;  // at most 20 characters (the input handlers enforce it)
    std::string password;  // at most 64 characters; wiped with zeros when emptied or dropped
    int focusedField = kFocusNone;
    bool passwordShown = false;

    bool busy = false;
    int busyKind = kBusyConnecting;
    int progress = 0;  // percent 0..100
    bool serverOnline = false;
    bool signedIn = false;
    bool gameRunning = false;

    nlohmann::json notifications = nlohmann::json::array();  // last /api/notifications answer

    std::vector<NewsItem> news;
    int newsIndex = 0;
    std::uint64_t newsRotatedMs = 0;

    bool settingsOpen = false;
    // The game's own defaults, so that a missing preferences file never yields a 0 x 0 mode.
    int resolutionWidth = 1920;
    int resolutionHeight = 1080;
    bool fullScreen = false;
    bool applyToGame = false;  // the launcher's display settings are written to the game
    int graphicsMode = 0;  // 0 standard, 1 enhanced
    bool languageEnglish = false;
    bool languageMenuOpen = false;

    bool installPanelOpen = false;
    std::vector<InstallEntry> installEntries;
    int selectedEntry = -1;
    bool installing = false;
    std::string installMessage;
};

// The copy the UI thread draws one frame from. The password's characters stay out of it unless
// the player asked to see them (the dots need only their number); whatever it holds is wiped when
// the frame is done. Not copyable: a copy would be one more password to wipe.
struct UiSnapshot : UiState {
    explicit UiSnapshot(const UiState& state);
    ~UiSnapshot();
    UiSnapshot(const UiSnapshot&) = delete;
    UiSnapshot& operator=(const UiSnapshot&) = delete;

    std::size_t passwordLength = 0;
};

// Owns UiState and the UI mutex. The mutex is held only to copy or change fields, never across
// I/O, waits or drawing.
class UiStore {
public:
    UiStore(Clock& clock, WindowPoster& poster);
    ~UiStore();
    UiStore(const UiStore&) = delete;
    UiStore& operator=(const UiStore&) = delete;

    // A copy of the record for one frame (see UiSnapshot).
    UiSnapshot snapshot() const;

    // Runs f(UiState&) under the UI mutex, for the writers that take the mutex directly (news
    // loader, install worker, settings and language handlers). f must not wait or do I/O.
    template <typename F>
    decltype(auto) withLock(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(state_);
    }

    // Status line. Refreshes only when the text changed, the percent reached 100 or 100 ms have
    // passed since the last refresh it posted, so a busy download redraws at most ~10 times/s.
    void setStatus(const std::string& text, int percent);
    // Busy kind (the preparation's phase callback); always refreshes.
    void setBusyKind(int kind);
    // Game running; posts hide (1) or show (0) to the window.
    void onGameRunning(bool running);

    // True until the flow ends the splash screen.
    std::atomic<bool>& splash() { return splash_; }
    // The UI language used when translating screen texts; kept equal to languageEnglish.
    std::atomic<bool>& uiEnglish() { return uiEnglish_; }

private:
    mutable std::mutex mutex_;
    UiState state_;
    Clock& clock_;
    WindowPoster& poster_;
    std::uint64_t lastRefreshPostMs_ = 0;
    std::atomic<bool> splash_{true};
    std::atomic<bool> uiEnglish_{false};
};

}  // namespace nyra
