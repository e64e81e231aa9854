// GameTunnel end to end over the in-memory platform: listeners, admission, the peer limit, the
// streams with their acknowledgements and resumptions, every way a connection ends, and stop.
#include "relay/game_tunnel.h"
#include "relay/tests/fake_relay.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <random>

namespace nyra {
namespace {

using test::Bytes;
using test::FakeRelayPlatform;
using test::GameEnd;
using test::OpenOutcome;
using test::ServerConnection;

constexpr std::uint32_t kGamePid = 4242;
const std::string kBaseHeaders =
    "Origin: https://api.example\r\nCookie: __Host-nyra_csrf=c; __Host-nyra_session=s\r\nX-CSRF-Token: c\r\n"
    "Authorization: Bearer t\r\n";
const std::string kInvalidControl = "Controle de conexao invalido.";
const std::string kRefused = "O servidor recusou a conexao protegida do jogo.";

Bytes pattern(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

class GameTunnelTest : public ::testing::Test {
protected:
    void start() {
        tunnel = std::make_unique<GameTunnel>(kBaseHeaders, platform);
        tunnel->setGameProcessId(kGamePid);
    }
    // A game connection relayed on its own server connection (the `index`-th one opened).
    std::shared_ptr<GameEnd> connectRelayed(std::size_t channel, std::size_t index) {
        auto game = platform->connect(channel);
        EXPECT_TRUE(server.waitForConnections(index + 1));
        return game;
    }
    bool serverReceived(std::size_t connection, std::size_t size) {
        return server.waitFor([&] { return server.connection(connection).fromLauncher.size() >= size; });
    }
    Bytes receivedByServer(std::size_t connection) {
        return server.with(connection, [](ServerConnection& c) { return c.fromLauncher; });
    }
    int streamsOf(std::size_t connection) {
        return server.with(connection, [](ServerConnection& c) { return c.streams; });
    }
    std::uint64_t stat(const char* name) { return tunnel->stats().at(name).get<std::uint64_t>(); }

    std::shared_ptr<FakeRelayPlatform> platform = std::make_shared<FakeRelayPlatform>();
    test::FakeServer& server = platform->server;
    std::unique_ptr<GameTunnel> tunnel;
};

TEST_F(GameTunnelTest, ListenersOpenInChannelOrderAndThePortMapNamesThem) {
    start();
    EXPECT_EQ(tunnel->portMap(), nlohmann::json::parse(R"({"6543": 40001, "5712": 40002, "10166": 40003})"));
    EXPECT_EQ(tunnel->stats(), nlohmann::json::parse(R"({"login_streams": 0, "world_streams": 0, "zone_streams": 0,
        "resumed_streams": 0, "open_retries": 0, "sent_bytes": 0, "received_bytes": 0})"));
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, AListenerThatCannotOpenStopsWhatWasOpenedAndThrowsItsMessage) {
    platform->failingListener = 1;
    try {
        GameTunnel failing(kBaseHeaders, platform);
        FAIL() << "constructed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Protecao da conexao local indisponivel.");
    }
    ASSERT_EQ(platform->listeners.size(), 1u);
    EXPECT_TRUE(platform->listenerShut(0));
}

TEST_F(GameTunnelTest, BytesArriveOnceAndInOrderBothWaysAcrossDrops) {
    start();
    constexpr std::size_t kTotal = 256 * 1024;
    std::vector<std::shared_ptr<GameEnd>> games;
    std::vector<Bytes> up, down;
    for (std::size_t channel = 0; channel < 3; ++channel) {
        games.push_back(connectRelayed(channel, channel));
        up.push_back(pattern(kTotal, static_cast<std::uint32_t>(channel + 1)));
        down.push_back(pattern(kTotal, static_cast<std::uint32_t>(channel + 100)));
    }
    std::mt19937 random(20260512);
    std::vector<std::size_t> sent(3, 0);
    std::vector<int> streams(3, 1);
    std::size_t drops = 0;
    while (sent[0] < kTotal || sent[1] < kTotal || sent[2] < kTotal) {
        const std::size_t channel = random() % 3;
        const std::size_t size = std::min<std::size_t>(kTotal - sent[channel], 1 + random() % 6000);
        const auto from = static_cast<std::ptrdiff_t>(sent[channel]);
        const auto to = from + static_cast<std::ptrdiff_t>(size);
        games[channel]->write(Bytes(up[channel].begin() + from, up[channel].begin() + to));
        server.send(channel, Bytes(down[channel].begin() + from, down[channel].begin() + to));
        sent[channel] += size;
        const std::size_t victim = random() % 3;
        if (random() % 3 == 0 && server.drop(victim)) {
            ++drops;
            ++streams[victim];
            // The next drop may hit the new stream before or after the launcher has installed it.
            ASSERT_TRUE(server.waitFor([&] { return server.connection(victim).streams == streams[victim]; }));
        }
    }
    for (std::size_t channel = 0; channel < 3; ++channel) {
        EXPECT_EQ(games[channel]->read(kTotal), down[channel]) << channel;
        // Arrives only on a live stream: every drop before it has been resumed.
        server.send(channel, {0xEE});
        EXPECT_EQ(games[channel]->read(1), Bytes{0xEE});
        ASSERT_TRUE(serverReceived(channel, kTotal)) << channel;
        EXPECT_EQ(receivedByServer(channel), up[channel]) << channel;
    }
    EXPECT_GE(drops, 50u);
    tunnel->stop();  // the counters are final once every thread has ended
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    // A drop that hit a resumed stream before its resend went out is a failed attempt of that
    // resumption, not one of its own: each drop is one request, but not always one resumption.
    EXPECT_LE(stat("resumed_streams"), drops);
    EXPECT_GE(stat("resumed_streams"), drops / 2);
    EXPECT_EQ(stat("login_streams") + stat("world_streams") + stat("zone_streams"), 3u);
    EXPECT_EQ(stat("sent_bytes"), 3 * kTotal);
    EXPECT_EQ(stat("received_bytes"), 3 * kTotal + 3);

    // Every request names its channel; resumptions carry the identity and the bytes received so far.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3 + drops);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].rfind(kBaseHeaders, 0), 0u);
        EXPECT_NE(requests[i].find("X-Nyra-Game-Channel: "), std::string::npos);
        const bool first = i < 3;
        EXPECT_EQ(requests[i].find("X-Nyra-Resume: 1\r\n") != std::string::npos, first) << requests[i];
        EXPECT_EQ(requests[i].find("X-Nyra-Resume-Offset: ") != std::string::npos, !first) << requests[i];
    }
    EXPECT_NE(requests[0].find("X-Nyra-Game-Channel: login\r\n"), std::string::npos);
    const auto offsets = server.with(1, [](ServerConnection& c) { return c.resumeOffsets; });
    EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
}

TEST_F(GameTunnelTest, AResumptionResendsEverythingTheServerNoLongerHolds) {
    start();
    auto game = connectRelayed(0, 0);
    server.setAcknowledges(0, false);
    const Bytes bytes = pattern(100000, 7);
    game->write(bytes);
    ASSERT_TRUE(serverReceived(0, bytes.size()));
    // The server comes back holding only 10 bytes: nothing was acknowledged, so everything after
    // them is still in the resend buffer.
    server.script({{OpenOutcome::ReportOffset, 10}});
    ASSERT_TRUE(server.drop(0));
    ASSERT_TRUE(server.waitFor([&] { return server.connection(0).streams == 2; }));
    ASSERT_TRUE(serverReceived(0, bytes.size()));
    EXPECT_EQ(receivedByServer(0), bytes);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, TheGameKeepsReceivingWhileAResumptionResendsToASlowServer) {
    // A server that has just taken a resumption sends at once and may read slowly (or drop the
    // stream again before it has read anything): the launcher must be receiving meanwhile, or
    // a dense run of drops never moves either direction forward.
    start();
    auto game = connectRelayed(0, 0);
    server.setAcknowledges(0, false);
    const Bytes before = pattern(100000, 11);
    game->write(before);
    ASSERT_TRUE(serverReceived(0, before.size()));
    server.script({{OpenOutcome::ReportOffset, 30000}});  // it kept 30000 bytes: the rest is resent
    server.holdSends(0, true);
    ASSERT_TRUE(server.drop(0));
    ASSERT_TRUE(server.waitFor([&] { return server.connection(0).streams == 2; }));

    const Bytes during = pattern(5000, 12);
    game->write(during);  // read by the relay while the resend waits: it must follow the resend
    const Bytes down = pattern(70000, 13);
    server.sendText(0, {"30000"});  // an acknowledgement while the resend holds the buffer
    server.send(0, down);
    EXPECT_EQ(game->read(down.size()), down);

    server.holdSends(0, false);
    Bytes expected = before;
    expected.insert(expected.end(), during.begin(), during.end());
    ASSERT_TRUE(serverReceived(0, expected.size()));
    EXPECT_EQ(receivedByServer(0), expected);
    server.send(0, {0x5A});
    EXPECT_EQ(game->read(1), Bytes{0x5A});
    EXPECT_EQ(stat("resumed_streams"), 1u);
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
}

TEST_F(GameTunnelTest, AGameThatClosesDuringAResendHasEveryByteDeliveredBeforeTheClose) {
    // The close frame is a send like the others: it waits for the resend (and never crosses an
    // acknowledgement), or what the game sent last is cut off by its own close.
    start();
    auto game = connectRelayed(0, 0);
    server.setAcknowledges(0, false);
    const Bytes first = pattern(50000, 17);
    game->write(first);
    ASSERT_TRUE(serverReceived(0, first.size()));
    server.script({{OpenOutcome::ReportOffset, 20000}});
    server.holdSends(0, true);
    ASSERT_TRUE(server.drop(0));
    // The resend is under way (the resumption installed its stream) when the game closes.
    ASSERT_TRUE(server.waitFor([&] { return server.connection(0).heldSends > 0; }));
    const Bytes last = pattern(5000, 18);
    game->write(last);
    game->close();
    ASSERT_TRUE(server.waitFor([&] { return game->link().toRelay.empty(); }));  // read, and the end seen
    server.holdSends(0, false);
    ASSERT_TRUE(server.waitFor([&] { return server.connection(0).closedNormally; }));
    Bytes expected = first;
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(receivedByServer(0), expected);
    EXPECT_TRUE(game->waitReleased());
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
}

TEST_F(GameTunnelTest, AGameThatClosesWhileItsStreamIsResumedHasItsBytesSentOnceTheResumptionSucceeds) {
    // The game writes and closes while the replacement stream is still opening: its last bytes
    // wait in the resend buffer, and the close frame waits for them. A resumption that fails for
    // good ends the connection like any failed resumption.
    const struct {
        const char* what;
        std::optional<OpenOutcome> resumption;  // accepted when unset
    } cases[] = {{"resumed", std::nullopt}, {"refused for good", OpenOutcome{OpenOutcome::Refuse, 410}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = std::make_shared<FakeRelayPlatform>();
        test::FakeServer& fresh = platform->server;
        start();
        auto game = platform->connect(0);
        ASSERT_TRUE(fresh.waitForConnections(1));
        fresh.setAcknowledges(0, false);
        const Bytes first = pattern(40000, 27);
        game->write(first);
        ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).fromLauncher.size() == first.size(); }));
        platform->openingsToHold = 1;
        ASSERT_TRUE(fresh.drop(0));
        ASSERT_TRUE(fresh.waitFor([&] { return platform->heldOpenings == 1; }));
        const Bytes last = pattern(3000, 28);
        game->write(last);
        game->close();
        ASSERT_TRUE(fresh.waitFor([&] { return game->link().endsRead > 0; }));  // the relay saw the close
        if (c.resumption) fresh.script({*c.resumption});
        platform->letOpeningGo();
        EXPECT_TRUE(game->waitReleased());
        if (!c.resumption) {
            ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).closedNormally; }));
            Bytes expected = first;
            expected.insert(expected.end(), last.begin(), last.end());
            EXPECT_EQ(fresh.with(0, [](ServerConnection& s) { return s.fromLauncher; }), expected);
            EXPECT_EQ(fresh.with(0, [](ServerConnection& s) { return s.streams; }), 2);
            EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
            tunnel->stop();
            EXPECT_EQ(stat("resumed_streams"), 1u);
        } else {
            EXPECT_TRUE(tunnel->failed());
            EXPECT_EQ(tunnel->failureMessage(), kRefused);
            EXPECT_FALSE(fresh.with(0, [](ServerConnection& s) { return s.closedNormally; }));
        }
        tunnel.reset();
    }
}

