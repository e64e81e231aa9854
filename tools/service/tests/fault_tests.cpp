// Fault injection through the control endpoint, run-time switches, and clean stops.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tools/common/crypto.h"
#include "tools/service/tests/harness.h"
#include "tools/service/tests/relay_client.h"

extern char** environ;

namespace nyra::service::testing {
namespace {

using nlohmann::json;

constexpr const char* kDevelopmentPin = "12cb70d7382e0041fdf79849b0f6560b448cf4f1f1d22cd786baf297603fa368";

class FaultTest : public ::testing::Test {
protected:
    ServiceHarness harness;

    ClientResponse policy(BackendClient& client) { return client.call(3); }
    ClientResponse cdnObject(HttpClient& cdn) {
        const auto size = harness.set().pack.size();
        return cdn.request("GET", harness.set().cdnObjectPath, {{"Range", "bytes=0-" + std::to_string(size - 1)}});
    }
};

TEST_F(FaultTest, StatusFailsTheNextRequestsOfOneOperationOnly) {
    harness.control("POST", "/faults", {{"target", "package-policy"}, {"kind", "status"}, {"status", 503}, {"count", 2}});
    BackendClient client(harness);
    EXPECT_EQ(client.answer(0).at("csrf").get<std::string>().size(), 43u) << "other operations are untouched";
    EXPECT_EQ(policy(client).status, 503);
    EXPECT_EQ(*policy(client).header("Content-Type"), "application/cbor");
    EXPECT_EQ(policy(client).status, 200);
    EXPECT_TRUE(harness.control("GET", "/faults", nullptr).empty());

    harness.control("POST", "/faults", {{"target", "3"}, {"kind", "status"}, {"status", 426}, {"always", true}});
    EXPECT_EQ(policy(client).status, 426);
    EXPECT_EQ(policy(client).status, 426);
    harness.control("DELETE", "/faults", nullptr);
    EXPECT_EQ(policy(client).status, 200);

    const auto log = harness.service().store().query(
        "SELECT status FROM request_log WHERE target = 'op:3' ORDER BY id");
    EXPECT_EQ(log.size(), 6u);
}

TEST_F(FaultTest, AnswerShapingFaults) {
    BackendClient client(harness);
    const std::size_t policySize = policy(client).body.size();
    struct Case {
        json rule;
        std::function<void(const ClientResponse&)> check;
    };
    const Case cases[] = {
        {{{"kind", "content-type"}, {"value", "application/json"}},
         [](const ClientResponse& r) { EXPECT_EQ(*r.header("Content-Type"), "application/json"); }},
        {{{"kind", "content-type-params"}},
         [](const ClientResponse& r) { EXPECT_EQ(*r.header("Content-Type"), "application/cbor; charset=utf-8"); }},
        {{{"kind", "no-content-type"}}, [](const ClientResponse& r) { EXPECT_EQ(r.header("Content-Type"), nullptr); }},
        {{{"kind", "oversize"}, {"bytes", 5000}},
         [policySize](const ClientResponse& r) { EXPECT_EQ(r.body.size(), policySize + 5000); }},
        {{{"kind", "truncate"}, {"bytes", 10}}, [](const ClientResponse& r) { EXPECT_EQ(r.body.size(), 10u); }},
    };
    for (const auto& c : cases) {
        auto rule = c.rule;
        rule["target"] = "package-policy";
        harness.control("POST", "/faults", rule);
        const auto answer = policy(client);
        EXPECT_EQ(answer.status, 200) << rule;
        c.check(answer);
        EXPECT_EQ(policy(client).body.size(), policySize) << "one request only: " << rule;
    }
}

TEST_F(FaultTest, AnswerMemberRewritesOneBackendAnswer) {
    BackendClient client(harness);
    const json original = client.answer(3);
    harness.control("POST", "/faults",
                    {{"target", "package-policy"}, {"kind", "answer-member"}, {"name", "package_id"}, {"value", "other-set"}});
    const json changed = client.answer(3);
    EXPECT_EQ(changed.at("package_id"), "other-set");
    EXPECT_EQ(changed.at("index_sha256"), original.at("index_sha256"));
    EXPECT_EQ(client.answer(3), original);
    harness.control("POST", "/faults", {{"kind", "answer-member"}, {"name", "package_id"}}, 400);
}

TEST_F(FaultTest, ShortEntryNameRenamesTheFirstTranslationEntry) {
    BackendClient client(harness);
    client.signIn();
    const auto& set = harness.set();
    client.downloadToken = client.answer(4, {{"package_id", set.packageId},
                                             {"index_sha256", tools::sha256Hex(tools::asBytes(set.index))},
                                             {"launcher_sha256", set.launcherSha256}})
                               .at("download_token");
    harness.control("POST", "/faults", {{"target", "translations"}, {"kind", "short-entry-name"}});
    const auto faulted = client.call(26, {{"language", "en"}});
    ASSERT_EQ(faulted.status, 200);
    EXPECT_EQ(*faulted.header("Content-Type"), "application/octet-stream");
    // The fixture's one entry is "data/db/T_Text.ini" (18 bytes); its data follows unchanged.
    const std::string& original = set.translationsEn;
    const std::string expected = original.substr(0, 12) + std::string("\x0e\x00", 2) + "data/db/T_.ini" +
                                 original.substr(14 + 18);
    EXPECT_EQ(faulted.body, expected);
    EXPECT_EQ(client.call(26, {{"language", "en"}}).body, original) << "one request only";

    // Other answers are left alone.
    harness.control("POST", "/faults", {{"target", "package-policy"}, {"kind", "short-entry-name"}});
    EXPECT_EQ(client.answer(3), set.policy);
}

TEST_F(FaultTest, CdnFaults) {
    auto cdn = harness.connect();
    const auto& pack = harness.set().pack;

    harness.control("POST", "/faults", {{"target", "cdn"}, {"kind", "corrupt"}});
    const auto corrupt = cdnObject(*cdn);
    ASSERT_EQ(corrupt.status, 206);
    ASSERT_EQ(corrupt.body.size(), pack.size());
    std::size_t differences = 0;
    for (std::size_t i = 0; i < pack.size(); ++i) {
        differences += corrupt.body[i] != pack[i] ? 1u : 0u;
    }
    EXPECT_EQ(differences, 1u);

    harness.control("POST", "/faults", {{"target", "cdn"}, {"kind", "full-200"}});
    const auto full = cdn->request("GET", harness.set().cdnObjectPath, {{"Range", "bytes=0-99"}});
    EXPECT_EQ(full.status, 200);
    EXPECT_EQ(full.header("Content-Range"), nullptr);
    EXPECT_EQ(full.body, pack);

    harness.control("POST", "/faults", {{"target", "cdn"}, {"kind", "content-range"}});
    const auto wrongRange = cdnObject(*cdn);
    EXPECT_EQ(wrongRange.status, 206);
    EXPECT_EQ(*wrongRange.header("Content-Range"),
              "bytes 0-" + std::to_string(pack.size() - 1) + "/" + std::to_string(pack.size() + 1));

    // A short but complete answer: the connection stays usable.
    harness.control("POST", "/faults", {{"target", "cdn"}, {"kind", "truncate"}, {"bytes", 100}});
    const auto cut = cdnObject(*cdn);
    EXPECT_EQ(cut.status, 206);
    EXPECT_EQ(cut.body, pack.substr(0, 100));

    EXPECT_EQ(cdnObject(*cdn).body, pack) << "faults are used up";
}

TEST_F(FaultTest, DropClosesTheConnectionMidBody) {
    harness.control("POST", "/faults", {{"target", "cdn"}, {"kind", "drop"}, {"at", 1000}});
    auto cdn = harness.connect();
    EXPECT_THROW(cdnObject(*cdn), std::exception);
    auto again = harness.connect();
    EXPECT_EQ(cdnObject(*again).status, 206);
}

TEST_F(FaultTest, DelayHoldsTheAnswer) {
    harness.control("POST", "/faults", {{"target", "news"}, {"kind", "delay"}, {"ms", 300}});
    auto portal = harness.connect();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(portal->request("GET", "/api/news", {}).status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
}

TEST_F(FaultTest, ServedCertificateSwitchesAtRunTime) {
    EXPECT_EQ(harness.connect()->peerCertificatePin(), kDevelopmentPin);
    const auto noVerification = [this] {
        return HttpClient::connect("127.0.0.1", harness.service().port(), TlsClientOptions{"", "localhost"});
    };
    for (const char* kind : {"expired", "not-yet-valid", "self-signed"}) {
        const std::string pin = harness.control("POST", "/certificate", {{"kind", kind}}).at("pin");
        EXPECT_NE(pin, kDevelopmentPin) << kind;
        EXPECT_THROW(harness.connect(), std::runtime_error) << kind << " must fail verification";
        EXPECT_EQ(noVerification()->peerCertificatePin(), pin) << kind;
    }
    const std::string reissued = harness.control("POST", "/certificate", {{"kind", "reissued"}}).at("pin");
    EXPECT_NE(reissued, kDevelopmentPin);
    EXPECT_EQ(harness.connect()->peerCertificatePin(), reissued) << "chains to the CA, but is not the pinned one";
    EXPECT_EQ(harness.control("POST", "/certificate", {{"kind", "default"}}).at("pin"), kDevelopmentPin);
    EXPECT_EQ(harness.connect()->peerCertificatePin(), kDevelopmentPin);
    harness.control("POST", "/certificate", {{"kind", "borrowed"}}, 400);
}

TEST_F(FaultTest, PublishingAnotherSetRetiresTheOldTokens) {
    BackendClient client(harness);
    client.signIn();
    const auto& first = harness.set();
    client.downloadToken = client.answer(4, {{"package_id", first.packageId},
                                             {"index_sha256", tools::sha256Hex(tools::asBytes(first.index))},
                                             {"launcher_sha256", first.launcherSha256}})
                               .at("download_token");
    const auto second = writeFixtureSet(harness.root() / "set-b", "b");
    EXPECT_EQ(harness.control("POST", "/publish", {{"set", second.folder.string()}}).at("package_id"), second.packageId);
    EXPECT_EQ(client.answer(3).at("package_id"), second.packageId);
    EXPECT_EQ(client.call(5).status, 403);
    harness.control("POST", "/publish", {{"set", (harness.root() / "missing").string()}}, 400);
    EXPECT_EQ(client.answer(3).at("package_id"), second.packageId) << "a bad set leaves the current one";
}

TEST_F(FaultTest, ResetRefusesConnectionsUntilAcceptedAgain) {
    harness.control("POST", "/accept", {{"mode", "reset"}});
    EXPECT_THROW(harness.connect()->request("GET", "/api/news", {}), std::exception);
    harness.control("POST", "/accept", {{"mode", "accept"}});
    EXPECT_EQ(harness.connect()->request("GET", "/api/news", {}).status, 200);

    harness.control("POST", "/accept", {{"mode", "reset"}, {"count", 1}});
    EXPECT_THROW(harness.connect()->request("GET", "/api/news", {}), std::exception);
    EXPECT_EQ(harness.connect()->request("GET", "/api/news", {}).status, 200) << "a counted mode ends by itself";
    EXPECT_EQ(harness.control("GET", "/state", nullptr).at("accept"), "accept");
}

TEST_F(FaultTest, ControlRefusesBadRules) {
    harness.control("POST", "/faults", {{"kind", "explode"}}, 400);
    harness.control("POST", "/faults", {{"kind", "status"}, {"target", "op:27"}}, 400);
    harness.control("POST", "/faults", {{"kind", "content-type"}}, 400);
    harness.control("POST", "/faults", json::array({{{"kind", "delay"}}, {{"kind", "nope"}}}), 400);
    EXPECT_TRUE(harness.control("GET", "/faults", nullptr).empty()) << "a list is added whole or not at all";
}

std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1u : 0u;
        }
        ::closedir(tasks);
    }
    return count;
}

