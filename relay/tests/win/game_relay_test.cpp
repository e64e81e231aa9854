// The relay end to end under Wine: this test process plays the game, connects to the tunnel's
// loopback listeners, and its bytes travel through WinHTTP WebSockets to the stand-in service's
// relay and its game-server stand-ins, with the service's faults in between.
#include "core/text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "relay/tests/win/game_client.h"
#include "relay/win/windows_relay.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nyra::test {
namespace {

using json = nlohmann::json;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

// The relay's time running `factor` times faster than the wall clock, so that its 10-s silence
// limit passes in half a second without a long wait in the test.
struct FastClock final : Clock {
    explicit FastClock(std::uint64_t rate) : factor(rate) {}
    std::uint64_t tickMs() override { return (::GetTickCount64() - start) * factor; }
    void sleepMs(std::uint32_t ms) override { ::Sleep(static_cast<DWORD>(std::max<std::uint64_t>(1, ms / factor))); }
    std::uint64_t factor;
    std::uint64_t start = ::GetTickCount64();
};

class GameRelay : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        const json policy = http->call("/api/launcher/package-policy");
        const json start = http->call("/api/launcher/start", {{"version", policy.at("package_id")},
                                                              {"package_id", policy.at("package_id")},
                                                              {"files", policy.at("policy").at("files")},
                                                              {"transport", "cloudflare-ws-v1"}});
        gameToken = start.at("token").get<std::string>();
    }
    void TearDown() override {
        if (tunnel) tunnel->stop();
        tunnel.reset();
        http.reset();
        wipe(gameToken);
        ServiceTest::TearDown();
    }

    // A tunnel for this game session; this process plays the game.
    void open(std::shared_ptr<RelayPlatform> platform = std::make_shared<WindowsRelayPlatform>()) {
        tunnel = std::make_unique<GameTunnel>(http->tunnelHeaders(gameToken), std::move(platform));
        tunnel->setGameProcessId(::GetCurrentProcessId());
    }
    std::uint16_t port(std::size_t channel) const {
        return tunnel->portMap().at(std::string(kRelayChannels[channel].serverPort)).get<std::uint16_t>();
    }

    WinClock clock;
    std::unique_ptr<Http> http;
    std::string gameToken;
    std::unique_ptr<GameTunnel> tunnel;
};

// Sends `total` seeded bytes through an echo connection while reading the transformed echo back;
// true when every byte came back once and in order.
bool echoes(GameClient& game, std::uint64_t seed, std::size_t total) {
    if (!game.startEcho()) return false;
    std::atomic<bool> sentAll{false};
    std::thread sender([&] {
        tools::SeededBytes source(seed);
        std::vector<std::uint8_t> chunk(8191);
        for (std::size_t done = 0; done < total;) {
            const std::size_t size = std::min(chunk.size(), total - done);
            source.fill({chunk.data(), size});
            if (!game.sendAll({chunk.data(), size})) return;
            done += size;
        }
        sentAll = true;
    });
    tools::SeededBytes expected(seed);
    std::vector<std::uint8_t> buffer(65536);
    std::size_t received = 0;
    bool intact = true;
    while (received < total) {
        const auto got = game.receive({buffer.data(), std::min(buffer.size(), total - received)});
        if (!got || *got == 0) break;
        for (std::size_t i = 0; i < *got; ++i) buffer[i] ^= kEchoTransform;
        if (expected.match({buffer.data(), *got}) != *got) intact = false;
        received += *got;
    }
    sender.join();
    return sentAll && intact && received == total;
}

