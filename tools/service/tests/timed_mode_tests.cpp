// What the game-shaped relay benchmark stands on: the game servers' timed mode (its opening, its
// framing, its receipts) and the relay's timed drop of one channel's WebSockets.
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "tools/common/timed_messages.h"
#include "tools/service/faults.h"
#include "tools/service/game_servers.h"
#include "tools/service/tests/harness.h"
#include "tools/service/tests/relay_client.h"

namespace nyra::service::testing {
namespace {

using nlohmann::json;
namespace timed = tools::timed;
using tcp = boost::asio::ip::tcp;

TEST(TimedFramingTest, OpeningIsValidatedAndRoundTrips) {
    const struct {
        timed::Open open;
        bool valid;
    } cases[] = {
        {{60, 64, 512, 7}, true},     {{0, 16, 16, 0}, true},        {{1000, 16, 4096, ~0ull}, true},
        {{1001, 64, 512, 7}, false},  {{60, 15, 512, 7}, false},     {{60, 513, 512, 7}, false},
        {{60, 64, 4097, 7}, false},   {{65535, 64, 512, 7}, false},
    };
    for (const auto& c : cases) {
        const auto bytes = timed::encodeOpen(c.open);
        const auto parsed = timed::parseOpen(bytes);
        ASSERT_EQ(parsed.has_value(), c.valid) << c.open.rate << " " << c.open.smallest << "-" << c.open.largest;
        if (parsed) {
            EXPECT_EQ(parsed->rate, c.open.rate);
            EXPECT_EQ(parsed->smallest, c.open.smallest);
            EXPECT_EQ(parsed->largest, c.open.largest);
            EXPECT_EQ(parsed->seed, c.open.seed);
        }
    }
    auto wrongMode = timed::encodeOpen({});
    wrongMode[0] = 'S';
    EXPECT_FALSE(timed::parseOpen(wrongMode));
    const timed::Open open{60, 64, 512, 3};
    for (std::uint32_t sequence = 0; sequence < 1000; ++sequence) {
        const std::size_t size = timed::messageSize(open, sequence);
        ASSERT_TRUE(size >= 64 && size <= 512) << size;
    }
}

TEST(TimedFramingTest, FramesSurviveAnySplitAndBadBytesStopTheReader) {
    std::vector<std::uint8_t> stream;
    timed::appendMessage(stream, 0, 111, 15);
    timed::appendReceipt(stream, 0, 111, 222);
    timed::appendMessage(stream, 1, 333, 4096);
    timed::appendMessage(stream, 2, 444, 64);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4000}, stream.size()}) {
        timed::FrameReader reader;
        std::vector<timed::Frame> frames;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.append({stream.data() + at, std::min(piece, stream.size() - at)});
            timed::Frame frame;
            timed::FrameReader::Result result;
            while ((result = reader.next(frame)) == timed::FrameReader::Result::Frame) frames.push_back(frame);
            ASSERT_EQ(result, timed::FrameReader::Result::NeedMore);
        }
        ASSERT_EQ(frames.size(), 4u) << piece;
        EXPECT_EQ(frames[1].kind, 'R');
        EXPECT_EQ(frames[1].sentAt, 111u);
        EXPECT_EQ(frames[1].receivedAt, 222u);
        EXPECT_EQ(frames[2].sequence, 1u);
        EXPECT_EQ(frames[2].size, 4096u);
        EXPECT_EQ(frames[3].sentAt, 444u);
        EXPECT_EQ(reader.buffered(), 0u);
    }
    const auto bad = [](std::vector<std::uint8_t> bytes) {
        timed::FrameReader reader;
        reader.append(bytes);
        timed::Frame frame;
        return reader.next(frame) == timed::FrameReader::Result::Bad;
    };
    std::vector<std::uint8_t> good;
    timed::appendMessage(good, 5, 1, 40);
    auto padding = good;
    padding[30] ^= 1;
    auto tooLong = good;
    tooLong[0] = 0x01, tooLong[1] = 0x10;  // 4097
    auto tooShort = good;
    tooShort[0] = 14, tooShort[1] = 0;
    auto kind = good;
    kind[2] = 'X';
    std::vector<std::uint8_t> receipt;
    timed::appendReceipt(receipt, 0, 1, 2);
    receipt[0] = 24;
    EXPECT_FALSE(bad(good));
    for (const auto& bytes : {padding, tooLong, tooShort, kind, receipt}) EXPECT_TRUE(bad(bytes));
}

