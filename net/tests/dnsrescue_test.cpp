// The connectivity fallback's rules: what the loopback proxy agrees to reach, how it reads a
// CONNECT request and a resolver's answer, the cache, and the route decision.
#include "core/tests/hostile_nesting.h"
#include "net/dnsrescue.h"
#include "net/fallback_route.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace nyra::dnsrescue {
namespace {

constexpr std::string_view kSuffix = ".nyra-brasil.example";

TEST(DnsRescueHostRule, AcceptsOnlyPlainNamesUnderTheServiceSuffix) {
    const std::string longest = std::string(253 - kSuffix.size(), 'a') + std::string(kSuffix);
    const struct {
        std::string host;
        bool allowed;
    } cases[] = {
        {"api.nyra-brasil.example", true},
        {"cdn-2.edge.nyra-brasil.example", true},
        {"a.nyra-brasil.example", true},        // 21 characters
        {".nyra-brasil.example", true},         // 20: the length rule alone does not refuse it
        {"nyra-brasil.example", false},         // the registered domain itself lacks the leading dot
        {longest, true},                        // 253 characters
        {"a" + longest, false},                 // 254
        {"api.nyra-brasil.example.evil.example", false},
        {"evil.example", false},
        {"apinyra-brasil.example", false},      // suffix must start with its dot
        {"api..nyra-brasil.example", false},
        {"API.nyra-brasil.example", false},     // the rule sees lower-cased hosts only
        {"api_x.nyra-brasil.example", false},
        {"api.nyra-brasil.example:443", false},
        {"1.2.3.4", false},
        {std::string("api\0x.nyra-brasil.example", 25), false},
        {"api .nyra-brasil.example", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(hostAllowed(c.host, kSuffix), c.allowed) << c.host;
    EXPECT_FALSE(hostAllowed("api.nyra-brasil.example", ""));
    // A short suffix still needs 15 characters in all.
    EXPECT_FALSE(hostAllowed("a.b.example", ".example"));
    EXPECT_TRUE(hostAllowed("abcdef.b.example", ".example"));
}

TEST(DnsRescueConnect, RequestIsCompleteAtTheBlankLineOrAtTheBufferSize) {
    EXPECT_FALSE(connectRequestComplete(""));
    EXPECT_FALSE(connectRequestComplete("CONNECT a:443 HTTP/1.1\r\n"));
    EXPECT_FALSE(connectRequestComplete("CONNECT a:443 HTTP/1.1\r\n\r\nX"));
    EXPECT_TRUE(connectRequestComplete("CONNECT a:443 HTTP/1.1\r\nHost: a:443\r\n\r\n"));
    EXPECT_FALSE(connectRequestComplete(std::string(4095, 'x')));
    EXPECT_TRUE(connectRequestComplete(std::string(4096, 'x')));
}

// A clock moved only by the scripted client.
struct ClientClock final : Clock {
    std::uint64_t now = 5000;
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
};

TEST(DnsRescueConnect, TheWholeRequestMustArriveWithinTenSeconds) {
    const std::string request = "CONNECT api.nyra-brasil.example:443 HTTP/1.1\r\n\r\n";
    const struct {
        const char* what;
        std::uint64_t msPerByte;
        bool complete;
    } cases[] = {
        {"at once", 0, true},
        {"within the ten seconds", 9999 / 48, true},
        {"a byte every two seconds", 2000, false},  // each byte well within its wait, the whole not
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(request.size(), 48u);
        ClientClock clock;
        std::size_t next = 0;
        std::vector<std::uint32_t> waits;
        const auto got = readConnectRequest(
            [&](std::uint32_t waitMs) -> std::optional<char> {
                waits.push_back(waitMs);
                if (c.msPerByte > waitMs) return std::nullopt;  // the wait ran out first
                clock.now += c.msPerByte;
                return request[next++];
            },
            clock);
        EXPECT_EQ(got.has_value(), c.complete);
        if (got) {
            EXPECT_EQ(*got, request);
        }
        // Each wait is what is left of the ten seconds.
        for (std::size_t i = 0; i < waits.size(); ++i) EXPECT_EQ(waits[i], kConnectRequestMs - i * c.msPerByte);
    }
    // A client that never ends its request is cut at the buffer size.
    ClientClock clock;
    const auto filled = readConnectRequest([](std::uint32_t) -> std::optional<char> { return 'A'; }, clock);
    ASSERT_TRUE(filled);
    EXPECT_EQ(filled->size(), kMaxConnectRequest);
}

TEST(DnsRescueConnect, TargetIsAnAllowedHostOnPort443OrNothing) {
    const struct {
        std::string request;
        std::optional<std::string> host;
    } cases[] = {
        {"CONNECT api.nyra-brasil.example:443 HTTP/1.1\r\nHost: api.nyra-brasil.example:443\r\n\r\n",
         "api.nyra-brasil.example"},
        // Upper case is lowered, then the rule applies.
        {"CONNECT API.Nyra-Brasil.EXAMPLE:443 HTTP/1.1\r\n\r\n", "api.nyra-brasil.example"},
        // Only the first line's target counts, and a request cut at 4096 bytes still names it.
        {"CONNECT cdn.nyra-brasil.example:443 HTTP/1.1\r\nX: " + std::string(4000, 'y'), "cdn.nyra-brasil.example"},
        {"CONNECT api.nyra-brasil.example:8443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api.nyra-brasil.example:4430 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api.nyra-brasil.example:0443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api.nyra-brasil.example: 443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api.nyra-brasil.example HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api.nyra-brasil.example: HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT evil.example:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api..nyra-brasil.example:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT ..nyra-brasil.example:443 HTTP/1.1\r\n\r\n", std::nullopt},
        // The split is at the last colon: an embedded host:port is part of the host, and refused.
        {"CONNECT evil.example:25:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT x.nyra-brasil.example:1:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT [::1]:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT 203.0.113.10:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"connect api.nyra-brasil.example:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"GET https://api.nyra-brasil.example/ HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT  api.nyra-brasil.example:443 HTTP/1.1\r\n\r\n", std::nullopt},
        {"CONNECT api.nyra-brasil.example:443\r\n\r\n", std::nullopt},  // no space: the port runs on
        {"CONNECT ", std::nullopt},
        {"CONNECT", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(connectTarget(c.request, kSuffix), c.host) << c.request.substr(0, 80);
}

TEST(DnsRescueDoh, Ipv4LiteralsAreStrictDottedQuads) {
    for (const char* good : {"0.0.0.0", "1.1.1.1", "203.0.113.10", "255.255.255.255"}) {
        EXPECT_TRUE(isIpv4Literal(good)) << good;
    }
    for (const char* bad : {"", "1.1.1", "1.1.1.1.", "1.1.1.1.1", "256.1.1.1", "1.1.1.1000", "01.1.1.1",
                            "1..1.1", "a.b.c.d", " 1.1.1.1", "1.1.1.1 ", "-1.1.1.1", "1.1.1.0x1", "::1"}) {
        EXPECT_FALSE(isIpv4Literal(bad)) << bad;
    }
}

TEST(DnsRescueDoh, AnswersNamingLocalPrivateOrMulticastAddressesAreNotTargets) {
    for (const char* refused : {"0.0.0.0", "0.1.2.3", "127.0.0.1", "127.255.0.9", "10.0.0.1", "172.16.0.1",
                                "172.31.255.255", "192.168.1.1", "169.254.169.254", "224.0.0.1", "239.1.1.1",
                                "240.0.0.1", "255.255.255.255", "not an address"}) {
        EXPECT_FALSE(isPublicAddress(refused)) << refused;
        const std::string answer = std::string(R"({"Status":0,"Answer":[{"type":1,"data":")") + refused +
                                   R"("},{"type":1,"data":"198.51.100.20"}]})";
        EXPECT_EQ(readDohAnswer(answer), std::vector<std::string>{"198.51.100.20"}) << refused;
    }
    // The neighbours of each range, and the documentation ranges of the test world.
    for (const char* allowed : {"1.1.1.1", "11.0.0.1", "126.255.255.255", "128.0.0.1", "172.15.0.1", "172.32.0.1",
                                "192.167.1.1", "192.169.1.1", "169.253.1.1", "223.255.255.255", "192.0.2.1",
                                "198.51.100.20", "203.0.113.10"}) {
        EXPECT_TRUE(isPublicAddress(allowed)) << allowed;
    }
}

TEST(DnsRescueDoh, AnswerYieldsTypeOneAddressesInOrderAtMostEight) {
    const std::string twelve = [] {
        std::string records;
        for (int i = 1; i <= 12; ++i) {
            records += (i > 1 ? "," : "") + std::string(R"({"name":"a","type":1,"data":"198.51.100.)") +
                       std::to_string(i) + "\"}";
        }
        return R"({"Status":0,"Answer":[)" + records + "]}";
    }();
    using List = std::vector<std::string>;
    const struct {
        std::string body;
        List addresses;
    } cases[] = {
        {R"({"Status":0,"Answer":[{"name":"api.nyra-brasil.example","type":1,"TTL":60,"data":"198.51.100.20"}]})",
         {"198.51.100.20"}},
        // A CNAME chain first: skipped, the A records that follow count.
        {R"({"Status":0,"Answer":[{"type":5,"data":"edge.nyra-brasil.example."},{"type":5,"data":"x.cdn.example."},
            {"type":1,"data":"198.51.100.20"},{"type":1,"data":"198.51.100.21"}]})",
         {"198.51.100.20", "198.51.100.21"}},
        {twelve,
         {"198.51.100.1", "198.51.100.2", "198.51.100.3", "198.51.100.4", "198.51.100.5", "198.51.100.6",
          "198.51.100.7", "198.51.100.8"}},
        // Elements that are not usable A records are passed over, not fatal.
        {R"({"Status":0,"Answer":[7,"x",null,{"type":"1","data":"1.2.3.4"},{"type":1.0,"data":"1.2.3.5"},
            {"type":28,"data":"2001:db8::1"},{"type":1,"data":"1.2.3.4.5.6.7.8.9"},{"type":1,"data":"bad"},
            {"type":1},{"type":1,"data":12},{"type":1,"data":"1.2.3.6"}]})",
         {"1.2.3.6"}},
        {R"({"Status":2,"Answer":[{"type":1,"data":"1.2.3.4"}]})", {}},
        {R"({"Status":"0","Answer":[{"type":1,"data":"1.2.3.4"}]})", {}},
        {R"({"Answer":[{"type":1,"data":"1.2.3.4"}]})", {}},
        {R"({"Status":0})", {}},
        {R"({"Status":0,"Answer":{"type":1,"data":"1.2.3.4"}})", {}},
        {R"({"Status":0,"Answer":[]})", {}},
        {R"([{"Status":0}])", {}},
        {R"({"Status":0,"Answer":[{"type":1,"data":"1.2.3.4"}])", {}},  // cut short
        {"not json", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(readDohAnswer(c.body), c.addresses) << c.body.substr(0, 100);
}

