// The game-traffic relay: its checks, resumable streams, acknowledgements, the game-server
// stand-ins and the relay's faults, driven by a launcher-like WebSocket client over TLS.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <functional>

#include "tools/common/crypto.h"
#include "tools/common/seeded_bytes.h"
#include "tools/service/relay.h"
#include "tools/service/tests/relay_client.h"

namespace nyra::service::testing {
namespace {

using nlohmann::json;

std::string seededText(std::uint64_t seed, std::size_t size) {
    std::string bytes(size, '\0');
    tools::SeededBytes(seed).fill(std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), size));
    return bytes;
}

// The index of the first byte that is not the seeded sequence, or the size when all are.
std::size_t firstSeededMismatch(std::uint64_t seed, std::string_view bytes) {
    tools::SeededBytes expected(seed);
    return expected.match(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// ---- rules ----

TEST(RelayRulesTest, AcknowledgementTextIsOneToTwentyDigitsThatFit) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> value;
    } cases[] = {
        {"0", 0},
        {"5", 5},
        {"00000000000000000001", 1},
        {"18446744073709551615", UINT64_MAX},
        {"", std::nullopt},
        {"+5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"-1", std::nullopt},
        {"1e3", std::nullopt},
        {"100000000000000000000", std::nullopt},  // 21 digits
        {"18446744073709551616", std::nullopt},   // 20 digits beyond 64 bits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseAcknowledgement(c.text), c.value) << "'" << c.text << "'";
    }
}

TEST(RelayRulesTest, AcknowledgementPacing) {
    const struct {
        std::uint64_t received, lastSent;
        std::int64_t ms;
        bool due;
    } cases[] = {
        {0, 0, 2999, false},      {0, 0, 3000, true},          // keep-alive
        {100, 0, 999, false},     {100, 0, 1000, true},        // a change, once a second
        {32767, 0, 0, false},     {32768, 0, 0, true},         // at once after 32 KiB
        {70000, 40000, 10, false}, {72768, 40000, 10, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(acknowledgementDue(c.received, c.lastSent, c.ms), c.due)
            << c.received << " after " << c.lastSent << ", " << c.ms << " ms";
    }
}

TEST(RelayRulesTest, SeededDropPointsAreReproducibleAroundTheirMean) {
    std::uint64_t total = 0;
    for (std::uint64_t use = 0; use < 4000; ++use) {
        const std::uint64_t point = seededDropPoint(7, use, 1000);
        ASSERT_GE(point, 1u);
        ASSERT_LE(point, 1999u);
        EXPECT_EQ(point, seededDropPoint(7, use, 1000));
        total += point;
    }
    EXPECT_NEAR(static_cast<double>(total) / 4000.0, 1000.0, 50.0);
    EXPECT_NE(seededDropPoint(7, 0, 1000), seededDropPoint(8, 0, 1000));
    EXPECT_EQ(seededDropPoint(3, 5, 1), 1u);
}

TEST(SeededBytesTest, TheSequenceIsSplitmix64LittleEndianReadableInAnyPieces) {
    // splitmix64 from 0: e220a8397b1dcdaf, 6e789e6aa1b965f4 (the Windows side must see the same).
    const std::uint8_t seedZero[] = {0xaf, 0xcd, 0x1d, 0x7b, 0x39, 0xa8, 0x20, 0xe2,
                                     0xf4, 0x65, 0xb9, 0xa1, 0x6a, 0x9e, 0x78, 0x6e};
    std::array<std::uint8_t, 16> bytes{};
    tools::SeededBytes(0).fill(bytes);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), std::begin(seedZero)));
    EXPECT_EQ(tools::hexEncode(tools::asBytes(seededText(12345, 16))), "a011d1a958821122edf813f7e5dc6e34");

    tools::SeededBytes pieces(99);
    std::uint64_t index = 0;
    for (std::size_t size : {1u, 3u, 8u, 13u, 1000u, 7u, 64u}) {
        std::vector<std::uint8_t> piece(size);
        pieces.fill(piece);
        for (std::uint8_t byte : piece) {
            ASSERT_EQ(byte, tools::seededByteAt(99, index)) << "byte " << index;
            ++index;
        }
    }
    EXPECT_EQ(pieces.position(), index);
    tools::SeededBytes from(99, 5);
    EXPECT_EQ(from.next(), tools::seededByteAt(99, 5));
}