TEST_F(GameRelay, EveryChannelCarriesTheGamesBytesBothWaysOnceAndInOrder) {
    open();
    const json map = tunnel->portMap();
    EXPECT_EQ(map.size(), 3u);
    for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
        GameClient game(port(channel));
        EXPECT_TRUE(echoes(game, 1000 + channel, 1 << 20)) << kRelayChannels[channel].name;
    }
    // The source: a long one-way stream from the game server.
    GameClient game(port(1));
    ASSERT_TRUE(game.startSource(77, 4 << 20));
    std::vector<std::uint8_t> received(4 << 20);
    ASSERT_TRUE(game.receiveAll(received));
    tools::SeededBytes expected(77);
    EXPECT_EQ(expected.match(received), received.size());

    const json stats = tunnel->stats();
    EXPECT_EQ(stats.at("login_streams"), 1);
    EXPECT_EQ(stats.at("world_streams"), 2);
    EXPECT_EQ(stats.at("zone_streams"), 1);
    EXPECT_EQ(stats.at("resumed_streams"), 0);
    EXPECT_GE(stats.at("sent_bytes").get<std::uint64_t>(), 3u << 20);
    EXPECT_GE(stats.at("received_bytes").get<std::uint64_t>(), (3u << 20) + (4u << 20));
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameRelay, ConnectionsAreDroppedUntilTheGameProcessIsKnown) {
    tunnel = std::make_unique<GameTunnel>(http->tunnelHeaders(gameToken), std::make_shared<WindowsRelayPlatform>());
    GameClient stranger(port(0), 5000);
    EXPECT_TRUE(stranger.endsWithoutData());
    EXPECT_EQ(tunnel->stats().at("login_streams"), 0);
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameRelay, TheNinthConnectionIsRefusedUntilOneOfTheEightHasEnded) {
    open();
    std::vector<std::unique_ptr<GameClient>> games;
    for (int i = 0; i < 8; ++i) {
        games.push_back(std::make_unique<GameClient>(port(static_cast<std::size_t>(i) % 3)));
        ASSERT_TRUE(echoes(*games.back(), 50 + static_cast<std::uint64_t>(i), 1000)) << i;
    }
    GameClient ninth(port(0), 5000);
    EXPECT_TRUE(ninth.endsWithoutData());

    games.front().reset();  // the game closes one; its peer finishes
    for (int attempt = 0;; ++attempt) {
        // The next accept reaps the finished peer; until it has finished, a new one may still be refused.
        GameClient next(port(2), 5000);
        if (echoes(next, 99, 1000)) break;
        ASSERT_LT(attempt, 20) << "a slot never came free";
        ::Sleep(100);
    }
    EXPECT_FALSE(tunnel->failed());
}

TEST_F(GameRelay, AGameThatStopsReadingLosesItsConnectionOnceEightMebibytesWaitForIt) {
    open();
    GameClient game(port(1));
    ASSERT_TRUE(game.startSource(5, 256u << 20));  // far more than the queue and the socket buffers hold
    for (int waited = 0; !tunnel->failed() && waited < 600; ++waited) ::Sleep(100);
    EXPECT_TRUE(tunnel->failed());
    EXPECT_EQ(tunnel->failureMessage(), "O cliente excedeu o buffer limitado de recepcao.");
}

TEST_F(GameRelay, StopDuringTransferEndsEveryConnection) {
    open();
    // Each game connection drains an endless source until the relay ends it.
    std::vector<std::unique_ptr<GameClient>> games;
    std::vector<std::atomic<std::uint64_t>> received(kRelayChannelCount);
    std::vector<std::thread> drains;
    for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
        games.push_back(std::make_unique<GameClient>(port(channel)));
        ASSERT_TRUE(games.back()->startSource(channel, 1ull << 40));
        drains.emplace_back([&game = *games.back(), &count = received[channel]] {
            std::vector<std::uint8_t> buffer(1 << 16);
            for (;;) {
                const auto got = game.receive(buffer);
                if (!got || *got == 0) return;
                count += *got;
            }
        });
    }
    for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
        for (int waited = 0; received[channel] < (1u << 20) && waited < 300; ++waited) ::Sleep(10);
        EXPECT_GE(received[channel].load(), 1u << 20) << kRelayChannels[channel].name;
    }
    tunnel->stop();  // never waits for the game to close its end
    for (auto& drain : drains) drain.join();  // every connection ended
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();  // a stop is no failure
    const json final = tunnel->stats();
    tunnel->stop();  // a second stop does nothing
    EXPECT_EQ(tunnel->stats(), final);
    EXPECT_EQ(final.at("zone_streams"), 1);
}