TEST_F(GameTunnelTest, TheLauncherAcknowledgesWhatItReceivedOnlyOnResumableStreams) {
    start();
    auto game = connectRelayed(0, 0);
    server.send(0, pattern(40000, 1));  // more than 32 KiB: acknowledged without waiting a second
    ASSERT_TRUE(server.waitFor([&] { return !server.connection(0).textsFromLauncher.empty(); }));
    const std::string first = server.with(0, [](ServerConnection& c) { return c.textsFromLauncher.front(); });
    EXPECT_GE(std::stoull(first), 32768u);
    EXPECT_LE(std::stoull(first), 40000u);
    EXPECT_EQ(first.find_first_not_of("0123456789"), std::string::npos);

    server.script({{OpenOutcome::NotResumable}});
    auto plain = connectRelayed(1, 1);
    server.send(1, pattern(40000, 2));
    EXPECT_EQ(plain->read(40000).size(), 40000u);
    ASSERT_TRUE(server.drop(1));
    EXPECT_TRUE(plain->waitReleased());  // a non-resumable stream ends at its first drop
    EXPECT_EQ(streamsOf(1), 1);
    EXPECT_TRUE(server.with(1, [](ServerConnection& c) { return c.textsFromLauncher.empty(); }));
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, ThirtyTwoKiBReceivedAreAcknowledgedWithoutWaitingForTheNextPass) {
    // A server keeps a bounded window of unacknowledged bytes: an acknowledgement that waits for
    // the acknowledger's next pass (a quarter of a second) caps the stream at a window per pass.
    start();
    platform->fakeClock.holdSleepers(true);  // the acknowledger sleeps through it all
    auto game = connectRelayed(0, 0);
    const Bytes bytes = pattern(100000, 14);
    server.send(0, bytes);
    EXPECT_EQ(game->read(bytes.size()), bytes);
    EXPECT_TRUE(server.waitFor([&] {
        const auto& texts = server.connection(0).textsFromLauncher;
        return !texts.empty() && std::stoull(texts.back()) >= 98304;  // each 32 KiB acknowledged at once
    }));
    platform->fakeClock.holdSleepers(false);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, TheFragmentsOfAMessageReachTheGameInOneWrite) {
    start();
    auto game = connectRelayed(0, 0);
    // WinHTTP hands a message over a TLS record at a time; each write to the game wakes it.
    const Bytes message = pattern(30000, 15);
    const auto piece = [&](std::size_t from, std::size_t to) {
        return Bytes(message.begin() + static_cast<std::ptrdiff_t>(from), message.begin() + static_cast<std::ptrdiff_t>(to));
    };
    server.sendFragments(0, {piece(0, 7), piece(7, 16384), piece(16384, 30000)});
    EXPECT_EQ(game->read(message.size()), message);
    EXPECT_EQ(game->writes(), 1);
    // A message longer than the receive buffer goes a buffer at a time.
    const Bytes longer = pattern(50000, 16);
    server.sendFragments(0, {longer});
    EXPECT_EQ(game->read(longer.size()), longer);
    EXPECT_EQ(game->writes(), 3);
    server.send(0, {1});  // and a message after them is not held back
    EXPECT_EQ(game->read(1), Bytes{1});
    tunnel->stop();  // the counters are final once every thread has ended
    EXPECT_EQ(stat("received_bytes"), message.size() + longer.size() + 1);
}