// ---- the service ----

class RelayTest : public ::testing::Test {
protected:
    ServiceHarness harness;
    BackendClient backend{harness};
    RelayCredentials credentials;

    void SetUp() override {
        backend.signIn();
        credentials = startGameSession(backend, harness.set());
    }

    std::unique_ptr<RelayClient> client(const std::string& channel = "world") {
        return std::make_unique<RelayClient>(harness.service().port(), credentials, channel);
    }
    json relay() const { return harness.control("GET", "/state", nullptr).at("relay"); }
    void fault(json rule) {
        rule["target"] = "relay";
        harness.control("POST", "/faults", rule);
    }
    // The relay works on its own thread: waits until its state satisfies `done`.
    json relayWhen(const std::function<bool(const json&)>& done) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        json state = relay();
        while (!done(state) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
            state = relay();
        }
        EXPECT_TRUE(done(state)) << state.dump();
        return state;
    }
    static HeaderList resumeHeaders(const RelayClient& client, const std::string& id, const std::string& offset) {
        HeaderList headers = client.baseHeaders();
        headers.emplace_back("X-Nyra-Resume-Id", id);
        headers.emplace_back("X-Nyra-Resume-Offset", offset);
        return headers;
    }
};

void set(HeaderList& headers, const std::string& name, const std::string& value) {
    std::erase_if(headers, [&](const auto& header) { return header.first == name; });
    headers.emplace_back(name, value);
}
void remove(HeaderList& headers, const std::string& name) {
    std::erase_if(headers, [&](const auto& header) { return header.first == name; });
}