TEST(ServiceStopTest, StopInterruptsConnectionsAndJoinsEveryThread) {
    const std::size_t before = threadCount();
    {
        ServiceHarness harness;
        auto idle = harness.connect();  // a keep-alive connection blocked waiting for a request
        EXPECT_EQ(idle->request("GET", "/api/news", {}).status, 200);
        auto silent = harness.connect();  // handshake done, never sends anything
        EXPECT_GT(threadCount(), before);
        harness.service().stop();
        EXPECT_EQ(threadCount(), before);
        EXPECT_THROW(idle->request("GET", "/api/news", {}), std::exception);
    }
    EXPECT_EQ(threadCount(), before);
}

TEST(ServiceStopTest, StopEndsLiveRelayStreamsAndJoinsTheirThreads) {
    const std::size_t before = threadCount();
    {
        ServiceHarness harness;
        BackendClient backend(harness);
        backend.signIn();
        RelayClient stream(harness.service().port(), startGameSession(backend, harness.set()), "world");
        ASSERT_EQ(stream.open().status, 101);
        stream.send("E");
        stream.echoLockStep("live", 4);
        harness.service().stop();
        EXPECT_EQ(threadCount(), before + 1) << "only the client's watchdog is left";
        EXPECT_FALSE(stream.receiveOne()) << "the relay cut the WebSocket";
    }
    EXPECT_EQ(threadCount(), before);
}