TEST_F(GameTunnelTest, AConnectionThatCannotBeResumedEndsAndFails) {
    const struct {
        const char* what;
        OpenOutcome resumption;
        std::string message;
    } cases[] = {
        {"refused 401", {OpenOutcome::Refuse, 401}, kRefused},
        {"refused 404", {OpenOutcome::Refuse, 404}, kRefused},
        {"refused 410", {OpenOutcome::Refuse, 410}, kRefused},
        {"identity changed", {OpenOutcome::ChangeId}, ""},
        {"offered without resumption", {OpenOutcome::NotResumable}, ""},
        {"offset beyond what was sent", {OpenOutcome::ReportOffset, 5001}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = std::make_shared<FakeRelayPlatform>();
        test::FakeServer& fresh = platform->server;
        start();
        auto game = platform->connect(0);
        ASSERT_TRUE(fresh.waitForConnections(1));
        fresh.with(0, [](ServerConnection& s) { s.acknowledges = false; });
        game->write(pattern(5000, 3));
        ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).fromLauncher.size() == 5000; }));
        fresh.script({c.resumption});
        ASSERT_TRUE(fresh.drop(0));
        EXPECT_TRUE(game->waitReleased());
        EXPECT_TRUE(tunnel->failed());
        EXPECT_EQ(tunnel->failureMessage(), c.message);
        EXPECT_EQ(fresh.requests().size(), 2u);  // no further attempt
        EXPECT_EQ(stat("resumed_streams"), 0u);
        tunnel.reset();
    }
}