TEST_F(RelayTest, RefusesWhatTheBackendWouldRefuseInItsOrder) {
    const std::string forged = tools::opaqueToken();
    const std::string csrf = credentials.csrf;
    const std::string session = credentials.session;
    const struct {
        const char* what;
        std::function<void(HeaderList&)> change;
        unsigned status;
    } cases[] = {
        {"no Origin", [](HeaderList& h) { remove(h, "Origin"); }, 403},
        {"another Origin", [](HeaderList& h) { set(h, "Origin", "https://localhost.example"); }, 403},
        {"Origin before the session", [](HeaderList& h) { set(h, "Origin", "http://localhost"); remove(h, "Cookie"); }, 403},
        {"no session cookie", [&](HeaderList& h) { set(h, "Cookie", "__Host-nyra_csrf=" + csrf); }, 401},
        {"unknown session", [&](HeaderList& h) { set(h, "Cookie", "__Host-nyra_csrf=" + csrf + "; __Host-nyra_session=" + forged); }, 401},
        {"session before CSRF", [&](HeaderList& h) { set(h, "Cookie", "__Host-nyra_csrf=" + csrf); remove(h, "X-CSRF-Token"); }, 401},
        {"no CSRF header", [](HeaderList& h) { remove(h, "X-CSRF-Token"); }, 403},
        {"CSRF header differs from the cookie", [&](HeaderList& h) { set(h, "X-CSRF-Token", forged); }, 403},
        {"CSRF never issued", [&](HeaderList& h) {
             set(h, "Cookie", "__Host-nyra_csrf=" + forged + "; __Host-nyra_session=" + session);
             set(h, "X-CSRF-Token", forged);
         }, 403},
        {"no bearer", [](HeaderList& h) { remove(h, "Authorization"); }, 401},
        {"unknown game token", [&](HeaderList& h) { set(h, "Authorization", "Bearer " + forged); }, 401},
        {"another scheme", [&](HeaderList& h) { set(h, "Authorization", "Basic " + forged); }, 401},
        {"no channel", [](HeaderList& h) { remove(h, "X-Nyra-Game-Channel"); }, 400},
        {"unknown channel", [](HeaderList& h) { set(h, "X-Nyra-Game-Channel", "lobby"); }, 400},
        {"X-Nyra-Resume other than 1", [](HeaderList& h) { set(h, "X-Nyra-Resume", "yes"); }, 400},
        {"offset without id", [](HeaderList& h) { set(h, "X-Nyra-Resume-Offset", "0"); }, 400},
        {"id without offset", [&](HeaderList& h) { set(h, "X-Nyra-Resume-Id", forged); }, 400},
        {"malformed id", [](HeaderList& h) { set(h, "X-Nyra-Resume-Id", "abc"); set(h, "X-Nyra-Resume-Offset", "0"); }, 400},
        {"offset with a sign", [&](HeaderList& h) { set(h, "X-Nyra-Resume-Id", forged); set(h, "X-Nyra-Resume-Offset", "+5"); }, 400},
        {"offset of 21 digits", [&](HeaderList& h) {
             set(h, "X-Nyra-Resume-Id", forged);
             set(h, "X-Nyra-Resume-Offset", "100000000000000000000");
         }, 400},
        {"unknown id", [&](HeaderList& h) { set(h, "X-Nyra-Resume-Id", forged); set(h, "X-Nyra-Resume-Offset", "0"); }, 404},
    };
    auto relayClient = client();
    for (const auto& c : cases) {
        HeaderList headers = relayClient->baseHeaders();
        c.change(headers);
        EXPECT_EQ(relayClient->upgrade(headers).status, c.status) << c.what;
    }
    const json state = relay();
    EXPECT_EQ(state.at("refused"), std::size(cases));
    EXPECT_EQ(state.at("streams"), 0);

    // The game token of another account, and a stopped one.
    harness.service().store().addAccount("bruno.lima", "outra-senha-longa", 1000);
    BackendClient other(harness);
    other.answer(0);
    other.answer(1, {{"username", "bruno.lima"}, {"password", "outra-senha-longa"}});
    const auto otherCredentials = startGameSession(other, harness.set());
    HeaderList headers = relayClient->baseHeaders();
    set(headers, "Authorization", "Bearer " + otherCredentials.gameToken);
    EXPECT_EQ(relayClient->upgrade(headers).status, 403);
    backend.answer(9, json::object(), 200, {{"Authorization", "Bearer " + credentials.gameToken}});
    EXPECT_EQ(relayClient->open().status, 401) << "a stopped game session";
    EXPECT_FALSE(relayClient->connected());

    const auto log = harness.service().store().query("SELECT status FROM request_log WHERE target = 'relay'");
    EXPECT_EQ(log.size(), std::size(cases) + 2);
}

TEST_F(RelayTest, NewStreamsEchoAndEndWithANormalClose) {
    auto resumable = client("login");
    const auto answer = resumable->open(true);
    ASSERT_EQ(answer.status, 101);
    ASSERT_NE(answer.header("X-Nyra-Resume-Id"), nullptr);
    EXPECT_TRUE(isOpaqueToken(*answer.header("X-Nyra-Resume-Id")));
    EXPECT_EQ(*answer.header("X-Nyra-Resume-Received"), "0");
    const std::string payload = seededText(4, 100000);
    resumable->send("E");
    resumable->echoLockStep(payload, 16384);
    EXPECT_EQ(resumable->received, echoed(payload));
    // Acknowledged at least every 32 KiB: never more than was sent, never going back.
    ASSERT_GE(resumable->texts.size(), 2u);
    std::uint64_t previous = 0;
    for (const auto& text : resumable->texts) {
        const auto value = parseAcknowledgement(text);
        ASSERT_TRUE(value) << text;
        EXPECT_GE(*value, previous);
        EXPECT_LE(*value, resumable->sent);
        previous = *value;
    }
    resumable->closeNormally();
    relayWhen([](const json& s) { return s.at("closed") == 1 && s.at("open") == 0; });
    auto again = client("login");
    EXPECT_EQ(again->upgrade(resumeHeaders(*again, resumable->resumeId, "100000")).status, 410);

    auto plain = client("zone");
    const auto plainAnswer = plain->open(false);
    ASSERT_EQ(plainAnswer.status, 101);
    EXPECT_EQ(plainAnswer.header("X-Nyra-Resume-Id"), nullptr);
    EXPECT_EQ(plainAnswer.header("X-Nyra-Resume-Received"), nullptr);
    plain->send("E");
    plain->echoLockStep("a stream without resumption", 8);
    EXPECT_EQ(plain->received, echoed("a stream without resumption"));
    EXPECT_TRUE(plain->texts.empty());
}