TEST(DnsRescueDoh, AnswerBeyondTheBodyLimitOrTooDeepYieldsNothing) {
    const std::string valid = R"({"Status":0,"Answer":[{"type":1,"data":"1.2.3.4"}]})";
    const std::string atLimit = valid + std::string(kMaxDohAnswer - valid.size(), ' ');
    EXPECT_EQ(readDohAnswer(atLimit), std::vector<std::string>{"1.2.3.4"});
    EXPECT_TRUE(readDohAnswer(atLimit + " ").empty());
    // Deep nesting that still fits the body limit is refused before the parser sees it.
    const std::string deep = R"({"Status":0,"Answer":[{"type":1,"data":"1.2.3.4","x":)" + std::string(30000, '[') +
                             std::string(30000, ']') + "}]}";
    ASSERT_LE(deep.size(), kMaxDohAnswer);
    test::onWindowsSizedStack([&] { EXPECT_TRUE(readDohAnswer(deep).empty()); });
    const std::string nested = R"({"Status":0,"Answer":[{"type":1,"data":"1.2.3.4","x":)" + std::string(20, '[') +
                               std::string(20, ']') + "}]}";
    EXPECT_TRUE(readDohAnswer(nested).empty());
}

// An answer is one JSON document: a NUL byte or anything but whitespace after it refuses the
// whole body, whatever the bytes after it are.
TEST(DnsRescueDoh, AnswerWithBytesAfterTheDocumentYieldsNothing) {
    using namespace std::string_literals;
    const std::string valid = R"({"Status":0,"Answer":[{"type":1,"data":"1.2.3.4"}]})";
    EXPECT_EQ(readDohAnswer(valid + " \r\n\t"), std::vector<std::string>{"1.2.3.4"});
    for (const std::string& tail : {"\0"s, "\0junk"s, "\0"s + std::string(20, '['), "\0]]]"s, "x"s, "{}"s, " 5"s}) {
        EXPECT_TRUE(readDohAnswer(valid + tail).empty()) << tail.size();
    }
}