TEST_F(GameTunnelTest, AnOffsetBelowWhatTheServerAcknowledgedEndsTheConnection) {
    start();
    auto game = connectRelayed(0, 0);
    game->write(pattern(5000, 3));
    ASSERT_TRUE(serverReceived(0, 5000));
    server.send(0, {1, 2, 3});  // behind the acknowledgement: once it arrives, the acknowledgement was applied
    ASSERT_EQ(game->read(3).size(), 3u);
    server.script({{OpenOutcome::ReportOffset, 4999}});
    ASSERT_TRUE(server.drop(0));
    EXPECT_TRUE(game->waitReleased());
    EXPECT_TRUE(tunnel->failed());
}

TEST_F(GameTunnelTest, ResumptionRetriesOtherFailuresUntilFortyFiveSecondsHavePassed) {
    start();
    auto game = connectRelayed(0, 0);
    server.script({{OpenOutcome::Fail}, {OpenOutcome::Refuse, 503}});  // two failures, then resumed
    ASSERT_TRUE(server.drop(0));
    ASSERT_TRUE(server.waitFor([&] { return server.connection(0).streams == 2; }));
    server.send(0, {9});
    EXPECT_EQ(game->read(1), Bytes{9});
    EXPECT_EQ(stat("resumed_streams"), 1u);

    server.script({}, OpenOutcome{OpenOutcome::Refuse, 503});
    platform->fakeClock.setFlowing(true);
    const std::size_t before = server.requests().size();
    ASSERT_TRUE(server.drop(0));
    EXPECT_TRUE(game->waitReleased());
    EXPECT_TRUE(tunnel->failed());
    const auto times = server.openTimes();
    ASSERT_GT(times.size(), before + 5);
    EXPECT_LT(times.back() - times[before], 45000u);
    EXPECT_GE(platform->fakeClock.tickMs() - times[before], 45000u);
}

TEST_F(GameTunnelTest, AResumptionWhoseResendBreaksEveryTimeKeepsItsScheduleAndEnds) {
    // The server takes every resumption and loses the stream during the resend: each is a failed
    // attempt of the same resumption, with its waits and its 45 s, never a fresh one.
    start();
    auto game = connectRelayed(0, 0);
    server.setAcknowledges(0, false);
    game->write(pattern(100000, 23));
    ASSERT_TRUE(serverReceived(0, 100000));
    server.with(0, [](ServerConnection& c) { c.dropsDuringResend = true; });
    server.script({}, OpenOutcome{OpenOutcome::ReportOffset, 0});  // it holds nothing: all is resent
    platform->fakeClock.setFlowing(true);
    const std::size_t before = server.requests().size();
    ASSERT_TRUE(server.drop(0));
    EXPECT_TRUE(game->waitReleased());
    EXPECT_TRUE(tunnel->failed());
    EXPECT_EQ(stat("resumed_streams"), 0u);
    const auto times = server.openTimes();
    ASSERT_GT(times.size(), before + 5);
    // The first broken resend is tried again at once, then the waits: 200, 400, 800, 1600, 3000...
    for (std::size_t i = before + 2; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], resumeRetryWaitMs(static_cast<int>(i - before - 2))) << i - before;
    }
    EXPECT_LT(times.back() - times[before], 45000u);
    EXPECT_LE(times.size() - before, 6u + 45000u / 3000u);
}