// Waits up to `seconds` for the tunnel to fail.
bool failsWithin(GameTunnel& tunnel, int seconds) {
    for (int waited = 0; !tunnel.failed() && waited < seconds * 20; ++waited) ::Sleep(50);
    return tunnel.failed();
}

TEST_F(GameRelay, EveryDroppedWebSocketIsResumedWithoutLosingOrRepeatingAByte) {
    // A dense storm: drop points 32 KiB apart on average, counted over both directions, so that
    // streams are dropped again while their resend is still going out. The game's bytes flow both
    // ways meanwhile, and every one comes back transformed by the echo.
    service->fault({{"target", "relay"}, {"kind", "drop"}, {"always", true}, {"seed", 7}, {"mean", 32768},
                    {"direction", "both"}, {"how", "reset"}});
    open();
    std::vector<std::thread> games;
    std::atomic<int> intact{0};
    for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
        games.emplace_back([&, channel] {
            GameClient game(port(channel));
            if (echoes(game, 500 + channel, 1u << 20)) ++intact;
        });
    }
    for (auto& game : games) game.join();
    EXPECT_EQ(intact.load(), 3);
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    const json stats = tunnel->stats();
    const json relay = service->request("GET", "/state").at("relay");
    EXPECT_GE(relay.at("drops").get<int>(), 50);
    // A resumption counts once its resend went out: many break during it and continue as the
    // same resumption, so the launcher counts fewer resumptions than the service counts drops.
    EXPECT_GE(stats.at("resumed_streams").get<int>(), 1) << stats.dump();
    // The service also counts resumed WebSockets that a drop cut before WinHTTP had completed
    // the upgrade; the launcher retried those, so it counts no more resumptions than the service.
    EXPECT_LE(stats.at("resumed_streams").get<int>(), relay.at("resumptions").get<int>());
}

TEST_F(GameRelay, AStreamWithoutResumptionEndsAtItsFirstDrop) {
    service->fault({{"target", "relay"}, {"kind", "no-resume-headers"}});
    service->fault({{"target", "relay"}, {"kind", "drop"}, {"at", 200000}});
    open();
    GameClient game(port(0));
    EXPECT_FALSE(echoes(game, 3, 2u << 20));
    EXPECT_EQ(tunnel->stats().at("resumed_streams"), 0);
}