TEST_F(RelayTest, SeededStreamAndEchoSurviveADropStormEveryByteOnceAndInOrder) {
    fault({{"kind", "drop"}, {"seed", 7}, {"mean", 24576}, {"direction", "both"}, {"always", true}});
    auto stream = client("zone");
    ASSERT_EQ(stream->open().status, 101);
    constexpr std::size_t kDown = 1 << 20;
    stream->send(seededRequest(99, kDown));
    stream->receiveUntil(kDown);
    EXPECT_EQ(firstSeededMismatch(99, stream->received), kDown);

    const std::string upload = seededText(5, 256 * 1024);
    stream->echoLockStep(upload, 8192);
    EXPECT_EQ(stream->received.substr(kDown), echoed(upload));

    // The last drop is noticed by the next read: one more round trip without faults.
    harness.control("DELETE", "/faults", nullptr);
    stream->echoLockStep("!", 1);
    EXPECT_EQ(stream->received.size(), kDown + upload.size() + 1);

    const json state = relay();
    EXPECT_GE(state.at("drops").get<int>(), 20);
    EXPECT_EQ(state.at("drops"), state.at("drops_reset"));
    EXPECT_EQ(state.at("resumptions"), state.at("drops")) << "every drop was resumed";
    EXPECT_EQ(state.at("resumptions"), stream->resumptions);
    EXPECT_EQ(state.at("streams"), 1);
    EXPECT_EQ(harness.control("GET", "/state", nullptr).at("game_servers").at("connections"), 1)
        << "one game-server connection kept across every WebSocket";
}

TEST_F(RelayTest, ResumptionResendsFromTheOffsetAndChecksIt) {
    auto stream = client("login");
    ASSERT_EQ(stream->open().status, 101);
    stream->send(seededRequest(11, 100000));
    stream->receiveUntil(60000);
    stream->acknowledge();
    relayWhen([&](const json& s) { return s.at("open_streams").at(0).at("acknowledged") == stream->received.size(); });
    const std::uint64_t acknowledged = stream->received.size();
    const json before = relay().at("open_streams").at(0);
    const std::uint64_t sent = before.at("sent");

    auto probe = client("login");
    const struct {
        std::uint64_t offset;
        unsigned status;
    } offsets[] = {{acknowledged - 1, 400}, {sent + 1, 400}};
    for (const auto& o : offsets) {
        EXPECT_EQ(probe->upgrade(resumeHeaders(*probe, stream->resumeId, std::to_string(o.offset))).status, o.status)
            << o.offset;
    }
    auto otherChannel = client("world");
    EXPECT_EQ(otherChannel->upgrade(resumeHeaders(*otherChannel, stream->resumeId, "60000")).status, 404);
    EXPECT_TRUE(relay().at("open_streams").at(0).at("live")) << "refusals leave the WebSocket in place";

    // The launcher lost what followed byte `acknowledged`: the relay sends it again from there.
    stream->received.resize(acknowledged);
    stream->abandon();
    const auto answer = stream->resume();
    ASSERT_EQ(answer.status, 101);
    EXPECT_EQ(*answer.header("X-Nyra-Resume-Received"), "17") << "the seeded request's header";
    stream->receiveUntil(100000);
    EXPECT_EQ(stream->received.size(), 100000u);
    EXPECT_EQ(firstSeededMismatch(11, stream->received), 100000u);
    // A resumption from what the launcher holds counts as its acknowledgement: nothing before it
    // is kept for resending.
    ASSERT_LT(relay().at("open_streams").at(0).at("acknowledged").get<std::uint64_t>(), 100000u);
    stream->abandon();
    ASSERT_EQ(stream->resume().status, 101);
    EXPECT_EQ(relay().at("open_streams").at(0).at("acknowledged"), 100000u);
    EXPECT_EQ(relay().at("open_streams").at(0).at("unacknowledged"), 0u);
    stream->echoLockStep("after", 5);
    EXPECT_EQ(stream->received.substr(100000), echoed("after"));
}

