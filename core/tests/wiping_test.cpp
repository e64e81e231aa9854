// Secrets leave nothing in released memory: observed through allocators that record what every
// block held when it was handed back, never by reading freed memory.
#include "core/text.h"
#include "core/ui_state.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nyra {
namespace {

// What the blocks held when they were released: one entry per block, true when all zero.
struct ReleaseLog {
    std::vector<bool> allZero;
    std::size_t largestBlock = 0;
};

template <typename T>
struct RecordingAllocator {
    using value_type = T;
    explicit RecordingAllocator(ReleaseLog& l) noexcept : log(&l) {}
    template <typename U>
    RecordingAllocator(const RecordingAllocator<U>& other) noexcept : log(other.log) {}
    T* allocate(std::size_t n) {
        log->largestBlock = std::max(log->largestBlock, n * sizeof(T));
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* block, std::size_t n) noexcept {
        const auto* bytes = reinterpret_cast<const unsigned char*>(block);
        log->allZero.push_back(std::all_of(bytes, bytes + n * sizeof(T), [](unsigned char b) { return b == 0; }));
        std::allocator<T>().deallocate(block, n);
    }
    template <typename U>
    bool operator==(const RecordingAllocator<U>& other) const noexcept {
        return log == other.log;
    }
    ReleaseLog* log;
};

constexpr char kSecret[] = "a password long enough to live outside the string object";

TEST(WipingAllocator, EveryReleasedBlockIsZeroOnGrowthAndDestruction) {
    ReleaseLog bytesLog;
    {
        using Alloc = WipingAllocator<std::uint8_t, RecordingAllocator<std::uint8_t>>;
        std::vector<std::uint8_t, Alloc> bytes{Alloc(RecordingAllocator<std::uint8_t>(bytesLog))};
        for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<std::uint8_t>(i | 1));  // several moves
    }
    EXPECT_GE(bytesLog.allZero.size(), 5u);
    EXPECT_TRUE(std::all_of(bytesLog.allZero.begin(), bytesLog.allZero.end(), [](bool zero) { return zero; }));

    ReleaseLog textLog;
    {
        using Alloc = WipingAllocator<char, RecordingAllocator<char>>;
        std::basic_string<char, std::char_traits<char>, Alloc> text{Alloc(RecordingAllocator<char>(textLog))};
        for (const char c : std::string(kSecret) + kSecret + kSecret) text.push_back(c);
    }
    EXPECT_GE(textLog.allZero.size(), 2u);
    EXPECT_TRUE(std::all_of(textLog.allZero.begin(), textLog.allZero.end(), [](bool zero) { return zero; }));
}

TEST(ResizeWiping, AGrowingBodyLeavesEveryOldBlockZeroAndKeepsItsBytes) {
    ReleaseLog log;
    std::vector<std::uint8_t> expected;
    {
        std::vector<std::uint8_t, RecordingAllocator<std::uint8_t>> body{RecordingAllocator<std::uint8_t>(log)};
        // Chunks as a server announces them; the capacity is capped at the body limit.
        for (const std::size_t chunk : {3u, 5u, 700u, 1u, 8000u, 300u}) {
            const std::size_t start = body.size();
            resizeWiping(body, start + chunk, 9009);
            for (std::size_t i = start; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>((i % 250) + 1);
            for (std::size_t i = start; i < body.size(); ++i) expected.push_back(static_cast<std::uint8_t>((i % 250) + 1));
        }
        EXPECT_TRUE(std::equal(body.begin(), body.end(), expected.begin(), expected.end()));
        EXPECT_LE(body.capacity(), 9009u);
        const std::size_t grown = log.allZero.size();
        EXPECT_GE(grown, 4u);
        EXPECT_TRUE(std::all_of(log.allZero.begin(), log.allZero.end(), [](bool zero) { return zero; }));
        wipe(body);
        EXPECT_TRUE(body.empty());
    }
    EXPECT_LE(log.largestBlock, 9009u);
    EXPECT_TRUE(log.allZero.back()) << "the final block, wiped before it was released";
}

TEST(WipeText, ConversionsAreSizedOnceAndWipeCoversTheWholeBuffer) {
    // Sized before filling: a converted secret never moves to a bigger block.
    const std::u16string wide = u"senha-com-acentuação-€€€-𝄞𝄞-e-mais-texto-ainda";
    const std::string narrow = utf16ToUtf8(wide);
    EXPECT_EQ(narrow.capacity(), narrow.size());
    const std::u16string back = utf8ToUtf16(narrow);
    EXPECT_EQ(back, wide);
    EXPECT_EQ(back.capacity(), back.size());

    // A shorter text that replaced a longer one: the old tail is zeroed as well.
    std::string secret = kSecret;
    secret.resize(4);
    const char* bytes = secret.data();
    const std::size_t capacity = secret.capacity();
    wipe(secret);
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(secret.capacity(), capacity);  // still this string's own buffer
    EXPECT_TRUE(std::all_of(bytes, bytes + capacity, [](char c) { return c == 0; }));
}

TEST(WipeJson, EveryStringAtAnyDepthIsZeroedAndTheShapeStays) {
    nlohmann::json document = {{"key", kSecret},
                               {"list", {kSecret, 7, {{"token", kSecret}, {"n", nullptr}}}},
                               {"count", 3}};
    const std::string* token = &document["list"][2]["token"].get_ref<const std::string&>();
    const char* tokenBytes = token->data();
    const std::size_t capacity = token->capacity();

    wipe(document);
    EXPECT_EQ(document, (nlohmann::json{{"key", ""}, {"list", {"", 7, {{"token", ""}, {"n", nullptr}}}}, {"count", 3}}));
    EXPECT_TRUE(std::all_of(tokenBytes, tokenBytes + capacity, [](char c) { return c == 0; }));
}

TEST(WipeOnExit, WipesWhenTheScopeEndsByAnException) {
    std::string secret = kSecret;
    try {
        const WipeOnExit guard(secret);
        throw std::runtime_error("falha");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(secret.empty());
}

struct NoPoster : WindowPoster {
    void post(unsigned, std::uintptr_t) override {}
};
struct FixedClock : Clock {
    std::uint64_t tickMs() override { return 0; }
    void sleepMs(std::uint32_t) override {}
};

TEST(UiSnapshot, AHiddenPasswordTravelsAsItsLengthOnly) {
    FixedClock clock;
    NoPoster poster;
    UiStore store(clock, poster);
    store.withLock([](UiState& s) { s.password = "s3nh@!"; });

    {
        const UiSnapshot frame = store.snapshot();
        EXPECT_TRUE(frame.password.empty());
        EXPECT_EQ(frame.passwordLength, 6u);
    }
    store.withLock([](UiState& s) { s.passwordShown = true; });
    {
        const UiSnapshot frame = store.snapshot();  // the player asked to see it
        EXPECT_EQ(frame.password, "s3nh@!");
        EXPECT_EQ(frame.passwordLength, 6u);
    }
    // The record itself keeps the text for the sign-in.
    EXPECT_EQ(store.withLock([](UiState& s) { return s.password; }), "s3nh@!");
}

}  // namespace
}  // namespace nyra