TEST_F(GameTunnelTest, ASilentStreamIsResumedAfterTenSecondsOfClockTime) {
    start();
    auto game = connectRelayed(0, 0);
    platform->fakeClock.setFlowing(true);
    ASSERT_TRUE(server.waitFor([&] { return server.connection(0).streams == 2; }));
    platform->fakeClock.setFlowing(false);
    const auto times = server.openTimes();
    EXPECT_GT(times[1] - times[0], 10000u);
    EXPECT_LT(times[1] - times[0], 10000u + 1000u);
    // Keep-alives went out while the server said nothing.
    EXPECT_TRUE(server.with(0, [](ServerConnection& c) {
        return !c.textsFromLauncher.empty() && c.textsFromLauncher.front() == "0";
    }));
    server.send(0, {4, 5});
    EXPECT_EQ(game->read(2), (Bytes{4, 5}));
    EXPECT_GE(stat("resumed_streams"), 1u);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, TheNinthConnectionIsRefusedAndAFinishedPeerMakesRoom) {
    start();
    std::vector<std::shared_ptr<GameEnd>> games;
    for (std::size_t i = 0; i < 8; ++i) games.push_back(connectRelayed(i % 3, i));
    auto ninth = platform->connect(1);
    EXPECT_TRUE(ninth->waitReleased());
    EXPECT_EQ(server.connectionCount(), 8u);

    games[2]->close();
    ASSERT_TRUE(games[2]->waitReleased());
    ASSERT_TRUE(server.waitFor([&] { return server.connection(2).closedNormally; }));
    // The finished peer is reaped by the next accept; its worker may still be returning.
    std::shared_ptr<GameEnd> next;
    for (int attempt = 0; attempt < 1000 && server.connectionCount() < 9; ++attempt) {
        next = platform->connect(0);
        server.waitFor([&] { return server.connectionCountUnderLock() == 9 || next->link().released; });
    }
    EXPECT_EQ(server.connectionCount(), 9u);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, AGameThatStopsReadingFailsItsPeerOnceEightMiBWaitFiveSeconds) {
    start();
    auto game = connectRelayed(2, 0);
    game->setCapacity(64 * 1024);  // the game's receive window, then it reads no more
    const Bytes chunk = pattern(1024 * 1024, 5);
    for (int i = 0; i < 9; ++i) server.send(0, chunk);
    // Once 8 MiB wait for the game, the worker stops receiving: the rest stays with the server.
    ASSERT_TRUE(server.waitFor([&] {
        const auto& texts = server.connection(0).textsFromLauncher;
        return !texts.empty() && std::stoull(texts.back()) >= 8u * 1024 * 1024;
    }));
    EXPECT_FALSE(game->released());
    EXPECT_FALSE(tunnel->failed());
    platform->fakeClock.setFlowing(true);
    EXPECT_TRUE(game->waitReleased());
    EXPECT_TRUE(tunnel->failed());
    EXPECT_EQ(tunnel->failureMessage(), "O cliente excedeu o buffer limitado de recepcao.");
    const std::string last = server.with(0, [](ServerConnection& c) { return c.textsFromLauncher.back(); });
    EXPECT_LT(std::stoull(last), 9 * chunk.size());
}

TEST_F(GameTunnelTest, AGameThatReadsSlowerThanTheServerSendsGetsEverything) {
    start();
    auto game = connectRelayed(2, 0);
    game->setCapacity(64 * 1024);
    const Bytes bytes = pattern(12 * 1024 * 1024, 6);  // far more than the queue to the game holds
    server.send(0, bytes);
    Bytes arrived;
    while (arrived.size() < bytes.size()) {
        const Bytes piece = game->read(std::min<std::size_t>(64 * 1024, bytes.size() - arrived.size()));
        if (piece.empty()) break;
        arrived.insert(arrived.end(), piece.begin(), piece.end());
    }
    EXPECT_TRUE(arrived == bytes);
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
}

TEST_F(GameTunnelTest, MoreThanFourMiBUnacknowledgedEndsTheConnection) {
    start();
    auto game = connectRelayed(0, 0);
    server.setAcknowledges(0, false);
    game->write(pattern(4 * 1024 * 1024 + 1, 6));
    ASSERT_TRUE(serverReceived(0, 4u * 1024 * 1024));
    EXPECT_FALSE(game->released());
    // The last byte waits for an acknowledgement while anything moves; nothing does for 5 s
    // (before the stream's 10 s of silence would resume it).
    platform->fakeClock.setFlowing(true);
    EXPECT_TRUE(game->waitReleased());
    EXPECT_TRUE(tunnel->failed());
    EXPECT_EQ(receivedByServer(0).size(), 4u * 1024 * 1024);  // the last byte was never sent
    EXPECT_EQ(stat("resumed_streams"), 0u);
}

TEST_F(GameTunnelTest, AGameThatWritesMuchWhileItsQueueIsFullLosesNothingTheServerAcknowledged) {
    start();
    auto game = connectRelayed(0, 0);
    game->setCapacity(64 * 1024);
    const Bytes toGame = pattern(10 * 1024 * 1024, 7);
    server.send(0, toGame);
    // The queue to the game is full: the worker stops receiving, with the server's
    // acknowledgements of what follows still behind the bytes it sent.
    ASSERT_TRUE(server.waitFor([&] {
        const auto& texts = server.connection(0).textsFromLauncher;
        return !texts.empty() && std::stoull(texts.back()) >= 8u * 1024 * 1024;
    }));
    const Bytes fromGame = pattern(6 * 1024 * 1024, 8);  // beyond the 4 MiB the resend buffer holds
    game->write(fromGame);
    ASSERT_TRUE(serverReceived(0, 4u * 1024 * 1024));
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    Bytes arrived;
    while (arrived.size() < toGame.size()) {
        const Bytes piece = game->read(std::min<std::size_t>(64 * 1024, toGame.size() - arrived.size()));
        if (piece.empty()) break;
        arrived.insert(arrived.end(), piece.begin(), piece.end());
    }
    EXPECT_TRUE(arrived == toGame);
    EXPECT_TRUE(serverReceived(0, fromGame.size()));
    EXPECT_TRUE(receivedByServer(0) == fromGame);
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    EXPECT_EQ(streamsOf(0), 1);
}

