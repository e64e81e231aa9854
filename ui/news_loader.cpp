#include "ui/news_loader.h"

#include "core/player_message.h"

#include <exception>
#include <system_error>
#include <utility>

namespace nyra::ui {

NewsLoader::NewsLoader(UiStore& store, Clock& clock, WindowPoster& poster, NewsFetch fetch)
    : store_(store), clock_(clock), poster_(poster), fetch_(std::move(fetch)) {}

NewsLoader::~NewsLoader() {
    requestStop();
    join();
}

void NewsLoader::requestStop() { stop_ = true; }

bool NewsLoader::start() {
    if (stop_.load() || running_.exchange(true)) return false;
    std::lock_guard<std::mutex> lock(threadMutex_);
    // The previous run has marked itself finished, so this join returns at once.
    if (thread_.joinable()) thread_.join();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        running_ = false;  // no thread now; the next request tries again
        return false;
    }
    return true;
}

void NewsLoader::join() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (thread_.joinable()) thread_.join();
}

std::string NewsLoader::lastError() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return lastError_;
}

void NewsLoader::run() {
    std::string error;
    try {
        std::vector<NewsItem> items = fetch_(stop_);
        if (!items.empty() && !stop_.load()) {
            const std::uint64_t now = clock_.tickMs();
            store_.withLock([&](UiState& state) {
                state.news = std::move(items);
                state.newsIndex = 0;
                state.newsRotatedMs = now;
            });
        }
    } catch (const std::exception& failure) {
        error = playerMessage(failure);
    } catch (...) {
        error = "Noticias indisponiveis.";
    }
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        lastError_ = std::move(error);
    }
    running_ = false;
    poster_.post(kMsgRefresh, 0);
}

}  // namespace nyra::ui