TEST_F(RelayTest, StreamsWithoutALiveWebSocketExpireAfterTheGracePeriod) {
    auto stream = client("world");
    ASSERT_EQ(stream->open().status, 101);
    stream->send("E");
    stream->echoLockStep("ping", 4);
    stream->abandon();
    fault({{"kind", "drop"}, {"at", 0}});  // the resumption's WebSocket is cut at once
    harness.advanceClock(30);
    ASSERT_EQ(stream->resume().status, 101) << "within the grace period";
    relayWhen([](const json& s) { return s.at("open_streams").at(0).at("live") == false; });
    harness.advanceClock(61);
    EXPECT_EQ(stream->resume().status, 410);
    const json state = relay();
    EXPECT_EQ(state.at("expired"), 1);
    EXPECT_EQ(state.at("open"), 0);
    EXPECT_EQ(state.at("grace_seconds"), 60);
}

TEST_F(RelayTest, StreamsWithoutResumptionEndAtTheFirstDrop) {
    fault({{"kind", "drop"}, {"at", 5}});
    auto plain = client("world");
    ASSERT_EQ(plain->open(false).status, 101);
    plain->send("E");
    plain->send("0123456789");
    while (plain->receiveOne()) {
    }
    EXPECT_EQ(plain->received, echoed("01234"));
    relayWhen([](const json& s) { return s.at("broken") == 1 && s.at("open") == 0; });
}

TEST_F(RelayTest, TheLaunchersTextIsChecked) {
    const struct {
        bool resumable;
        const char* text;
    } cases[] = {
        {false, "0"},                       // no text at all without resumption
        {true, "+5"},
        {true, "100000000000000000000"},
        {true, "1000"},                     // more than was ever sent
    };
    for (const auto& c : cases) {
        auto stream = client("login");
        ASSERT_EQ(stream->open(c.resumable).status, 101);
        stream->send("E");
        stream->echoLockStep("abc", 3);
        ASSERT_TRUE(stream->sendText(c.text));
        while (stream->receiveOne()) {
        }
        EXPECT_EQ(stream->closeCode, std::optional<std::uint16_t>(1002)) << c.text;
    }
    relayWhen([&](const json& s) { return s.at("broken") == std::size(cases); });
}

