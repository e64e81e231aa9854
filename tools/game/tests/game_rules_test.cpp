// The stand-in game's portable rules: the scenario grammar, the checks of what the launcher hands
// the guard (bundle, login), the guard's frames, and the byte-for-byte traffic check.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "state/translations.h"
#include "tools/common/seeded_bytes.h"
#include "tools/game/guard_protocol.h"
#include "tools/game/scenario.h"
#include "tools/game/traffic_check.h"

namespace nyra::standin {
namespace {

using nlohmann::json;

TEST(StandInScenario, ParsesActionsAndOptions) {
    struct Case {
        const char* text;
        Action action;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"", Action::Normal, 0},
        {"normal", Action::Normal, 0},
        {"crash", Action::Crash, 0},
        {"exit:0xE001", Action::Exit, 0xE001},
        {"exit:0xe004", Action::Exit, 0xE004},
        {"exit:57347", Action::Exit, 0xE003},
        {"hang", Action::Hang, 0},
        {"close-pipe", Action::ClosePipe, 0},
        {"never-connect", Action::NeverConnect, 0},
        {"error:2", Action::GuardError, 2},
        {"s-before-l", Action::SessionBeforeBundle, 0},
        {"long-notice", Action::LongNotice, 0},
        {"notices", Action::Notices, kDefaultNotices},
        {"notices:3", Action::Notices, 3},
        {"stall-l", Action::StallBundle, 0},
        {"modified", Action::Modification, 0},
        {"blocked", Action::Blocked, 0},
    };
    for (const auto& c : cases) {
        const Scenario scenario = parseScenario(c.text);
        EXPECT_EQ(scenario.action, c.action) << c.text;
        EXPECT_EQ(scenario.code, c.code) << c.text;
        const Scenario again = parseScenario(scenario.describe());
        EXPECT_EQ(again.action, scenario.action) << scenario.describe();
        EXPECT_EQ(again.code, scenario.code) << scenario.describe();
    }

    const Scenario full = parseScenario(" hang , close-after:120000,after:0, keepalive:250,traffic:0,item-mall ");
    EXPECT_EQ(full.action, Action::Hang);
    EXPECT_EQ(full.closeAfterMs, 120000u);
    EXPECT_EQ(full.afterMs, 0u);
    EXPECT_EQ(full.keepAliveMs, 250u);
    EXPECT_EQ(full.trafficBytes, 0u);
    EXPECT_TRUE(full.itemMallRequests);
    EXPECT_EQ(full.describe(), "hang,close-after:120000,after:0,keepalive:250,traffic:0,item-mall");

    const Scenario defaults = parseScenario("close-after:5000");
    EXPECT_EQ(defaults.action, Action::Normal);
    EXPECT_EQ(defaults.keepAliveMs, 5000u);
    EXPECT_EQ(defaults.afterMs, 1000u);
    EXPECT_EQ(defaults.trafficBytes, 65536u);
    EXPECT_FALSE(defaults.itemMallRequests);
}

TEST(StandInScenario, RefusesWhatItCannotMean) {
    for (const char* text : {"crash,hang", "exit", "exit:259", "exit:0x1FFFFFFFF", "error", "error:x", "crash:1",
                             "close-after:5000,close-after:10", "keepalive:20000", "keepalive:10", "traffic:-1",
                             "notices:0", "item-mall:1", "close-after", "normal,,crash", "Crash", "hang;close-after:1",
                             "after:600001"}) {
        EXPECT_THROW(parseScenario(text), std::invalid_argument) << text;
    }
    try {
        parseScenario("normal,explode");
        FAIL();
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("'explode'"), std::string::npos) << error.what();
    }
}

TEST(StandInScenario, OnlyTheHandshakeBreakersNeverGetReady) {
    for (const char* text : {"never-connect", "error:1", "s-before-l", "stall-l"}) {
        EXPECT_FALSE(parseScenario(text).becomesReady()) << text;
    }
    for (const char* text : {"normal", "crash", "hang", "exit:0xE001", "close-pipe", "modified", "blocked", "notices",
                             "long-notice"}) {
        EXPECT_TRUE(parseScenario(text).becomesReady()) << text;
    }
}

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> bundleOf(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<std::uint8_t> bundle = bytesOf("NYRATRB1");
    appendLittleEndian(bundle, entries.size(), 4);
    for (const auto& [name, data] : entries) {
        appendLittleEndian(bundle, name.size(), 2);
        bundle.insert(bundle.end(), name.begin(), name.end());
        appendLittleEndian(bundle, data.size(), 4);
        bundle.insert(bundle.end(), data.begin(), data.end());
    }
    return bundle;
}

