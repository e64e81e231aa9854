// What the tests of a running game need from the service: item-mall data that changes with every
// heartbeat, the game sessions as the control endpoint reports them, the multi-client limit set at
// run time, and the faults of a session (refused heartbeats, a wrong echo, another transport).
#include <gtest/gtest.h>

#include "tools/common/crypto.h"
#include "tools/service/tests/harness.h"

namespace nyra::service::testing {
namespace {

using nlohmann::json;

class GameSessionTest : public ::testing::Test {
protected:
    ServiceHarness harness;
    BackendClient client{harness};

    void SetUp() override { client.signIn(); }

    json startArgs() const {
        const auto& set = harness.set();
        return {{"version", set.packageId},
                {"package_id", set.packageId},
                {"files", {{"Launcher.exe", set.launcherSha256}}},
                {"hwid", std::string(64, 'd')},
                {"hwid_info", "HWID v1"},
                {"transport", "cloudflare-ws-v1"}};
    }
    json start(unsigned status = 200) { return client.answer(7, startArgs(), status); }

    ClientResponse heartbeat(const std::string& token, std::uint64_t sequence) {
        return client.call(8, {{"sequence", sequence}, {"version", harness.set().packageId}},
                           {{"Authorization", "Bearer " + token}});
    }
    json heartbeatAnswer(const std::string& token, std::uint64_t sequence) {
        const auto response = heartbeat(token, sequence);
        EXPECT_EQ(response.status, 200u) << response.body;
        return json::from_cbor(response.body);
    }
    json sessions() const { return harness.control("GET", "/game-sessions", nullptr); }
};

TEST_F(GameSessionTest, ItemMallChangesWithEveryHeartbeatAndTheControlEndpointReportsTheSession) {
    const auto started = start();
    const std::string token = started.at("token");
    EXPECT_EQ(started.at("itemmall").at("revision"), 0);
    EXPECT_EQ(heartbeatAnswer(token, 1).at("itemmall").at("revision"), 1);
    const auto second = heartbeatAnswer(token, 2).at("itemmall");
    EXPECT_EQ(second.at("revision"), 2);
    EXPECT_EQ(second.at("balance"), started.at("itemmall").at("balance")) << "only the counter moves";
    client.answer(10, {{"kind", "foreign_module"}, {"token", token}, {"detail", "C:\\hook.dll"}});
    client.answer(10, {{"kind", "game_crash"}, {"token", token}, {"detail", "game_closed exit=0xC0000005"}});

    auto reported = sessions();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].at("username"), kUser);
    EXPECT_EQ(reported[0].at("package_id"), harness.set().packageId);
    EXPECT_EQ(reported[0].at("hwid"), std::string(64, 'd'));
    EXPECT_EQ(reported[0].at("stopped"), false);
    EXPECT_EQ(reported[0].at("last_sequence"), 2);
    ASSERT_EQ(reported[0].at("heartbeats").size(), 2u);
    EXPECT_EQ(reported[0].at("heartbeats")[1].at("sequence"), 2);
    ASSERT_EQ(reported[0].at("events").size(), 2u);
    EXPECT_EQ(reported[0].at("events")[0].at("kind"), "foreign_module");
    EXPECT_EQ(reported[0].at("events")[1].at("detail"), "game_closed exit=0xC0000005");

    // A second session starts its counter afresh; stopping shows in the report.
    const std::string next = start().at("token");
    EXPECT_EQ(heartbeatAnswer(next, 1).at("itemmall").at("revision"), 1);
    client.answer(9, json::object(), 200, {{"Authorization", "Bearer " + token}});
    reported = sessions();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].at("stopped"), true);
    EXPECT_TRUE(reported[0].at("stopped_at").is_number());
    EXPECT_EQ(reported[1].at("stopped"), false);
    EXPECT_EQ(reported[1].at("heartbeats").size(), 1u);
    EXPECT_TRUE(reported[1].at("events").empty());
}