TEST_F(RelayTest, FaultsOfTheUpgradeAndTheResumption) {
    // Without the resume headers (all, or one of them) the stream is not resumable at either end.
    for (const char* omit : {"both", "received", "id"}) {
        fault({{"kind", "no-resume-headers"}, {"omit", omit}});
        auto stream = client("zone");
        const auto answer = stream->open();
        ASSERT_EQ(answer.status, 101);
        EXPECT_EQ(answer.header("X-Nyra-Resume-Id") != nullptr, std::string(omit) == "received") << omit;
        EXPECT_EQ(answer.header("X-Nyra-Resume-Received") != nullptr, std::string(omit) == "id") << omit;
        EXPECT_TRUE(stream->resumeId.empty());
        if (const std::string* id = answer.header("X-Nyra-Resume-Id")) {
            auto probe = client("zone");
            EXPECT_EQ(probe->upgrade(resumeHeaders(*probe, *id, "0")).status, 404) << omit;
        }
    }

    auto stream = client("login");
    ASSERT_EQ(stream->open().status, 101);
    stream->send("E");
    stream->echoLockStep("12345", 5);
    const std::string id = stream->resumeId;

    fault({{"kind", "refuse-resume"}, {"status", 401}});
    stream->abandon();
    EXPECT_EQ(stream->resume().status, 401);
    ASSERT_EQ(stream->resume().status, 101) << "one resumption only";

    fault({{"kind", "change-resume-id"}});
    auto changed = stream->upgrade(resumeHeaders(*stream, id, "5"));
    ASSERT_EQ(changed.status, 101);
    EXPECT_TRUE(isOpaqueToken(*changed.header("X-Nyra-Resume-Id")));
    EXPECT_NE(*changed.header("X-Nyra-Resume-Id"), id);

    fault({{"kind", "impossible-received"}});
    auto impossible = stream->upgrade(resumeHeaders(*stream, id, "5"));
    ASSERT_EQ(impossible.status, 101);
    EXPECT_EQ(*impossible.header("X-Nyra-Resume-Received"), std::to_string(6 + (std::uint64_t{1} << 32)));
    fault({{"kind", "impossible-received"}, {"value", "12x"}});
    EXPECT_EQ(*stream->upgrade(resumeHeaders(*stream, id, "5")).header("X-Nyra-Resume-Received"), "12x");

    fault({{"kind", "status"}, {"status", 503}});
    EXPECT_EQ(client("world")->open().status, 503);
    EXPECT_EQ(client("world")->open().status, 101);
}

TEST_F(RelayTest, MalformedAcknowledgementsAreSentAsTheyAre) {
    for (const char* text : {"100000000000000000000", "+5", " 5"}) {
        fault({{"kind", "bad-ack"}, {"value", text}});
        auto stream = client("world");
        ASSERT_EQ(stream->open().status, 101);
        ASSERT_TRUE(stream->receiveOne());
        ASSERT_EQ(stream->texts.size(), 1u);
        EXPECT_EQ(stream->texts[0], text);
    }
    fault({{"kind", "bad-ack"}, {"at", 1000}});
    auto stream = client("world");
    ASSERT_EQ(stream->open().status, 101);
    stream->send(seededRequest(1, 3000));
    while (stream->texts.empty() || stream->texts.back() != "100000000000000000000") {
        ASSERT_TRUE(stream->receiveOne());
    }
    EXPECT_EQ(stream->received.size(), 1000u) << "sent once 1000 game bytes went out";
    EXPECT_EQ(relay().at("bad_acks"), 4);
}

TEST_F(RelayTest, SilenceHoldsEveryMessageForItsTime) {
    fault({{"kind", "silent"}, {"ms", 400}});
    auto stream = client("zone");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(stream->open().status, 101);
    stream->send("E");
    stream->send("quiet");
    ASSERT_TRUE(stream->receiveOne());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    stream->receiveUntil(5);
    EXPECT_EQ(stream->received, echoed("quiet"));
    EXPECT_EQ(relay().at("silences"), 1);
    EXPECT_EQ(harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "silent"}}).at("ids").size(), 1u);
    EXPECT_EQ(harness.control("GET", "/faults", nullptr).at(0).at("ms"), 15000) << "longer than 10 s by default";
}