// The guard's check agrees with the launcher's own format check on every case.
TEST(StandInBundle, AgreesWithTheLaunchersFormatCheck) {
    const auto good = bundleOf({{"data/db/T_Item.ini", "[Item]\r\n1=Espada\r\n"}, {"data/db/T_Npc.ini", "x"}});
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bundle;
        bool valid;
    };
    std::vector<Case> cases{
        {"good", good, true},
        {"empty", {}, false},
        {"magic only", bytesOf("NYRATRB1"), false},
        {"no entries", bundleOf({}), false},
        {"short name", bundleOf({{"data/db/T_.ini", "x"}}), false},
        {"other folder", bundleOf({{"data/ui/T_Item.ini", "x"}}), false},
        {"other suffix", bundleOf({{"data/db/T_Item.txt", "x"}}), false},
        {"empty data", bundleOf({{"data/db/T_Item.ini", ""}}), false},
    };
    auto otherMagic = good;
    otherMagic[7] = '2';
    cases.push_back({"other magic", otherMagic, false});
    auto trailing = good;
    trailing.push_back(0);
    cases.push_back({"trailing byte", trailing, false});
    auto truncated = good;
    truncated.pop_back();
    cases.push_back({"truncated", truncated, false});
    auto tooMany = good;
    tooMany[8] = 65;
    cases.push_back({"65 entries", tooMany, false});
    auto wrongCount = good;
    wrongCount[8] = 3;
    cases.push_back({"count beyond the entries", wrongCount, false});

    for (const auto& c : cases) {
        const BundleCheck check = checkBundle(c.bundle);
        EXPECT_EQ(check.valid, c.valid) << c.name << ": " << check.problem;
        EXPECT_EQ(isTranslationBundle(c.bundle), c.valid) << c.name;
        EXPECT_EQ(check.problem.empty(), c.valid) << c.name;
    }
    EXPECT_EQ(checkBundle(good).entries, 2u);
}

std::vector<std::uint8_t> loginOf(const json& login) { return bytesOf(login.dump()); }

json goodLogin() {
    return {{"username", "tester"},
            {"account_id", 7},
            {"ticket", std::string(43, 't')},
            {"world", "nyra-br-1"},
            {"network", {{"6543", 50001}, {"5712", 50002}, {"10166", 50003}}},
            {"news_url", "https://localhost/game-news/?ticket=" + std::string(43, 'n')},
            {"vip_token", std::string(256, 'v')}};
}

TEST(StandInLogin, SummarisesAGoodLoginWithoutItsCredentials) {
    const LoginCheck check = checkLogin(loginOf(goodLogin()));
    EXPECT_TRUE(check.valid) << check.summary.dump();
    EXPECT_EQ(check.ports, (std::array<std::uint16_t, 3>{50001, 50002, 50003}));
    EXPECT_EQ(check.summary.at("username"), "tester");
    EXPECT_EQ(check.summary.at("network").at("10166"), 50003);
    EXPECT_EQ(check.summary.at("news_url_prefix"), "https://localhost/game-news/?ticket=");
    EXPECT_EQ(check.summary.at("news_ticket_length"), 43);
    EXPECT_EQ(check.summary.at("ticket_length"), 43);
    EXPECT_EQ(check.summary.at("vip_token_length"), 256);
    EXPECT_TRUE(check.summary.at("voice_token_length").is_null()) << "absent";
    EXPECT_EQ(check.summary.at("keys"),
              json({"account_id", "network", "news_url", "ticket", "username", "vip_token", "world"}));
    const std::string text = check.summary.dump();
    EXPECT_EQ(text.find(std::string(43, 't')), std::string::npos) << "no credential in the summary";
    EXPECT_EQ(text.find(std::string(43, 'n')), std::string::npos);
}

TEST(StandInLogin, NamesEveryProblem) {
    struct Case {
        const char* name;
        std::function<void(json&)> change;
        const char* problem;
    };
    const Case cases[] = {
        {"no username", [](json& l) { l.erase("username"); }, "no username"},
        {"empty username", [](json& l) { l["username"] = ""; }, "no username"},
        {"no network", [](json& l) { l.erase("network"); }, "no network map"},
        {"network not an object", [](json& l) { l["network"] = json::array(); }, "no network map"},
        {"port missing", [](json& l) { l["network"].erase("5712"); }, "no usable port for 5712"},
        {"port zero", [](json& l) { l["network"]["6543"] = 0; }, "no usable port for 6543"},
        {"port too large", [](json& l) { l["network"]["6543"] = 65536; }, "no usable port for 6543"},
        {"port as text", [](json& l) { l["network"]["10166"] = "50003"; }, "no usable port for 10166"},
        {"extra network member", [](json& l) { l["network"]["7000"] = 1; }, "unknown member 7000"},
        {"no news_url", [](json& l) { l.erase("news_url"); }, "no news_url"},
        {"news_url over http", [](json& l) { l["news_url"] = "http://localhost/game-news/?ticket=" + std::string(43, 'n'); },
         "news_url is not"},
        {"news ticket short", [](json& l) { l["news_url"] = "https://localhost/game-news/?ticket=abc"; }, "ticket is not"},
    };
    for (const auto& c : cases) {
        json login = goodLogin();
        c.change(login);
        const LoginCheck check = checkLogin(loginOf(login));
        EXPECT_FALSE(check.valid) << c.name;
        ASSERT_EQ(check.problems.size(), 1u) << c.name << ": " << check.summary.dump();
        EXPECT_NE(check.problems[0].find(c.problem), std::string::npos) << c.name << ": " << check.problems[0];
    }
    for (const std::string& text : {std::string("not json"), std::string("[1,2]"), std::string(100, '[') + std::string(100, ']')}) {
        const LoginCheck check = checkLogin(bytesOf(text));
        EXPECT_FALSE(check.valid) << text;
        EXPECT_EQ(check.problems.size(), 1u) << text;
    }
}

