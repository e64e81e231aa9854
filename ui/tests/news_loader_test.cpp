#include "ui/news_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace nyra::ui {
namespace {

struct ManualClock : Clock {
    std::atomic<std::uint64_t> now{50000};
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
};

struct Poster : WindowPoster {
    std::mutex mutex;
    std::vector<unsigned> posts;
    void post(unsigned message, std::uintptr_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        posts.push_back(message);
    }
    std::size_t refreshes() {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(std::count(posts.begin(), posts.end(), kMsgRefresh));
    }
};

NewsItem item(const char* slug) {
    NewsItem n;
    n.slug = slug;
    n.title = slug;
    return n;
}

class NewsLoaderTest : public ::testing::Test {
protected:
    ManualClock clock;
    Poster poster;
    UiStore store{clock, poster};

    void seed(std::vector<NewsItem> items, int index) {
        store.withLock([&](UiState& s) {
            s.news = std::move(items);
            s.newsIndex = index;
            s.newsRotatedMs = 7;
        });
    }
};

TEST_F(NewsLoaderTest, AResultReplacesTheListAndRestartsTheRotation) {
    seed({item("old-a"), item("old-b")}, 1);
    NewsLoader loader(store, clock, poster, [](const std::atomic<bool>&) { return std::vector<NewsItem>{item("a"), item("b"), item("c")}; });
    ASSERT_TRUE(loader.start());
    loader.join();
    const UiState s = store.snapshot();
    ASSERT_EQ(s.news.size(), 3u);
    EXPECT_EQ(s.news[0].slug, "a");
    EXPECT_EQ(s.newsIndex, 0);
    EXPECT_EQ(s.newsRotatedMs, 50000u);
    EXPECT_EQ(poster.refreshes(), 1u);
    EXPECT_FALSE(loader.running());
    EXPECT_EQ(loader.lastError(), "");
}

TEST_F(NewsLoaderTest, AnEmptyFeedOrAFailureKeepsTheList) {
    seed({item("kept")}, 0);
    NewsLoader empty(store, clock, poster, [](const std::atomic<bool>&) { return std::vector<NewsItem>{}; });
    ASSERT_TRUE(empty.start());
    empty.join();
    NewsLoader failing(store, clock, poster,
                       [](const std::atomic<bool>&) -> std::vector<NewsItem> { throw std::runtime_error("Resposta de noticias invalida."); });
    ASSERT_TRUE(failing.start());
    failing.join();
    const UiState s = store.snapshot();
    ASSERT_EQ(s.news.size(), 1u);
    EXPECT_EQ(s.news[0].slug, "kept");
    EXPECT_EQ(s.newsRotatedMs, 7u);
    EXPECT_EQ(failing.lastError(), "Resposta de noticias invalida.");
    EXPECT_EQ(poster.refreshes(), 2u);  // finished runs always refresh
}

TEST_F(NewsLoaderTest, OneFetchAtATime) {
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<int> fetches{0};
    NewsLoader loader(store, clock, poster, [&](const std::atomic<bool>&) {
        ++fetches;
        gate.wait();
        return std::vector<NewsItem>{item("a")};
    });
    ASSERT_TRUE(loader.start());
    EXPECT_FALSE(loader.start());  // a request while one runs does nothing
    EXPECT_TRUE(loader.running());
    release.set_value();
    loader.join();
    EXPECT_TRUE(loader.start());  // accepted again once finished
    loader.join();
    EXPECT_EQ(fetches.load(), 2);
}

TEST_F(NewsLoaderTest, AStoppedLoaderStoresNothingAndStartsNoMore) {
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    bool sawStop = false;
    NewsLoader loader(store, clock, poster, [&](const std::atomic<bool>& stop) {
        gate.wait();
        sawStop = stop.load();
        return std::vector<NewsItem>{item("late")};
    });
    ASSERT_TRUE(loader.start());
    loader.requestStop();
    release.set_value();
    loader.join();
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(store.snapshot().news.empty());
    EXPECT_FALSE(loader.start());
}

}  // namespace
}  // namespace nyra::ui