TEST_F(RelayTest, DropsByResetAndByStall) {
    fault({{"kind", "drop"}, {"at", 1000}});
    auto reset = client("login");
    ASSERT_EQ(reset->open().status, 101);
    reset->send(seededRequest(21, 5000));
    while (reset->receiveOne()) {
    }
    EXPECT_EQ(reset->received.size(), 1000u) << "the bytes before the drop point arrive, then the reset";
    reset->receiveUntil(5000);
    EXPECT_EQ(firstSeededMismatch(21, reset->received), 5000u);
    EXPECT_EQ(relay().at("drops_reset"), 1);

    fault({{"kind", "drop"}, {"at", 1000}, {"how", "stall"}});
    auto stall = client("login");
    ASSERT_EQ(stall->open().status, 101);
    stall->send(seededRequest(22, 5000));
    while (stall->received.size() < 1000) {
        ASSERT_TRUE(stall->receiveOne());
    }
    EXPECT_EQ(stall->received.size(), 1000u);
    relayWhen([](const json& s) { return s.at("drops_stall") == 1; });
    const int stalledFd = stall->socketFd();
    char byte = 0;
    EXPECT_EQ(::recv(stalledFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT), -1) << "nothing arrives, yet TCP is open";
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    stall->abandon();
    ASSERT_EQ(stall->resume().status, 101);
    stall->receiveUntil(5000);
    EXPECT_EQ(firstSeededMismatch(22, stall->received), 5000u);
    pollfd entry{stalledFd, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 10000), 1) << "the resumption ends the stalled connection";
    EXPECT_LE(::recv(stalledFd, &byte, 1, MSG_DONTWAIT), 0);
}

TEST_F(RelayTest, ControlRefusesRelayRulesThatCannotApply) {
    harness.control("POST", "/faults", {{"target", "backend"}, {"kind", "silent"}}, 400);
    harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "corrupt"}}, 400);
    harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "drop"}, {"mean", 0}}, 400);
    harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "drop"}, {"seed", 1}}, 400);
    harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "drop"}, {"how", "cut"}}, 400);
    harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "drop"}, {"direction", "up"}}, 400);
    harness.control("POST", "/faults", {{"target", "relay"}, {"kind", "no-resume-headers"}, {"omit", "x"}}, 400);
    EXPECT_TRUE(harness.control("GET", "/faults", nullptr).empty());
}

// ---- the game servers, directly ----

TEST(GameServersTest, EchoSeededSequenceAndRefusal) {
    GameServers servers;
    servers.start();
    const auto ports = servers.ports();
    boost::asio::io_context io;
    using tcp = boost::asio::ip::tcp;
    const auto connect = [&](std::size_t channel) {
        tcp::socket socket(io);
        socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), ports[channel]));
        return socket;
    };
    const auto readExactly = [](tcp::socket& socket, std::size_t size) {
        std::string bytes(size, '\0');
        boost::asio::read(socket, boost::asio::buffer(bytes));
        return bytes;
    };
    for (std::size_t channel = 0; channel < kGameChannelCount; ++channel) {
        auto seeded = connect(channel);
        // The trailing bytes are echoed only once the whole sequence has gone out.
        boost::asio::write(seeded, boost::asio::buffer(seededRequest(channel, 200000) + "tail"));
        EXPECT_EQ(firstSeededMismatch(channel, readExactly(seeded, 200000)), 200000u);
        EXPECT_EQ(readExactly(seeded, 4), echoed("tail"));
        boost::asio::write(seeded, boost::asio::buffer(std::string("more")));
        EXPECT_EQ(readExactly(seeded, 4), echoed("more"));

        auto echo = connect(channel);
        const std::string payload = seededText(channel + 10, 300000);
        boost::asio::write(echo, boost::asio::buffer("E" + payload));
        EXPECT_EQ(readExactly(echo, payload.size()), echoed(payload));
    }
    auto refused = connect(1);
    boost::asio::write(refused, boost::asio::buffer(std::string("X")));
    char byte = 0;
    boost::system::error_code error;
    refused.read_some(boost::asio::buffer(&byte, 1), error);
    EXPECT_TRUE(error) << "an unknown first byte closes the connection";
    EXPECT_EQ(servers.state().at("connections"), 2 * kGameChannelCount + 1);
    servers.stop();
}

}  // namespace
}  // namespace nyra::service::testing