TEST(ServiceStopTest, ExecutableStopsOnSigterm) {
    TempDir temp;
    const std::string binary = std::string(NYRA_BINARY_DIR) + "/bin/nyra-service";
    const std::string db = (temp.path() / "service.db").string();
    std::vector<std::string> args{binary, "--listen", "127.0.0.1:0", "--db", db};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string printed;
    char buffer[256];
    while (printed.find('\n') == std::string::npos) {
        const auto got = ::read(out[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        printed.append(buffer, static_cast<std::size_t>(got));
    }
    while (printed.find("game servers") == std::string::npos || printed.back() != '\n') {
        const auto got = ::read(out[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        printed.append(buffer, static_cast<std::size_t>(got));
    }
    ASSERT_EQ(printed.rfind("nyra-service listening on https://127.0.0.1:", 0), 0u) << printed;
    const std::string first = printed.substr(0, printed.find('\n'));
    const auto port = static_cast<std::uint16_t>(std::stoul(first.substr(first.rfind(':') + 1)));
    EXPECT_NE(printed.find("\nnyra-service game servers on 127.0.0.1: login "), std::string::npos) << printed;
    auto client = HttpClient::connect("127.0.0.1", port, TlsClientOptions{caFile(), "localhost"});
    EXPECT_EQ(client->request("GET", "/api/news", {}).status, 200);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    while (true) {
        const auto got = ::read(out[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        printed.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(out[0]);
    EXPECT_NE(printed.find("nyra-service stopped"), std::string::npos) << printed;
}

}  // namespace
}  // namespace nyra::service::testing