class TimedServerTest : public ::testing::Test {
protected:
    void SetUp() override { servers.start(); }
    void TearDown() override { servers.stop(); }

    tcp::socket connect() {
        tcp::socket socket(io);
        socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), servers.ports()[2]));
        return socket;
    }
    // True when the server closes the connection before sending anything.
    static bool closedSilently(tcp::socket& socket) {
        char byte = 0;
        boost::system::error_code error;
        socket.read_some(boost::asio::buffer(&byte, 1), error);
        return static_cast<bool>(error);
    }

    GameServers servers;
    boost::asio::io_context io;
};

TEST_F(TimedServerTest, StampedMessagesAtTheRateAndAReceiptForEveryMessage) {
    auto socket = connect();
    const timed::Open open{200, 16, 300, 9};
    const auto opening = timed::encodeOpen(open);
    std::vector<std::uint8_t> out(opening.begin(), opening.end());
    const std::uint64_t before = unixMicros();
    for (std::uint32_t sequence = 0; sequence < 3; ++sequence) timed::appendMessage(out, sequence, before + sequence, 100);
    // The opening and the messages in pieces that cut through them.
    for (std::size_t at = 0; at < out.size(); at += 11) {
        boost::asio::write(socket, boost::asio::buffer(out.data() + at, std::min<std::size_t>(11, out.size() - at)));
    }
    timed::FrameReader reader;
    std::vector<timed::Frame> receipts, messages;
    std::array<std::uint8_t, 4096> buffer{};
    while (receipts.size() < 3 || messages.size() < 20) {
        const std::size_t got = socket.read_some(boost::asio::buffer(buffer));
        reader.append({buffer.data(), got});
        timed::Frame frame;
        timed::FrameReader::Result result;
        while ((result = reader.next(frame)) == timed::FrameReader::Result::Frame) {
            (frame.kind == 'R' ? receipts : messages).push_back(frame);
        }
        ASSERT_EQ(result, timed::FrameReader::Result::NeedMore);
    }
    const std::uint64_t after = unixMicros();
    for (std::uint32_t sequence = 0; sequence < 3; ++sequence) {
        EXPECT_EQ(receipts[sequence].sequence, sequence);
        EXPECT_EQ(receipts[sequence].sentAt, before + sequence);
        EXPECT_TRUE(receipts[sequence].receivedAt >= before && receipts[sequence].receivedAt <= after);
    }
    for (std::uint32_t sequence = 0; sequence < messages.size(); ++sequence) {
        EXPECT_EQ(messages[sequence].sequence, sequence);
        EXPECT_EQ(messages[sequence].size, timed::messageSize(open, sequence));
        EXPECT_TRUE(messages[sequence].sentAt >= before && messages[sequence].sentAt <= after);
    }
    // 20 messages at 200 a second: message 19 is due 95 ms after the first.
    EXPECT_GE(messages[19].sentAt - messages[0].sentAt, 90000u);
}

TEST_F(TimedServerTest, BadOpeningsAndMessagesCloseTheConnection) {
    for (const timed::Open open : {timed::Open{1001, 64, 512, 1}, timed::Open{60, 8, 512, 1}, timed::Open{60, 600, 512, 1},
                                   timed::Open{60, 64, 5000, 1}}) {
        auto socket = connect();
        boost::asio::write(socket, boost::asio::buffer(timed::encodeOpen(open)));
        EXPECT_TRUE(closedSilently(socket)) << open.rate << " " << open.smallest << "-" << open.largest;
    }
    const auto opening = timed::encodeOpen({0, 64, 64, 1});
    std::vector<std::uint8_t> receiptFromGame(opening.begin(), opening.end());
    timed::appendReceipt(receiptFromGame, 0, 1, 2);
    auto socket = connect();
    boost::asio::write(socket, boost::asio::buffer(receiptFromGame));
    EXPECT_TRUE(closedSilently(socket)) << "a game sends messages, not receipts (rate 0: nothing else comes)";
}