TEST_F(GameTunnelTest, AMalformedOrImpossibleAcknowledgementEndsTheConnectionWithTheText) {
    const struct {
        const char* what;
        std::vector<std::string> pieces;
        bool resumable;
        bool fails;
    } cases[] = {
        {"21 digits", {"000000000000000000010"}, true, true},
        {"21 digits in fragments", {"0000000000", "00000000000"}, true, true},
        {"above 2^64 - 1", {"18446744073709551616"}, true, true},
        {"a sign", {"+10"}, true, true},
        {"a space", {"10 "}, true, true},
        {"empty", {""}, true, true},
        {"beyond what was sent", {"11"}, true, true},
        {"text on a stream without resumption", {"10"}, false, true},
        {"fragments of a valid value", {"1", "0"}, true, false},
        {"lower than one already received", {"3"}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = std::make_shared<FakeRelayPlatform>();
        test::FakeServer& fresh = platform->server;
        if (!c.resumable) fresh.script({{OpenOutcome::NotResumable}});
        start();
        auto game = platform->connect(0);
        ASSERT_TRUE(fresh.waitForConnections(1));
        fresh.with(0, [](ServerConnection& s) { s.acknowledges = false; });
        game->write(pattern(10, 1));
        ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).fromLauncher.size() == 10; }));
        fresh.sendText(0, {"5"});
        fresh.sendText(0, c.pieces);
        fresh.send(0, {7});
        if (c.fails) {
            EXPECT_TRUE(game->waitReleased());
            EXPECT_TRUE(tunnel->failed());
            EXPECT_EQ(tunnel->failureMessage(), kInvalidControl);
        } else {
            EXPECT_EQ(game->read(1), Bytes{7});
            EXPECT_FALSE(tunnel->failed());
        }
        tunnel.reset();
    }
}

