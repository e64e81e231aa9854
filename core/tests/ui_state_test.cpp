#include "core/ui_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nyra {
namespace {

struct ManualClock : Clock {
    std::uint64_t now = 10000;
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
};

struct Poster : WindowPoster {
    std::vector<std::pair<unsigned, std::uintptr_t>> posts;
    void post(unsigned message, std::uintptr_t param) override {
        posts.emplace_back(message, param);
    }
};

TEST(UiStoreTest, SetStatusRefreshesOnNewTextFullProgressOrAfter100ms) {
    struct Step {
        std::uint64_t advanceMs;
        const char* text;
        int percent;
        bool expectRefresh;
        int expectProgress;
    };
    const Step steps[] = {
        {0, "Baixando", 0, true, 0},      // new text
        {10, "Baixando", 5, false, 5},    // same text, 10 ms later
        {50, "Baixando", 7, false, 7},    // 60 ms since the last refresh
        {40, "Baixando", 8, true, 8},     // 100 ms since the last refresh
        {1, "Baixando", 100, true, 100},  // 100 % always shows
        {1, "Baixando", 100, true, 100},
        {1, "Pronto", 3, true, 3},        // new text, 1 ms later
        {99, "Pronto", 4, false, 4},      // 99 ms is not enough
        {1, "Pronto", 150, true, 100},    // clamped into 0..100 (and 100 shows)
    };
    ManualClock clock;
    Poster poster;
    UiStore store(clock, poster);
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.text) + " " + std::to_string(step.percent) + " +" +
                     std::to_string(step.advanceMs));
        clock.now += step.advanceMs;
        const std::size_t before = poster.posts.size();
        store.setStatus(step.text, step.percent);
        EXPECT_EQ(poster.posts.size() - before, step.expectRefresh ? 1u : 0u);
        if (poster.posts.size() > before) {
            EXPECT_EQ(poster.posts.back().first, kMsgRefresh);
        }
        const UiState copy = store.snapshot();
        EXPECT_EQ(copy.statusText, step.text);  // stored even when not announced
        EXPECT_EQ(copy.progress, step.expectProgress);
    }
}

TEST(UiStoreTest, BusyKindAndGameRunningStoreAndPostTheirMessages) {
    ManualClock clock;
    Poster poster;
    UiStore store(clock, poster);

    store.setBusyKind(kBusyDownloading);
    store.setBusyKind(kBusyDownloading);  // the phase callback always refreshes
    store.onGameRunning(true);
    EXPECT_TRUE(store.snapshot().gameRunning);
    store.onGameRunning(false);

    const std::vector<std::pair<unsigned, std::uintptr_t>> expected = {
        {kMsgRefresh, 0}, {kMsgRefresh, 0}, {kMsgShowHide, 1}, {kMsgShowHide, 0}};
    EXPECT_EQ(poster.posts, expected);
    const UiState copy = store.snapshot();
    EXPECT_EQ(copy.busyKind, kBusyDownloading);
    EXPECT_FALSE(copy.gameRunning);
}

TEST(UiStoreTest, InitialStateAndSnapshotIsADetachedCopy) {
    ManualClock clock;
    Poster poster;
    UiStore store(clock, poster);
    EXPECT_TRUE(store.splash().load());
    UiState copy = store.snapshot();
    EXPECT_FALSE(copy.busy);
    EXPECT_FALSE(copy.serverOnline);
    EXPECT_FALSE(copy.signedIn);
    EXPECT_EQ(copy.selectedEntry, -1);
    EXPECT_EQ(copy.resolutionWidth, 1920);
    EXPECT_EQ(copy.resolutionHeight, 1080);

    copy.statusText = "alterado";
    EXPECT_EQ(store.snapshot().statusText, "");
    store.withLock([](UiState& s) { s.username = "ana"; });
    EXPECT_EQ(copy.username, "");
    EXPECT_EQ(store.snapshot().username, "ana");
}

}  // namespace
}  // namespace nyra
