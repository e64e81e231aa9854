// The relay's fixed rules as tables: channels and port map, acknowledgement text, when the
// acknowledger speaks, the retry schedules, and the bound of the queue towards the game.
#include "core/tests/failure_text.h"
#include "relay/to_game_queue.h"
#include "relay/tunnel_rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

namespace nyra {
namespace {

TEST(RelayChannels, PortMapNamesEachChannelByTheGamesServerPort) {
    const nlohmann::json map = relayPortMap({50001, 50002, 65535});
    EXPECT_EQ(map, nlohmann::json::parse(R"({"6543": 50001, "5712": 50002, "10166": 65535})"));
    EXPECT_TRUE(map["10166"].is_number_unsigned());
    EXPECT_EQ(kRelayChannels[0].name, "login");
    EXPECT_EQ(kRelayChannels[1].counterKey, "world_streams");
    EXPECT_EQ(kRelayChannels[2].name, "zone");
}

TEST(Acknowledgement, TextIsOneToTwentyDigitsWithinSixtyFourBits) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> value;
    } cases[] = {
        {"0", 0},
        {"7", 7},
        {"000123", 123},
        {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"00000000000000000001", 1},              // 20 digits
        {"18446744073709551616", std::nullopt},   // 20 digits, one above 2^64 - 1
        {"99999999999999999999", std::nullopt},
        {"000000000000000000001", std::nullopt},  // 21 digits, small value
        {"", std::nullopt},
        {"+5", std::nullopt},
        {"-5", std::nullopt},
        {"5 ", std::nullopt},
        {" 5", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseAcknowledgement(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(Acknowledgement, SentOncePerSecondWhileDataFlowsAt32KiBAtOnceAndEveryThreeSecondsAsKeepAlive) {
    const struct {
        std::uint64_t received, lastSent, now, lastTime;
        bool send;
    } cases[] = {
        {100, 100, 10'000, 7'001, false},  // nothing new, 2999 ms
        {100, 100, 10'000, 7'000, true},   // nothing new, 3000 ms: keep-alive
        {0, 0, 10'000, 6'000, true},
        {32867, 100, 10'000, 9'999, false},  // 32767 new bytes
        {32868, 100, 10'000, 9'999, true},   // 32768 new bytes
        {101, 100, 10'000, 9'001, false},    // new bytes, 999 ms
        {101, 100, 10'000, 9'000, true},     // new bytes, 1000 ms
        {101, 100, 9'000, 9'500, false},     // a tick read before the last send was stamped
        {100, 100, 9'000, 9'500, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shouldAcknowledge(c.received, c.lastSent, c.now, c.lastTime), c.send)
            << c.received << ' ' << c.lastSent << ' ' << c.now << ' ' << c.lastTime;
    }
}

TEST(RetrySchedules, OpeningWaitsDoubleFrom250AndResumingFrom200BothCappedAt3000) {
    const std::uint32_t open[] = {250, 500, 1000, 2000, 3000, 3000};
    const std::uint32_t resume[] = {200, 400, 800, 1600, 3000, 3000, 3000};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(openRetryWaitMs(i), open[i]) << i;
    for (int i = 0; i < 7; ++i) EXPECT_EQ(resumeRetryWaitMs(i), resume[i]) << i;
    EXPECT_EQ(resumeRetryWaitMs(1000), 3000u);
    for (const int status : {400, 401, 403, 404, 410}) EXPECT_TRUE(refusalIsFinal(status)) << status;
    for (const int status : {0, 402, 405, 408, 429, 500, 502, 503}) EXPECT_FALSE(refusalIsFinal(status)) << status;
}

SecretBytes bytesOf(std::size_t size, std::uint8_t value = 1) { return SecretBytes(size, value); }

TEST(ToGameQueue, HoldsUpToItsCapacityAndRefusesBeyondItOrOnceClosed) {
    const std::string overflow = "O cliente excedeu o buffer limitado de recepcao.";
    ToGameQueue queue(10000);
    queue.push(bytesOf(6000));
    queue.push(bytesOf(4000));  // exactly full
    EXPECT_EQ(test::failureOf([&] { queue.push(bytesOf(1)); }), overflow);
    EXPECT_EQ(queue.pop()->size(), 6000u);  // taking a chunk frees its room
    queue.push(bytesOf(6000));
    EXPECT_EQ(queue.queuedBytes(), 10000u);
    queue.close();
    EXPECT_EQ(queue.queuedBytes(), 0u);
    EXPECT_FALSE(queue.pop());
    EXPECT_EQ(test::failureOf([&] { queue.push(bytesOf(1)); }), overflow);
}

TEST(ToGameQueue, EndingDeliversWhatIsQueuedThenReportsTheEnd) {
    ToGameQueue queue(kToGameCapacity);
    queue.push(bytesOf(5000, 7));
    queue.push(bytesOf(5, 8));
    queue.endAfterDelivery();
    EXPECT_EQ(test::failureOf([&] { queue.push(bytesOf(1)); }), "O cliente excedeu o buffer limitado de recepcao.");
    EXPECT_EQ(queue.pop(), bytesOf(5000, 7));
    EXPECT_EQ(queue.pop(), bytesOf(5, 8));
    EXPECT_FALSE(queue.pop());
}

TEST(ToGameQueue, TinyMessagesCostTheirBytesNotAChunkEach) {
    // A server that sends one byte at a time to a game that does not read: chunk per byte would
    // be a heap block and a queue slot per byte, hundreds of MiB behind an 8-MiB limit.
    constexpr std::size_t kCapacity = 64 * 1024;
    ToGameQueue queue(kCapacity);
    SecretBytes sent;
    for (std::size_t i = 0; i < kCapacity; ++i) {
        const auto byte = static_cast<std::uint8_t>(i * 7);
        queue.push(bytesOf(1, byte));
        sent.push_back(byte);
    }
    EXPECT_EQ(queue.queuedBytes(), kCapacity);
    EXPECT_LE(queue.queuedChunks(), kCapacity / ToGameQueue::kJoinBelow);
    // Mixed sizes keep their order, and stay within two chunks per kJoinBelow bytes.
    SecretBytes taken;
    while (queue.queuedBytes() > 0) {
        const auto chunk = queue.pop();
        taken.insert(taken.end(), chunk->begin(), chunk->end());
    }
    EXPECT_EQ(taken, sent);
    ToGameQueue mixed(kCapacity);
    for (std::size_t done = 0; done + 4097 <= kCapacity; done += 4097) {
        mixed.push(bytesOf(1));
        mixed.push(bytesOf(4096));
    }
    EXPECT_LE(mixed.queuedChunks(), 2 * kCapacity / ToGameQueue::kJoinBelow);
}

TEST(ToGameQueue, TheProducerWritesItselfOnlyWhenNothingQueuedOrHeldCouldGoFirst) {
    // A byte written directly must never overtake one the writer has not written yet.
    ToGameQueue queue(kToGameCapacity);
    ASSERT_TRUE(queue.beginDirect());
    EXPECT_FALSE(queue.beginDirect());  // one direct write at a time
    queue.endDirect();
    queue.push(bytesOf(10, 1));
    EXPECT_FALSE(queue.beginDirect());  // queued bytes go first
    const auto taken = queue.pop();
    EXPECT_FALSE(queue.beginDirect());  // the writer may still be writing what it took
    // While the producer writes, the writer takes nothing (it would race the producer's bytes).
    std::atomic<bool> popped{false};
    std::thread writer([&] {
        EXPECT_EQ(queue.pop(), bytesOf(5, 2));  // its next pop: the chunk before is written
        popped = true;
    });
    while (!queue.beginDirect()) std::this_thread::yield();  // the writer is back in pop
    queue.endDirect();
    queue.push(bytesOf(5, 2));
    writer.join();
    EXPECT_TRUE(popped);
    EXPECT_FALSE(queue.beginDirect());  // the writer holds that chunk until it asks for the next
    queue.endAfterDelivery();
    EXPECT_FALSE(queue.pop());
    EXPECT_FALSE(queue.beginDirect());  // an ending queue takes nothing more
}

TEST(ToGameQueue, AFullQueueHasRoomOnceTheWriterTakesAChunkOrItCloses) {
    using std::chrono::milliseconds;
    ToGameQueue queue(100);
    queue.push(bytesOf(100));
    EXPECT_TRUE(queue.waitForRoom(0, milliseconds(0)));
    EXPECT_FALSE(queue.waitForRoom(1, milliseconds(1)));
    std::thread writer([&] { EXPECT_EQ(queue.pop()->size(), 100u); });
    EXPECT_TRUE(queue.waitForRoom(100, std::chrono::hours(1)));  // woken by the writer
    writer.join();
    queue.push(bytesOf(100));
    std::thread closer([&] { queue.close(); });
    EXPECT_TRUE(queue.waitForRoom(1, std::chrono::hours(1)));  // woken by the close; push then refuses
    closer.join();
    EXPECT_EQ(test::failureOf([&] { queue.push(bytesOf(1)); }), "O cliente excedeu o buffer limitado de recepcao.");
}

TEST(ToGameQueue, ClosingWakesAWaitingWriter) {
    ToGameQueue queue(kToGameCapacity);
    std::optional<SecretBytes> taken = bytesOf(1);
    std::thread writer([&] { taken = queue.pop(); });
    queue.close();
    writer.join();
    EXPECT_FALSE(taken);
}

}  // namespace
}  // namespace nyra