TEST(DnsRescueDoh, QueryPathAsksForARecords) {
    EXPECT_EQ(dohQueryPath("/dns-query?name=", "api.nyra-brasil.example"),
              "/dns-query?name=api.nyra-brasil.example&type=A");
    EXPECT_EQ(dohQueryPath("/resolve?name=", "cdn.nyra-brasil.example"), "/resolve?name=cdn.nyra-brasil.example&type=A");
}

TEST(DnsRescueCache, EntriesLiveFiveMinutesAndTheLaterStoreWins) {
    ResolutionCache cache;
    EXPECT_FALSE(cache.lookup("api.nyra-brasil.example", 1000));
    cache.store("api.nyra-brasil.example", {"198.51.100.20"}, 1000);
    EXPECT_EQ(cache.lookup("api.nyra-brasil.example", 1000 + kCacheLifetimeMs - 1),
              std::vector<std::string>{"198.51.100.20"});
    EXPECT_FALSE(cache.lookup("api.nyra-brasil.example", 1000 + kCacheLifetimeMs));
    EXPECT_FALSE(cache.lookup("cdn.nyra-brasil.example", 1000));
    EXPECT_FALSE(cache.lookup("api.nyra-brasil.example", 999));  // a clock that went back
    cache.store("api.nyra-brasil.example", {"203.0.113.10", "203.0.113.11"}, 400000);
    EXPECT_EQ(cache.lookup("api.nyra-brasil.example", 400001),
              (std::vector<std::string>{"203.0.113.10", "203.0.113.11"}));
}