TEST_F(GameTunnelTest, OpeningRetriesWithinItsLimitsAndNeverAfterAFinalRefusal) {
    const struct {
        const char* what;
        std::vector<OpenOutcome> outcomes;
        std::optional<OpenOutcome> always;
        std::size_t attempts;
        std::uint64_t retries;
        bool opened;
        std::string message;
        std::vector<std::uint64_t> waits;  // between the attempts, in clock time
    } cases[] = {
        {"refused 401", {{OpenOutcome::Refuse, 401}}, std::nullopt, 1, 0, false, kRefused, {}},
        {"refused 403", {{OpenOutcome::Refuse, 403}}, std::nullopt, 1, 0, false, kRefused, {}},
        {"two failures, then opened", {{OpenOutcome::Fail}, {OpenOutcome::Refuse, 502}}, std::nullopt, 3, 2, true, "",
         {250, 500}},
        {"a failure, then refused 400", {{OpenOutcome::Fail}, {OpenOutcome::Refuse, 400}}, std::nullopt, 2, 1, false,
         kRefused, {250}},
        {"failing six times", {}, OpenOutcome{OpenOutcome::Refuse, 503}, 6, 5, false, kRefused,
         {250, 500, 1000, 2000, 3000}},
        {"unreachable six times", {}, OpenOutcome{OpenOutcome::Fail}, 6, 5, false, "Falha ao conectar a entrada do jogo.",
         {250, 500, 1000, 2000, 3000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = std::make_shared<FakeRelayPlatform>();
        test::FakeServer& fresh = platform->server;
        fresh.script(c.outcomes, c.always);
        platform->fakeClock.setFlowing(true);  // only the opening worker sleeps: the waits are exact
        start();
        auto game = platform->connect(1);
        if (c.opened) {
            ASSERT_TRUE(fresh.waitForConnections(1));
            fresh.send(0, {1});
            EXPECT_EQ(game->read(1), Bytes{1});
            EXPECT_EQ(stat("world_streams"), 1u);
        } else {
            EXPECT_TRUE(game->waitReleased());
            EXPECT_EQ(tunnel->failureMessage(), c.message);
            EXPECT_EQ(stat("world_streams"), 0u);
        }
        EXPECT_EQ(tunnel->failed(), !c.opened);
        EXPECT_EQ(fresh.requests().size(), c.attempts);
        EXPECT_EQ(stat("open_retries"), c.retries);
        const auto times = fresh.openTimes();
        std::vector<std::uint64_t> waits;
        for (std::size_t i = 1; i < times.size(); ++i) waits.push_back(times[i] - times[i - 1]);
        EXPECT_EQ(waits, c.waits);
        tunnel.reset();
    }
}

TEST_F(GameTunnelTest, ConnectionsTheGameDoesNotOwnAreDroppedWithoutTraffic) {
    using enum ConnectionOwner;
    const struct {
        const char* what;
        std::uint32_t pid;
        std::vector<ConnectionOwner> answers;  // the owner table's answer at each check, the last repeating
        int checks;
        bool admitted;
    } cases[] = {
        {"game not started", 0, {Game}, 0, false},
        {"held by another process", kGamePid, {Other}, 1, false},
        {"never listed", kGamePid, {NotListed}, 20, false},
        {"listed at the third check", kGamePid, {NotListed, NotListed, Game}, 3, true},
        {"listed at the twentieth check", kGamePid, [] {
             std::vector<ConnectionOwner> answers(19, NotListed);
             answers.push_back(Game);
             return answers;
         }(), 20, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = std::make_shared<FakeRelayPlatform>();
        constexpr std::uint16_t kClientPort = 51234;
        platform->owner = [&, checks = std::size_t{0}](std::uint32_t pid, const LoopbackConnection& connection) mutable {
            EXPECT_EQ(pid, kGamePid);
            // The whole connection is asked about: the client's address and port, the listener's.
            EXPECT_EQ(connection.clientAddress, kLoopbackAddress);
            EXPECT_EQ(connection.clientPort, kClientPort);
            EXPECT_EQ(connection.listenerAddress, kLoopbackAddress);
            EXPECT_EQ(connection.listenerPort, FakeRelayPlatform::kFirstPort + 2);
            const std::size_t at = std::min(checks++, c.answers.size() - 1);
            return c.answers[at];
        };
        tunnel = std::make_unique<GameTunnel>(kBaseHeaders, platform);
        tunnel->setGameProcessId(c.pid);
        auto game = platform->connectFrom(2, kClientPort, Game, kLoopbackAddress);
        if (c.admitted) {
            EXPECT_TRUE(platform->server.waitForConnections(1));
        } else {
            EXPECT_TRUE(game->waitReleased());
            EXPECT_EQ(platform->server.connectionCount(), 0u);
        }
        EXPECT_EQ(platform->ownerChecks.load(), c.checks);
        EXPECT_FALSE(tunnel->failed());
        tunnel.reset();
    }
}

TEST_F(GameTunnelTest, AConnectionFromAnotherLoopbackAddressIsRefusedEvenWithTheGamesPort) {
    // Another process binds 127.0.0.2 with the port the game's own connection uses: the ports
    // alone would match the game's row in the owner table.
    start();
    constexpr std::uint16_t kGamesPort = 52000;
    auto game = platform->connectFrom(0, kGamesPort, ConnectionOwner::Game, kLoopbackAddress);
    ASSERT_TRUE(server.waitForConnections(1));
    platform->owner = [](std::uint32_t, const LoopbackConnection&) { return ConnectionOwner::Game; };  // fooled by ports
    const int checksBefore = platform->ownerChecks.load();
    auto impostor = platform->connectFrom(0, kGamesPort, ConnectionOwner::Game, {127, 0, 0, 2});
    EXPECT_TRUE(impostor->waitReleased());
    EXPECT_EQ(platform->ownerChecks.load(), checksBefore);  // refused before the table is asked
    EXPECT_EQ(server.connectionCount(), 1u);
    server.send(0, {1});
    EXPECT_EQ(game->read(1), Bytes{1});
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, StrangersGiveTheirSlotsBackAtOnceAndAResetBeforeAcceptIsNoFailure) {
    start();
    platform->fakeClock.holdSleepers(true);  // a connection that waits for the table would hold its slot
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(platform->connect(static_cast<std::size_t>(i % 3), ConnectionOwner::Other)->waitReleased());
    platform->connectAndReset(1);
    auto game = platform->connect(1);
    ASSERT_TRUE(server.waitForConnections(1));
    server.send(0, {2});
    EXPECT_EQ(game->read(1), Bytes{2});
    platform->fakeClock.holdSleepers(false);
    EXPECT_FALSE(tunnel->failed());
    EXPECT_FALSE(platform->listenerShut(1));
}

TEST_F(GameTunnelTest, TheGameClosingEndsTheStreamNormally) {
    start();
    auto game = connectRelayed(0, 0);
    game->write(pattern(1000, 8));
    ASSERT_TRUE(serverReceived(0, 1000));
    game->close();
    EXPECT_TRUE(game->waitReleased());
    EXPECT_TRUE(server.with(0, [](ServerConnection& c) { return c.closedNormally; }));
    EXPECT_EQ(streamsOf(0), 1);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, OrdinaryEndingsOfTheGamesConnectionAreNoRelayFailure) {
    start();
    // The game resets its end with unread data: the write fails before the read sees the end.
    auto reset = connectRelayed(0, 0);
    reset->failWrites();
    server.send(0, pattern(1000, 24));
    EXPECT_TRUE(reset->waitReleased());
    EXPECT_TRUE(server.waitFor([&] { return server.connection(0).closedNormally; }));
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();

    // After a normal close the game stops reading and keeps writing: what waits for it is given
    // up after the stall limit, and its bytes are not buffered for a stream that has ended.
    auto stalled = connectRelayed(1, 1);
    stalled->setCapacity(4096);
    server.send(1, pattern(100000, 25));
    server.close(1, 1000);
    stalled->write(pattern(5u * 1024 * 1024, 26));  // more than the resend buffer holds
    platform->fakeClock.setFlowing(true);
    EXPECT_TRUE(stalled->waitReleased());
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
}

TEST_F(GameTunnelTest, WhatTheServerSentBeforeANormalCloseReachesTheGame) {
    start();
    auto game = connectRelayed(0, 0);
    game->setCapacity(4096);  // the game reads slowly: most of it is still queued at the close
    const Bytes bytes = pattern(2 * 1024 * 1024, 9);
    server.send(0, bytes);
    server.close(0, 1000);
    Bytes arrived;
    while (arrived.size() < bytes.size()) {
        const Bytes piece = game->read(std::min<std::size_t>(4096, bytes.size() - arrived.size()));
        if (piece.empty()) break;
        arrived.insert(arrived.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(arrived, bytes);
    EXPECT_TRUE(game->waitReleased());
    EXPECT_EQ(streamsOf(0), 1);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, AServersCloseIsAnsweredAtOnceAndNothingMoreIsSentOnThatStream) {
    const struct {
        std::uint16_t status;
        bool resumes;  // anything but 1000 is a break
    } cases[] = {{1000, false}, {1011, true}, {4000, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        platform = std::make_shared<FakeRelayPlatform>();
        test::FakeServer& fresh = platform->server;
        start();
        auto game = platform->connect(0);
        ASSERT_TRUE(fresh.waitForConnections(1));
        const Bytes before = pattern(3000, 21);
        game->write(before);
        ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).fromLauncher.size() == before.size(); }));
        fresh.close(0, c.status);
        ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).closeAnswer.has_value(); }));
        EXPECT_EQ(fresh.with(0, [](ServerConnection& s) { return *s.closeAnswer; }), c.status);
        const Bytes after = pattern(2000, 22);
        game->write(after);  // read by the relay after the close: never on the closed stream
        if (c.resumes) {
            ASSERT_TRUE(fresh.waitFor([&] { return fresh.connection(0).fromLauncher.size() == 5000; }));
            Bytes expected = before;
            expected.insert(expected.end(), after.begin(), after.end());
            EXPECT_EQ(fresh.with(0, [](ServerConnection& s) { return s.fromLauncher; }), expected);
            fresh.send(0, {3});
            EXPECT_EQ(game->read(1), Bytes{3});
            tunnel->stop();  // the resender counts the resumption after its last send: final now
            EXPECT_EQ(stat("resumed_streams"), 1u);
        } else {
            EXPECT_TRUE(game->waitReleased());
            EXPECT_EQ(fresh.with(0, [](ServerConnection& s) { return s.streams; }), 1);
        }
        EXPECT_EQ(fresh.with(0, [](ServerConnection& s) { return s.sendsAfterServerClose; }), 0);
        EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
        tunnel.reset();
    }
}

