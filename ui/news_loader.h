#pragma once
// The news loader: runs the feed fetch on its own thread, at most one at a time, and replaces the
// list in UiState when the feed gave at least one valid item. A failed fetch keeps the list as it
// was (at first: the empty state with the built-in item); its message is kept for support, never
// shown.
#include "core/clock.h"
#include "core/ui_state.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nyra::ui {

// Fetches the feed (up to six items) or throws with the player's message. `stop` is set at
// shutdown; the fetch gives up at its next step once it sees it.
using NewsFetch = std::function<std::vector<NewsItem>(const std::atomic<bool>& stop)>;

class NewsLoader {
public:
    NewsLoader(UiStore& store, Clock& clock, WindowPoster& poster, NewsFetch fetch);
    // Stops and waits for a running fetch (at most one blocking network step).
    ~NewsLoader();
    NewsLoader(const NewsLoader&) = delete;
    NewsLoader& operator=(const NewsLoader&) = delete;

    // Starts a fetch unless one is running (then nothing happens and the answer is false). Safe
    // to call from the window procedure: it never waits on the network and never throws.
    bool start();
    // Waits for the current fetch, if any, to end.
    void join();
    // Shutdown: a running fetch stops at its next step and stores nothing; no new one starts.
    void requestStop();

    bool running() const { return running_.load(); }
    // The message of the last failed fetch; empty after a success.
    std::string lastError() const;

private:
    void run();

    UiStore& store_;
    Clock& clock_;
    WindowPoster& poster_;
    NewsFetch fetch_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::mutex threadMutex_;  // guards thread_ (start and join may come from different threads)
    std::thread thread_;
    mutable std::mutex errorMutex_;
    std::string lastError_;
};

}  // namespace nyra::ui