TEST(TimedDropRuleTest, ParsedAndRefused) {
    // (Numbers as the control endpoint parses them: unsigned.)
    const FaultRule rule = faultFromJson(
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 2000u}, {"channel", "zone"}, {"always", true}});
    EXPECT_EQ(rule.everyMs, 2000u);
    EXPECT_EQ(rule.channel, "zone");
    const json listed = faultToJson(rule);
    EXPECT_EQ(listed.at("every_ms"), 2000);
    EXPECT_EQ(listed.at("channel"), "zone");
    EXPECT_EQ(faultFromJson({{"target", "relay"}, {"kind", "silent"}, {"channel", "login"}}).channel, "login");
    const json refused[] = {
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 0u}},
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 600001u}},
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", -5}},
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 100u}, {"at", 10u}},
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 100u}, {"seed", 1u}, {"mean", 10u}},
        {{"target", "relay"}, {"kind", "delay"}, {"every_ms", 100u}},
        {{"target", "cdn"}, {"kind", "drop"}, {"every_ms", 100u}},
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 100u}, {"channel", "chat"}},
        {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 100u}, {"channel", 2u}},
        {{"target", "cdn"}, {"kind", "drop"}, {"channel", "zone"}},
    };
    for (const auto& description : refused) {
        EXPECT_THROW(faultFromJson(description), std::invalid_argument) << description.dump();
    }
}

TEST(TimedDropTest, OnlyTheChosenChannelIsDroppedAndEachDropIsRecordedWithItsResumption) {
    ServiceHarness harness;
    BackendClient backend(harness);
    backend.signIn();
    const auto credentials = startGameSession(backend, harness.set());
    harness.control("POST", "/faults",
                    {{"target", "relay"}, {"kind", "drop"}, {"every_ms", 150}, {"channel", "zone"}, {"always", true}});
    RelayClient world(harness.service().port(), credentials, "world");
    ASSERT_EQ(world.open().status, 101);
    ASSERT_TRUE(world.send("E"));
    RelayClient zone(harness.service().port(), credentials, "zone");
    ASSERT_EQ(zone.open().status, 101);
    // Two drops, the first one resumed (the second is left so: nothing more is dropped).
    for (int drop = 0; drop < 2; ++drop) {
        while (zone.receiveOne()) {
        }
        EXPECT_FALSE(zone.closeCode.has_value()) << "a reset, not a close";
        if (drop == 0) {
            ASSERT_EQ(zone.resume().status, 101);
        }
    }
    world.echoLockStep("still here", 3);
    EXPECT_EQ(world.resumptions, 0) << "the world channel's WebSocket lived past 150 ms undropped";
    const json drops = harness.control("GET", "/state", nullptr).at("relay").at("timed_drops");
    ASSERT_EQ(drops.size(), 2u) << drops.dump();
    EXPECT_EQ(drops[0].at("channel"), "zone");
    EXPECT_EQ(drops[1].at("channel"), "zone");
    EXPECT_GE(drops[0].at("resumed_us").get<std::uint64_t>(), drops[0].at("dropped_us").get<std::uint64_t>());
    EXPECT_EQ(drops[1].at("resumed_us"), 0) << "not resumed";
    EXPECT_GE(drops[1].at("dropped_us").get<std::uint64_t>() - drops[0].at("resumed_us").get<std::uint64_t>(), 140000u)
        << "a resumed WebSocket lives its own 150 ms";
}

}  // namespace
}  // namespace nyra::service::testing