TEST_F(GameTunnelTest, StopDuringTransferEndsEveryThreadAndKeepsTheFinalCounters) {
    start();
    std::vector<std::shared_ptr<GameEnd>> games;
    for (std::size_t i = 0; i < 8; ++i) games.push_back(connectRelayed(i % 3, i));
    for (std::size_t i = 0; i < 8; ++i) {
        games[i]->write(pattern(512 * 1024, static_cast<std::uint32_t>(i)));
        server.send(i, pattern(512 * 1024, static_cast<std::uint32_t>(i + 50)));
        if (i % 2 == 0) server.drop(i);
    }
    ASSERT_TRUE(serverReceived(7, 1));
    tunnel->stop();  // returns only once every thread has been joined
    for (auto& game : games) EXPECT_TRUE(game->released());
    for (std::size_t channel = 0; channel < 3; ++channel) EXPECT_TRUE(platform->listenerShut(channel));
    const nlohmann::json final = tunnel->stats();
    EXPECT_EQ(final["login_streams"].get<int>() + final["world_streams"].get<int>() + final["zone_streams"].get<int>(), 8);
    EXPECT_GT(final["sent_bytes"].get<std::uint64_t>(), 0u);
    tunnel->stop();
    EXPECT_EQ(tunnel->stats(), final);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameTunnelTest, StopBreaksAnOpeningUnderWayAndEndsEveryWaitAtOnce) {
    // Stop never waits for a server slow to answer an upgrade, nor for the pauses between
    // attempts: the clock holds every sleeper here, so only a wait that stop wakes can end.
    const struct {
        const char* what;
        std::function<void(FakeRelayPlatform&)> arrange;  // leaves a worker blocked
    } cases[] = {
        {"opening the first stream",
         [](FakeRelayPlatform& p) {
             p.openingsToHold = 1;
             p.connect(0);
             ASSERT_TRUE(p.server.waitFor([&] { return p.heldOpenings == 1; }));
         }},
        {"opening a resumption",
         [](FakeRelayPlatform& p) {
             p.connect(0);
             ASSERT_TRUE(p.server.waitForConnections(1));
             p.openingsToHold = 1;
             ASSERT_TRUE(p.server.drop(0));
             ASSERT_TRUE(p.server.waitFor([&] { return p.heldOpenings == 1; }));
         }},
        {"the pause between opening attempts",
         [](FakeRelayPlatform& p) {
             p.server.script({}, OpenOutcome{OpenOutcome::Fail});
             p.fakeClock.holdSleepers(true);
             p.connect(0);
             ASSERT_TRUE(p.fakeClock.waitForHeldSleepers(1));  // the worker, after its first attempt
         }},
        {"the pause between resumption attempts",
         [](FakeRelayPlatform& p) {
             p.connect(0);
             ASSERT_TRUE(p.server.waitForConnections(1));
             p.server.script({}, OpenOutcome{OpenOutcome::Refuse, 503});
             ASSERT_TRUE(p.server.drop(0));
             ASSERT_TRUE(p.server.waitFor([&] { return p.server.requestsUnderLock() >= 3; }));
             p.fakeClock.holdSleepers(true);
             ASSERT_TRUE(p.fakeClock.waitForHeldSleepers(2));  // the worker and the acknowledger
         }},
        {"the pause between admission checks",
         [](FakeRelayPlatform& p) {
             p.owner = [](std::uint32_t, const LoopbackConnection&) { return ConnectionOwner::NotListed; };
             p.fakeClock.holdSleepers(true);
             p.connect(0);
             ASSERT_TRUE(p.fakeClock.waitForHeldSleepers(1));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = std::make_shared<FakeRelayPlatform>();
        start();
        c.arrange(*platform);
        if (::testing::Test::HasFatalFailure()) return;
        auto stopped = std::async(std::launch::async, [&] { tunnel->stop(); });
        const bool prompt = stopped.wait_for(test::kPatience) == std::future_status::ready;
        platform->fakeClock.holdSleepers(false);  // a stop stuck in a wait ends now
        stopped.wait();
        EXPECT_TRUE(prompt);
        EXPECT_EQ(platform->unbrokenOpenings, 0);  // stopped by the cancellation, not by the patience
        EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
        tunnel.reset();
    }
}

}  // namespace
}  // namespace nyra