TEST(DnsRescueCache, MadeUpNamesNeverGrowItBeyondItsBound) {
    // Any local process can make the proxy resolve names of its own making.
    ResolutionCache cache;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        cache.store("h" + std::to_string(i) + ".nyra-brasil.example", {"198.51.100.20"}, 1000 + i);
    }
    EXPECT_EQ(cache.size(), kMaxCachedHosts);
    EXPECT_TRUE(cache.lookup("h999.nyra-brasil.example", 2000));  // the newest stay, the oldest went
    EXPECT_FALSE(cache.lookup("h0.nyra-brasil.example", 2000));
    // Expired entries leave at the next store, not only when replaced.
    cache.store("api.nyra-brasil.example", {"198.51.100.20"}, 2000 + kCacheLifetimeMs);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(DnsRescueTunnels, StrangersLeaveTheLastSlotsToTheLaunchersOwnSessions) {
    struct Case {
        int active;
        bool launcherOwn;
        bool admitted;
    };
    const int strangerLimit = kMaxTunnels - kReservedOwnTunnels;
    ASSERT_GT(strangerLimit, 0);
    ASSERT_GT(kReservedOwnTunnels, 0);
    for (const Case c : {Case{0, false, true}, Case{strangerLimit - 1, false, true}, Case{strangerLimit, false, false},
                         Case{kMaxTunnels - 1, false, false}, Case{strangerLimit, true, true},
                         Case{kMaxTunnels - 1, true, true}, Case{kMaxTunnels, true, false}}) {
        EXPECT_EQ(tunnelAdmitted(c.active, c.launcherOwn), c.admitted) << c.active << " own " << c.launcherOwn;
    }
}