TEST_F(GameSessionTest, MultiClientLimitIsSetAtRunTime) {
    EXPECT_EQ(start().at("multi_client_limit"), 2) << "the start-up setting";
    for (const unsigned limit : {0u, 1u, 11u}) {
        EXPECT_EQ(harness.control("POST", "/settings", {{"multi_client_limit", limit}}).at("multi_client_limit"), limit);
        EXPECT_EQ(start().at("multi_client_limit"), limit);
    }
    harness.control("POST", "/settings", {{"multi_client_limit", nullptr}});
    EXPECT_FALSE(start().contains("multi_client_limit")) << "left out: the launcher assumes 1";

    // Refusals change nothing.
    harness.control("POST", "/settings", {{"multi_client_limit", 5}});
    for (const json& bad : {json{{"multi_client_limit", -1}}, json{{"multi_client_limit", "3"}},
                            json{{"multi_client_limit", 1001}}, json{{"multi_client_limit", 2.5}},
                            json{{"multi_client_limit", 3}, {"other", 1}}, json::array()}) {
        harness.control("POST", "/settings", bad, 400);
    }
    EXPECT_EQ(harness.control("GET", "/settings", nullptr).at("multi_client_limit"), 5);
    EXPECT_EQ(harness.control("GET", "/state", nullptr).at("settings").at("multi_client_limit"), 5);

    EXPECT_EQ(harness.control("DELETE", "/settings", nullptr).at("multi_client_limit"), 2);
    EXPECT_EQ(start().at("multi_client_limit"), 2);
}

TEST_F(GameSessionTest, RefusedHeartbeatsAreNotRecordedAndTheSessionGoesOn) {
    const std::string token = start().at("token");
    harness.control("POST", "/faults", {{"target", "heartbeat"}, {"kind", "status"}, {"status", 503}, {"count", 2}});
    EXPECT_EQ(heartbeat(token, 1).status, 503u);
    EXPECT_EQ(heartbeat(token, 2).status, 503u);
    EXPECT_EQ(heartbeatAnswer(token, 3).at("sequence"), 3);
    const auto reported = sessions();
    ASSERT_EQ(reported[0].at("heartbeats").size(), 1u);
    EXPECT_EQ(reported[0].at("heartbeats")[0].at("sequence"), 3);
    EXPECT_EQ(reported[0].at("last_sequence"), 3);
}

TEST_F(GameSessionTest, WrongSequenceEchoesOneMore) {
    const std::string token = start().at("token");
    harness.control("POST", "/faults", {{"target", "heartbeat"}, {"kind", "wrong-sequence"}});
    const auto wrong = heartbeatAnswer(token, 7);
    EXPECT_EQ(wrong.at("sequence"), 8);
    EXPECT_TRUE(wrong.at("itemmall").is_object());
    EXPECT_EQ(heartbeatAnswer(token, 8).at("sequence"), 8) << "one heartbeat only";
    EXPECT_EQ(sessions()[0].at("heartbeats")[0].at("sequence"), 7) << "the service recorded what was sent";
}

TEST_F(GameSessionTest, StartAnswerMembersCanBeReplaced) {
    harness.control("POST", "/faults",
                    {{"target", "start"}, {"kind", "answer-member"}, {"name", "transport"}, {"value", "tcp-v0"}});
    const auto other = start();
    EXPECT_EQ(other.at("transport"), "tcp-v0");
    EXPECT_EQ(other.at("token").get<std::string>().size(), 43u) << "the session itself was started";
    EXPECT_EQ(start().at("transport"), "cloudflare-ws-v1");

    const json bigMall{{"padding", std::string(70000, 'x')}};
    harness.control("POST", "/faults",
                    {{"target", "start"}, {"kind", "answer-member"}, {"name", "itemmall"}, {"json", bigMall}});
    EXPECT_EQ(start().at("itemmall"), bigMall);
    harness.control("POST", "/faults",
                    {{"target", "start"}, {"kind", "answer-member"}, {"name", "multi_client_limit"}, {"json", 11}});
    EXPECT_EQ(start().at("multi_client_limit"), 11);

    for (const json& bad : {json{{"target", "start"}, {"kind", "answer-member"}, {"name", "x"}},
                            json{{"target", "start"}, {"kind", "answer-member"}, {"name", "x"}, {"value", "a"}, {"json", 1}},
                            json{{"target", "start"}, {"kind", "status"}, {"json", 1}}}) {
        harness.control("POST", "/faults", bad, 400);
    }
}

}  // namespace
}  // namespace nyra::service::testing