TEST(StandInFrames, AreLittleEndianWithTheirCommandByte) {
    const auto notice = noticeFrame(std::string(kLongNoticeBytes, 'm'));
    ASSERT_EQ(notice.size(), 3u + 301u);
    EXPECT_EQ(notice[0], 'M');
    EXPECT_EQ(notice[1], 301 & 0xFF);
    EXPECT_EQ(notice[2], 301 >> 8);
    EXPECT_THROW(noticeFrame(std::string(65536, 'm')), std::invalid_argument);
    EXPECT_EQ(errorFrame(0x01020304), (std::vector<std::uint8_t>{'E', 4, 3, 2, 1}));
    const auto keepAlive = keepAliveFrame(1, 2);
    ASSERT_EQ(keepAlive.size(), 17u);
    EXPECT_EQ(keepAlive[0], 'X');
    EXPECT_EQ(keepAlive[1], 1);
    EXPECT_EQ(keepAlive[9], 2);
    EXPECT_EQ(statisticsFrame(3, 4).size(), 17u);
    EXPECT_TRUE(isChannelSecret(std::string(64, 'a')));
    EXPECT_FALSE(isChannelSecret(std::string(64, 'A')));
    EXPECT_FALSE(isChannelSecret(std::string(63, 'a')));
    EXPECT_TRUE(isChannelPipeName("\\\\.\\pipe\\NyraBrasil-" + std::string(32, '0')));
    EXPECT_FALSE(isChannelPipeName("\\\\.\\pipe\\NyraBrasil-" + std::string(31, '0')));
    EXPECT_FALSE(isChannelPipeName("\\\\.\\pipe\\Other-" + std::string(32, '0')));
}

// What the game-server stand-in sends for an opening and later payload: the seeded answer, then
// the echo of every payload byte.
std::vector<std::uint8_t> serverStream(std::uint64_t seed, std::uint64_t seeded, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> stream(seeded);
    tools::SeededBytes(seed).fill(stream);
    for (const std::uint8_t byte : payload) stream.push_back(static_cast<std::uint8_t>(byte ^ kEchoTransform));
    return stream;
}

TEST(StandInTraffic, ChecksEveryByteInAnyChunking) {
    ChannelCheck check(42, 1000);
    const auto opening = check.opening();
    ASSERT_EQ(opening.size(), 17u);
    EXPECT_EQ(opening[0], 'S');
    EXPECT_EQ(opening[1], 42);
    EXPECT_EQ(opening[9], 1000 & 0xFF);
    EXPECT_EQ(opening[10], 1000 >> 8);

    auto payload = check.payload(300);
    const auto more = check.payload(5);
    payload.insert(payload.end(), more.begin(), more.end());
    EXPECT_EQ(check.owed(), 1305u);
    const auto stream = serverStream(42, 1000, payload);
    std::mt19937 random(7);
    std::size_t at = 0;
    while (at < stream.size()) {
        const std::size_t piece = std::min<std::size_t>(stream.size() - at, random() % 97 + 1);
        ASSERT_TRUE(check.receive(std::span(stream).subspan(at, piece))) << at;
        at += piece;
    }
    EXPECT_EQ(check.owed(), 0u);
    EXPECT_EQ(check.received(), 1305u);
    EXPECT_FALSE(check.failed());
    EXPECT_FALSE(check.receive(std::vector<std::uint8_t>{0})) << "nothing more was owed";
    EXPECT_EQ(check.mismatch(), 1305u);
}

TEST(StandInTraffic, NamesTheFirstWrongByte) {
    for (const std::size_t wrong : {std::size_t{0}, std::size_t{999}, std::size_t{1000}, std::size_t{1010}}) {
        ChannelCheck check(5, 1000);
        auto stream = serverStream(5, 1000, check.payload(20));
        stream[wrong] ^= 1;
        EXPECT_FALSE(check.receive(stream)) << wrong;
        EXPECT_EQ(check.mismatch(), wrong);
        EXPECT_FALSE(check.receive(std::vector<std::uint8_t>{})) << "stays failed";
    }
    ChannelCheck plain(5, 0);
    const auto payload = plain.payload(3);
    EXPECT_FALSE(plain.receive(payload)) << "an echo that is not transformed";
}

}  // namespace
}  // namespace nyra::standin