TEST(DnsRescueTunnels, SilenceEitherWayForTheIdleLimitEndsTheTunnel) {
    TunnelIdleWatch watch(1000);
    EXPECT_EQ(watch.msLeft(1000), kTunnelIdleMs);
    EXPECT_EQ(watch.msLeft(1000 + kTunnelIdleMs - 1), 1u);  // an upstream read waits only what is left
    watch.noteActivity(40000);                               // bytes in either direction restart it
    EXPECT_EQ(watch.msLeft(1000 + kTunnelIdleMs), 40000 - 1000u);
    watch.noteActivity(30000);  // a pump whose clock read came earlier never moves it back
    EXPECT_EQ(watch.msLeft(40000 + kTunnelIdleMs - 5), 5u);
    EXPECT_EQ(watch.msLeft(40000 + kTunnelIdleMs), 0u);
    EXPECT_EQ(watch.msLeft(40000 + 10 * kTunnelIdleMs), 0u);
    EXPECT_EQ(watch.msLeft(0), kTunnelIdleMs);  // a clock behind the last byte is no silence
}

// A scripted platform: the probe's answer and whether the listener starts, with counts.
class ScriptedPlatform final : public RoutePlatform {
public:
    bool systemResolves(std::string_view host, std::uint32_t timeoutMs) override {
        probedHosts.emplace_back(host);
        probeTimeoutMs = timeoutMs;
        return resolves;
    }
    std::uint16_t startProxyListener() override {
        ++listenerStarts;
        return listenerPort;
    }
    bool resolves = false;
    std::uint16_t listenerPort = 50123;
    std::vector<std::string> probedHosts;
    std::uint32_t probeTimeoutMs = 0;
    int listenerStarts = 0;
};

TEST(DnsRescueRoute, DecisionRunsOnceForTheFirstHost) {
    const struct {
        const char* firstHost;
        bool resolves;
        std::uint16_t listenerPort;
        bool on;
        int probes;
    } cases[] = {
        {"localhost", false, 50123, false, 0},  // the development host: never probed, stays off
        {"api.nyra-brasil.example", true, 50123, false, 1},
        {"api.nyra-brasil.example", false, 50123, true, 1},
        {"api.nyra-brasil.example", false, 0, false, 1},  // the listener did not start
    };
    for (const auto& c : cases) {
        ScriptedPlatform platform;
        platform.resolves = c.resolves;
        platform.listenerPort = c.listenerPort;
        Route route(platform);
        route.decideOnce(c.firstHost);
        route.decideOnce("cdn.nyra-brasil.example");  // never decided again, for any host
        EXPECT_EQ(route.on(), c.on) << c.firstHost;
        EXPECT_EQ(route.proxyPort(), c.on ? c.listenerPort : 0) << c.firstHost;
        ASSERT_EQ(static_cast<int>(platform.probedHosts.size()), c.probes) << c.firstHost;
        if (c.probes > 0) {
            EXPECT_EQ(platform.probedHosts[0], c.firstHost);
            EXPECT_EQ(platform.probeTimeoutMs, 4000u);
        }
    }
}