TEST_F(GameRelay, AResumptionThatCannotContinueTheStreamEndsTheConnection) {
    const struct {
        const char* name;
        json rule;
    } cases[] = {
        {"refused 401", {{"kind", "refuse-resume"}, {"status", 401}}},
        {"refused 404", {{"kind", "refuse-resume"}, {"status", 404}}},
        {"refused 410", {{"kind", "refuse-resume"}, {"status", 410}}},
        {"another identity", {{"kind", "change-resume-id"}}},
        {"an impossible offset", {{"kind", "impossible-received"}, {"value", "99999999999"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->reset();
        json rule = c.rule;
        rule["target"] = "relay";
        service->fault({{"target", "relay"}, {"kind", "drop"}, {"at", 200000}});
        service->fault(rule);
        open();
        GameClient game(port(1));
        EXPECT_FALSE(echoes(game, 4, 2u << 20));
        EXPECT_TRUE(failsWithin(*tunnel, 30));
        EXPECT_EQ(tunnel->stats().at("resumed_streams"), 0);
        tunnel->stop();
    }
}

TEST_F(GameRelay, AMalformedAcknowledgementEndsTheConnection) {
    for (const char* text : {"123456789012345678901", "+5", " 5"}) {
        SCOPED_TRACE(text);
        service->reset();
        service->fault({{"target", "relay"}, {"kind", "bad-ack"}, {"value", text}, {"at", 1000}});
        open();
        GameClient game(port(2));
        EXPECT_FALSE(echoes(game, 5, 2u << 20));
        EXPECT_TRUE(failsWithin(*tunnel, 30));
        EXPECT_EQ(tunnel->failureMessage(), "Controle de conexao invalido.");
        tunnel->stop();
    }
}

TEST_F(GameRelay, ASilentServerIsDroppedAndResumed) {
    // Three seconds of silence are a minute of the relay's time: far past its ten-second limit.
    service->fault({{"target", "relay"}, {"kind", "silent"}, {"ms", 3000}});
    auto fast = std::make_shared<FastClock>(20);
    struct FastPlatform final : RelayPlatform {
        FastPlatform(std::shared_ptr<FastClock> c) : time(std::move(c)) {}
        std::unique_ptr<GameListener> listen() override { return windows.listen(); }
        std::shared_ptr<RelayStream> openStream(const std::string& headers, OpeningCancel& cancel) override {
            return windows.openStream(headers, cancel);
        }
        ConnectionOwner connectionOwner(std::uint32_t pid, const LoopbackConnection& connection) override {
            return windows.connectionOwner(pid, connection);
        }
        Clock& clock() override { return *time; }
        WindowsRelayPlatform windows;
        std::shared_ptr<FastClock> time;
    };
    open(std::make_shared<FastPlatform>(fast));
    GameClient game(port(0));
    EXPECT_TRUE(echoes(game, 6, 1u << 20));
    EXPECT_GE(tunnel->stats().at("resumed_streams").get<int>(), 1);
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
}

TEST_F(GameRelay, MoreThanFourMebibytesUnacknowledgedEndTheConnection) {
    // Nothing comes back, no acknowledgement either, for longer than a full resend buffer waits
    // for one (5 s) and shorter than the silence that would resume the stream (10 s). (Wine's
    // WinHTTP returns a waiting WebSocket receive only when the next message arrives, not when the
    // handle is closed, so the game's connection ends once the silence is over; Windows cancels
    // the receive at once.)
    service->fault({{"target", "relay"}, {"kind", "silent"}, {"ms", 8000}});
    open();
    GameClient game(port(1));
    ASSERT_TRUE(game.startEcho());
    std::vector<std::uint8_t> bytes(6u << 20, 0x42);
    game.sendAll(bytes);
    EXPECT_TRUE(failsWithin(*tunnel, 30));
    EXPECT_LE(tunnel->stats().at("sent_bytes").get<std::uint64_t>(), (4u << 20) + 32768 + 1);
    EXPECT_TRUE(game.endsWithoutData());
}

// Waits up to `seconds` until the relay's state satisfies `ready`.
template <typename Ready>
bool relayStateWithin(const ServiceControl& service, int seconds, Ready&& ready) {
    for (int waited = 0; waited < seconds * 20; ++waited) {
        if (ready(service.request("GET", "/state").at("relay"))) return true;
        ::Sleep(50);
    }
    return false;
}

TEST_F(GameRelay, AServersCloseWithAReasonIsAnsweredAndOnlyStatus1000EndsTheStream) {
    // 1000 with a reason: a normal end, everything sent before it delivered.
    service->fault({{"target", "relay"}, {"kind", "close"}, {"at", 100000}, {"status", 1000},
                    {"value", "fim da partida"}});
    open();
    {
        GameClient game(port(0));
        ASSERT_TRUE(game.startSource(31, 1u << 20));
        std::vector<std::uint8_t> received(100000);
        EXPECT_TRUE(game.receiveAll(received));
        tools::SeededBytes expected(31);
        EXPECT_EQ(expected.match(received), received.size());
        EXPECT_TRUE(game.endsWithoutData());
    }
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    EXPECT_EQ(tunnel->stats().at("resumed_streams"), 0);
    // Any other status with a reason: a break, resumed without losing or repeating a byte.
    service->fault({{"target", "relay"}, {"kind", "close"}, {"at", 200000}, {"status", 4000},
                    {"value", std::string(123, 'r')}});
    GameClient game(port(1));
    EXPECT_TRUE(echoes(game, 32, 1u << 20));
    EXPECT_EQ(tunnel->stats().at("resumed_streams"), 1);
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    // The launcher answered both closes with its own close frame. (The stand-in counts a close
    // frame that came back as answered even though the TLS teardown after it fails: Wine's
    // WinHTTP closes the connection without TLS's close_notify.)
    EXPECT_TRUE(relayStateWithin(*service, 10, [](const json& relay) {
        return relay.at("closes_answered").get<int>() == 2 && relay.at("closes_unanswered").get<int>() == 0;
    })) << service->request("GET", "/state").at("relay").dump();
}

TEST_F(GameRelay, AnUnreadableResumeCountIsInvalidNotAbsent) {
    // The first stream's received count is not 1 to 20 digits, or does not fit the header buffer
    // at all: that attempt fails with "Retomada invalida." and is retried; the next stream is
    // resumable and survives a drop.
    for (const std::string& value : {std::string("12a"), std::string(300, '0')}) {
        SCOPED_TRACE(value.size());
        service->reset();
        service->fault({{"target", "relay"}, {"kind", "impossible-received"}, {"streams", "new"}, {"value", value}});
        // (the refused first attempt takes the first use of the drop rule)
        service->fault({{"target", "relay"}, {"kind", "drop"}, {"at", 200000}, {"count", 2}});
        open();
        GameClient game(port(2));
        EXPECT_TRUE(echoes(game, 33, 1u << 20));
        EXPECT_EQ(tunnel->stats().at("open_retries"), 1);
        EXPECT_EQ(tunnel->stats().at("resumed_streams"), 1);
        EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
        tunnel->stop();
    }
}

TEST_F(GameRelay, StopBreaksAnUpgradeTheServerHasNotAnswered) {
    // The service holds every upgrade's answer for 5 s. Stop closes the opening's request and
    // connection handles from its own thread, which is how WinHTTP ends a synchronous call: on
    // Windows the opening ends at once. Wine 8 does not end it: its handles are counted
    // references, and the blocked WinHttpReceiveResponse goes on until the answer comes (closing
    // the session handle too changes nothing; with a 20-s hold it waited the 20 s, past the
    // profile's 12-s receive time-out). What Wine allows is asserted: the closed handles fail the
    // opening once the call returns, so the answered upgrade is never taken, nothing is retried
    // (a retry would wait for a second hold), and the game's connection ends without a byte.
    constexpr std::uint64_t kHoldMs = 5000;
    service->fault({{"target", "relay"}, {"kind", "delay"}, {"ms", kHoldMs}, {"always", true}});
    open();
    GameClient game(port(0));
    ASSERT_TRUE(game.startEcho());
    // The rule counts a use once the upgrade request has taken it: its answer is held from then.
    const auto held = [&] {
        const json rules = service->request("GET", "/faults");
        return !rules.empty() && rules.at(0).value("used", 0) > 0;
    };
    for (int waited = 0; !held() && waited < 200; ++waited) ::Sleep(50);
    ASSERT_TRUE(held());
    const std::uint64_t before = ::GetTickCount64();
    tunnel->stop();
    EXPECT_LT(::GetTickCount64() - before, 2 * kHoldMs);
    EXPECT_TRUE(game.endsWithoutData());
    EXPECT_FALSE(tunnel->failed()) << tunnel->failureMessage();
    EXPECT_EQ(tunnel->stats().at("login_streams"), 0);
    EXPECT_EQ(tunnel->stats().at("open_retries"), 0);
}

TEST_F(GameRelay, AnUpgradeRefusedAsUnauthorisedIsNotRetried) {
    service->fault({{"target", "relay"}, {"kind", "status"}, {"status", 401}, {"always", true}});
    open();
    GameClient game(port(0), 10000);
    ASSERT_TRUE(game.startEcho());
    EXPECT_TRUE(game.endsWithoutData());
    EXPECT_TRUE(failsWithin(*tunnel, 10));
    EXPECT_EQ(tunnel->stats().at("open_retries"), 0);
    EXPECT_EQ(tunnel->stats().at("login_streams"), 0);
}

}  // namespace
}  // namespace nyra::test