TEST(DnsRescueRoute, EnableStartsTheListenerOnceAndTheFlagStaysOn) {
    ScriptedPlatform platform;
    platform.listenerPort = 0;
    Route route(platform);
    route.decideOnce("localhost");
    EXPECT_FALSE(route.enable());  // the listener could not start: the route stays off
    EXPECT_FALSE(route.on());
    platform.listenerPort = 50200;
    EXPECT_TRUE(route.enable());
    EXPECT_TRUE(route.on());
    EXPECT_TRUE(route.enable());
    EXPECT_EQ(route.proxyPort(), 50200);
    EXPECT_EQ(platform.listenerStarts, 2);
}

TEST(DnsRescueRoute, ConcurrentEnablesStartOneListener) {
    ScriptedPlatform platform;
    Route route(platform);
    std::vector<std::thread> threads;
    std::atomic<int> agreed{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            if (route.enable() && route.proxyPort() == 50123) ++agreed;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(agreed.load(), 8);
    EXPECT_EQ(platform.listenerStarts, 1);
}

// Time advances only when the waiter sleeps.
class SteppedClock final : public Clock {
public:
    std::uint64_t tickMs() override { return now.load(); }
    void sleepMs(std::uint32_t ms) override {
        ++sleeps;
        now += ms;
    }
    std::atomic<std::uint64_t> now{10000};
    int sleeps = 0;
};

TEST(DnsRescueProbe, WaitEndsWithTheResultOrAfterFourSeconds) {
    const struct {
        int result;
        bool resolved;
        int sleeps;
    } cases[] = {{1, true, 0}, {0, false, 0}, {-1, false, 80}};
    for (const auto& c : cases) {
        ProbeState state;
        state.result = c.result;
        SteppedClock clock;
        EXPECT_EQ(awaitProbe(state, clock, kProbeTimeoutMs), c.resolved) << c.result;
        EXPECT_EQ(clock.sleeps, c.sleeps) << c.result;  // 50-ms steps
    }
}

TEST(DnsRescueProbe, LateAnswerAfterTheWaitIsIgnoredAndHarmless) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::weak_ptr<ProbeState> watched;
    {
        auto state = startProbe("api.nyra-brasil.example", [released](const std::string& host) {
            released.wait();
            return host == "api.nyra-brasil.example";
        });
        watched = state;
        SteppedClock clock;
        EXPECT_FALSE(awaitProbe(*state, clock, kProbeTimeoutMs));
    }
    // The caller has dropped its share; the resolver answers now and the state outlives it
    // exactly as long as the thread needs it (ASan reports any use after free).
    release.set_value();
    while (!watched.expired()) std::this_thread::yield();
}

TEST(DnsRescueProbe, ResolverThatThrowsCountsAsFailure) {
    auto state = startProbe("api.nyra-brasil.example", [](const std::string&) -> bool { throw std::runtime_error("x"); });
    while (state->result.load() < 0) std::this_thread::yield();
    EXPECT_EQ(state->result.load(), 0);
}

}  // namespace
}  // namespace nyra::dnsrescue

namespace nyra::dnsrescue {
namespace {

// Resolvers scripted by address: the body each answers, or none.
struct ScriptedResolvers {
    std::map<std::string, std::optional<std::string>> answers;
    std::vector<std::string> asked;  // "address path"
    std::optional<std::string> operator()(const DohResolver& resolver, const std::string& path) {
        asked.push_back(std::string(resolver.address) + " " + path);
        const auto answer = answers.find(std::string(resolver.address));
        if (answer == answers.end()) throw std::runtime_error("unreachable");
        return answer->second;
    }
};

const std::array<DohResolver, 4> kResolvers{{{"1.1.1.1", "/dns-query?name="},
                                             {"1.0.0.1", "/dns-query?name="},
                                             {"8.8.8.8", "/resolve?name="},
                                             {"8.8.4.4", "/resolve?name="}}};
const std::array<std::string_view, 2> kEdges{"203.0.113.10", "203.0.113.11"};
const std::string kAnswer = R"({"Status":0,"Answer":[{"type":1,"data":"198.51.100.20"}]})";

TEST(DnsRescueResolve, FirstResolverWithAnAddressWinsElseTheEdge) {
    using List = std::vector<std::string>;
    const struct {
        const char* name;
        std::map<std::string, std::optional<std::string>> answers;
        List addresses;
        std::size_t asked;
    } cases[] = {
        {"first answers", {{"1.1.1.1", kAnswer}, {"1.0.0.1", R"({"Status":0,"Answer":[]})"}}, {"198.51.100.20"}, 1},
        {"status 2, then the second", {{"1.1.1.1", R"({"Status":2})"}, {"1.0.0.1", kAnswer}}, {"198.51.100.20"}, 2},
        {"no body, malformed, no A record",
         {{"1.1.1.1", std::nullopt}, {"1.0.0.1", "{"}, {"8.8.8.8", R"({"Status":0,"Answer":[{"type":5,"data":"x."}]})"},
          {"8.8.4.4", kAnswer}},
         {"198.51.100.20"},
         4},
        {"all fail: the built-in edge", {}, {"203.0.113.10", "203.0.113.11"}, 4},
    };
    for (const auto& c : cases) {
        ScriptedResolvers resolvers{c.answers, {}};
        ResolutionCache cache;
        EXPECT_EQ(resolveWith("api.nyra-brasil.example", cache, 5000, kResolvers, kEdges, std::ref(resolvers)),
                  c.addresses)
            << c.name;
        EXPECT_EQ(resolvers.asked.size(), c.asked) << c.name;
        EXPECT_EQ(cache.lookup("api.nyra-brasil.example", 5001), c.addresses) << c.name;  // stored either way
    }
    ScriptedResolvers order{{}, {}};
    ResolutionCache cache;
    resolveWith("cdn.nyra-brasil.example", cache, 0, kResolvers, kEdges, std::ref(order));
    EXPECT_EQ(order.asked, (std::vector<std::string>{"1.1.1.1 /dns-query?name=cdn.nyra-brasil.example&type=A",
                                                     "1.0.0.1 /dns-query?name=cdn.nyra-brasil.example&type=A",
                                                     "8.8.8.8 /resolve?name=cdn.nyra-brasil.example&type=A",
                                                     "8.8.4.4 /resolve?name=cdn.nyra-brasil.example&type=A"}));
}

TEST(DnsRescueResolve, FreshCacheEntryAsksNoResolverAndAStaleOneIsReplaced) {
    ScriptedResolvers resolvers{{{"1.1.1.1", kAnswer}}, {}};
    ResolutionCache cache;
    cache.store("api.nyra-brasil.example", {"203.0.113.10"}, 1000);
    EXPECT_EQ(resolveWith("api.nyra-brasil.example", cache, 1000 + kCacheLifetimeMs - 1, kResolvers, kEdges,
                          std::ref(resolvers)),
              std::vector<std::string>{"203.0.113.10"});
    EXPECT_TRUE(resolvers.asked.empty());
    EXPECT_EQ(resolveWith("api.nyra-brasil.example", cache, 1000 + kCacheLifetimeMs, kResolvers, kEdges,
                          std::ref(resolvers)),
              std::vector<std::string>{"198.51.100.20"});
    EXPECT_EQ(resolvers.asked.size(), 1u);
    EXPECT_EQ(cache.lookup("api.nyra-brasil.example", 1000 + kCacheLifetimeMs + 1),
              std::vector<std::string>{"198.51.100.20"});
}

}  // namespace
}  // namespace nyra::dnsrescue
