// The connectivity fallback end to end under Wine, in the fallback test world that scripts/test-env
// and scripts/with-fallback set up: this program is built with the fallback test flavour (the
// production host names, resolvers and edge addresses), the test network namespace knows none of
// those names, its loopback interface carries the resolvers' and the edge's addresses, and there
// the DNS-over-HTTPS stand-in (NYRA_DOH_CONTROL) and a stand-in service under the production names
// (NYRA_FALLBACK_SERVICE_CONTROL) answer. Every case runs in a process of its own, so each starts
// with the route undecided and an empty resolution cache.
#include "app/tests/win/launcher_harness.h"
#include "content/win/prepare.h"
#include "content/tests/win/temporary_folder.h"
#include "core/deployment.h"
#include "core/http_error.h"
#include "core/text.h"
#include "core/win/shell_adapters.h"
#include "net/dnsrescue.h"
#include "net/fallback_route.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/dnsrescue.h"
#include "net/win/game_stream.h"
#include "net/win/winhttp.h"
#include "relay/game_tunnel.h"
#include "relay/tests/win/game_client.h"
#include "relay/tunnel_rules.h"
#include "relay/win/windows_relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include <ws2tcpip.h>

namespace nyra::test {
namespace {

using nlohmann::json;

// The address the DNS-over-HTTPS stand-in gives every service name (where the service listens).
constexpr const char* kServiceAddress = "198.51.100.20";

class FallbackWorld : public ::testing::Test {
protected:
    void SetUp() override {
        service = ServiceControl::fromEnvironment(L"NYRA_FALLBACK_SERVICE_CONTROL");
        doh = ServiceControl::fromEnvironment(L"NYRA_DOH_CONTROL");
        if (!service || !doh) GTEST_SKIP() << "the fallback test world is not set up (scripts/test-env, scripts/with-fallback)";
        ASSERT_EQ(deployment().flavour, "fallback-test");
        service->reset();
        doh->request("POST", "/reset");
        logStart = service->query("SELECT COALESCE(MAX(id), 0) AS id FROM request_log").at(0).at("id").get<std::int64_t>();
    }

    void mode(const std::string& resolver, const std::string& name) const {
        doh->request("POST", "/mode", {{"resolver", resolver}, {"mode", name}});
    }
    json queries() const { return doh->request("GET", "/queries"); }
    // The resolvers asked for `host`, in order.
    std::vector<std::string> resolversAskedFor(const std::string& host) const {
        std::vector<std::string> asked;
        for (const auto& query : queries()) {
            if (query.at("name") == host) asked.push_back(query.at("resolver").get<std::string>());
        }
        return asked;
    }
    std::int64_t servedRequests(const std::string& label) const {
        return service->query("SELECT COUNT(*) AS n FROM request_log WHERE id > " + std::to_string(logStart) +
                              " AND target = '" + label + "'")
            .at(0)
            .at("n")
            .get<std::int64_t>();
    }

    std::optional<ServiceControl> service;
    std::optional<ServiceControl> doh;
    std::int64_t logStart = 0;  // the service's request log before this test
};

// A plain TCP client of the loopback proxy.
class ProxyClient {
public:
    explicit ProxyClient(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        if (!socket_) throw std::runtime_error("socket");
        DWORD timeout = 15000;  // a safety net only: every expectation below is met well before it
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = ::htons(port);
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("connect");
        }
    }
    void send(std::string_view bytes) const {
        ASSERT_EQ(::send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0), static_cast<int>(bytes.size()));
    }
    void finishSending() const { ::shutdown(socket_.get(), SD_SEND); }
    // Everything the proxy sends until it closes (or `limit` bytes); nullopt when the receive fails
    // (a time-out: the proxy neither answered nor closed).
    std::optional<std::string> receive(std::size_t limit = 4096) const {
        std::string received;
        char buffer[512];
        while (received.size() < limit) {
            const int got = ::recv(socket_.get(), buffer, sizeof(buffer), 0);
            if (got == 0) return received;
            if (got < 0) return ::WSAGetLastError() == WSAECONNRESET ? std::optional(received) : std::nullopt;
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }

private:
    win::UniqueSocket socket_;
};

std::uint16_t proxyPort() {
    EXPECT_TRUE(fallbackRoute().enable());
    return fallbackRoute().proxyPort();
}

TEST_F(FallbackWorld, UnresolvableBackendSwitchesTheRouteAndSignInCatalogRepairAndGameStreamPassThroughTheProxy) {
    SystemClock clock;
    const std::string host(deployment().backendHost);
    // The first session of the process decides: the system resolver knows no service name here.
    auto http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>(host, 443), clock, host);
    ASSERT_TRUE(fallbackRoute().on());
    ASSERT_NE(fallbackRoute().proxyPort(), 0);

    http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
    const json policy = http->call("/api/launcher/package-policy");

    // The catalog and every pack of an empty game folder, from the CDN host through the proxy.
    const auto folder = freshTemporaryFolder(L"nyra-fallback-");
    writeWholeFile(folder / L"Launcher.exe", http->exchange("/api/download/launcher", "", "", 134217728));
    std::atomic<bool> cancel{false};
    json summary;
    NoComponents noComponents{L"unused-engine-folder"};
    PrepareOptions options;
    options.summarySink = [&](const std::filesystem::path&, const json& written) { summary = written; };
    std::optional<Prepared> prepared =
        prepare(*http, folder, policy, false, cancel, [](const std::string&, int) {}, [](PreparationPhase) {},
                noComponents, options);
    EXPECT_EQ(summary.value("result", ""), "verified");
    EXPECT_EQ(summary.value("downloaded_packs", 0), summary.value("checked_packs", -1));
    EXPECT_TRUE(summary.value("downloaded_index", false));
    EXPECT_GT(servedRequests("cdn"), 0) << "the CDN objects came from the service under the production names";
    prepared.reset();

    // A game stream through the relay: this process plays the game on the login channel.
    const json start = http->call("/api/launcher/start", {{"version", policy.at("package_id")},
                                                          {"package_id", policy.at("package_id")},
                                                          {"files", policy.at("policy").at("files")},
                                                          {"transport", "cloudflare-ws-v1"}});
    std::string gameToken = start.at("token").get<std::string>();
    {
        GameTunnel tunnel(http->tunnelHeaders(gameToken), std::make_shared<WindowsRelayPlatform>());
        tunnel.setGameProcessId(::GetCurrentProcessId());
        GameClient game(tunnel.portMap().at(std::string(kRelayChannels[0].serverPort)).get<std::uint16_t>());
        ASSERT_TRUE(game.startEcho());
        const std::vector<std::uint8_t> sent(100000, 0x21);
        ASSERT_TRUE(game.sendAll(sent));
        std::vector<std::uint8_t> echoed(sent.size());
        ASSERT_TRUE(game.receiveAll(echoed));
        EXPECT_TRUE(std::all_of(echoed.begin(), echoed.end(), [](std::uint8_t b) { return b == (0x21 ^ kEchoTransform); }));
        EXPECT_GE(dnsrescue::activeTunnels(), 1) << "the game stream's WebSocket is a proxy tunnel";
        EXPECT_EQ(tunnel.stats().at("login_streams"), 1);
        tunnel.stop();
    }
    wipe(gameToken);
    http.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    // Each service name was resolved once, by the first resolver, as a DNS-over-HTTPS client asks.
    for (const char* name : {"api.nyra-brasil.example", "cdn.nyra-brasil.example"}) {
        EXPECT_EQ(resolversAskedFor(name), std::vector<std::string>{"1.1.1.1"}) << name;
    }
    for (const auto& query : queries()) {
        EXPECT_EQ(query.at("accept"), "application/dns-json");
        EXPECT_EQ(query.at("user_agent"), "NyraBrasil/DNS/1");
        EXPECT_EQ(query.at("target"), "/dns-query?name=" + query.at("name").get<std::string>() + "&type=A");
    }
}

// The whole launcher of this flavour, started as a player starts it from a folder that holds the
// game: the first session it opens finds the backend's name unresolvable, the route comes on, and
// its news and start-up job (package policy, launcher check) reach the service through the proxy.
TEST_F(FallbackWorld, LauncherStartsAndItsStartUpReachesTheServiceThroughTheProxy) {
    LauncherFolder folder(L"Launcher-fallback-test.exe");
    std::ofstream(folder.path() / L"nyra.nidx") << "";  // a game is installed here
    LauncherProcess launcher(folder, L"");
    HWND window = launcher.waitForWindow(L"NyraBrasilNative");
    ASSERT_NE(window, nullptr);
    const auto deadline = ::GetTickCount64() + 30000;
    while ((servedRequests("op:3") == 0 || servedRequests("news") == 0) && ::GetTickCount64() < deadline) ::Sleep(100);
    EXPECT_EQ(servedRequests("op:3"), 1)
        << "the package policy of the start-up job; the service saw "
        << service->query("SELECT target, status FROM request_log WHERE id > " + std::to_string(logStart)).dump()
        << " and the resolvers " << queries().dump();
    EXPECT_GE(servedRequests("news"), 1) << "the news feed of the first frame";
    EXPECT_EQ(resolversAskedFor(std::string(deployment().backendHost)), std::vector<std::string>{"1.1.1.1"});
    EXPECT_EQ(launcher.waitForWindow(L"#32770", 1000), nullptr) << "no start-up failure";
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.waitForExit(), 0u);
}

// The route decision ran for the development host first (off, never decided again): a name that
// then fails to resolve switches the route on from the backend's failed send, which reopens its
// session through the proxy and repeats the request.
TEST_F(FallbackWorld, NameNotResolvedOnABackendSendSwitchesTheRouteAndRepeatsTheRequest) {
    ASSERT_TRUE(net::openSession(u"NyraTests/1", "localhost"));
    ASSERT_FALSE(fallbackRoute().on());
    SystemClock clock;
    const std::string host(deployment().backendHost);
    Http http(std::make_unique<net::WinHttpBackendTransport>(host, 443), clock, host);
    EXPECT_FALSE(fallbackRoute().on()) << "opening the session alone decides nothing";
    http.login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
    EXPECT_TRUE(fallbackRoute().on());
    EXPECT_EQ(servedRequests("op:1"), 1) << "the login reached the service once, through the proxy";
    EXPECT_EQ(resolversAskedFor(host), std::vector<std::string>{"1.1.1.1"});
}

// The same for the game stream: its failed open switches the route on, and the next open goes
// through the proxy.
TEST_F(FallbackWorld, NameNotResolvedOnAGameStreamSwitchesTheRouteForTheNextAttempt) {
    ASSERT_TRUE(net::openSession(u"NyraTests/1", "localhost"));
    const std::string headers = "X-Nyra-Game-Channel: login\r\nX-Nyra-Resume: 1\r\n";
    try {
        Http::GameStream::open(headers);
        ADD_FAILURE() << "the stream opened without a resolvable name";
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Falha ao conectar a entrada do jogo.");
    }
    EXPECT_TRUE(fallbackRoute().on());
    // Through the proxy the upgrade reaches the relay, which refuses a stream without a session.
    try {
        Http::GameStream::open(headers);
        ADD_FAILURE() << "the relay accepted a stream without a game session";
    } catch (const HttpError& error) {
        EXPECT_NE(error.status, 101);
        EXPECT_STREQ(error.what(), "O servidor recusou a conexao protegida do jogo.");
    }
    EXPECT_EQ(resolversAskedFor(std::string(deployment().backendHost)), std::vector<std::string>{"1.1.1.1"});
}

TEST_F(FallbackWorld, ResolversThatFailAreSkippedInTableOrder) {
    const struct {
        const char* faultOfFirst;
        std::vector<std::string> addresses;
    } cases[] = {
        {"status-2", {kServiceAddress}},
        {"http-503", {kServiceAddress}},
        {"malformed", {kServiceAddress}},
        {"oversized", {kServiceAddress}},  // its valid answer lies beyond the 65536-byte limit
        {"refuse", {kServiceAddress}},
        {"timeout", {kServiceAddress}},
    };
    for (const auto& c : cases) {
        doh->request("POST", "/reset");
        mode("1.1.1.1", c.faultOfFirst);
        const std::string host = std::string(c.faultOfFirst) + ".nyra-brasil.example";
        EXPECT_EQ(dnsrescue::resolveViaDoh(host), c.addresses) << c.faultOfFirst;
        const auto asked = resolversAskedFor(host);
        // A refused connection never reaches the stand-in's log.
        const std::vector<std::string> expected =
            std::string(c.faultOfFirst) == "refuse" ? std::vector<std::string>{"1.0.0.1"}
                                                    : std::vector<std::string>{"1.1.1.1", "1.0.0.1"};
        EXPECT_EQ(asked, expected) << c.faultOfFirst;
    }
}

TEST_F(FallbackWorld, AnswersAreReadAsARecordsAfterCnamesAndAtMostEight) {
    mode("1.1.1.1", "cname-chain");
    EXPECT_EQ(dnsrescue::resolveViaDoh("chain.nyra-brasil.example"),
              (std::vector<std::string>{kServiceAddress, "198.51.100.21"}));
    mode("1.1.1.1", "twelve-a");
    const auto many = dnsrescue::resolveViaDoh("many.nyra-brasil.example");
    ASSERT_EQ(many.size(), 8u);
    EXPECT_EQ(many.front(), kServiceAddress);
    EXPECT_EQ(many.back(), "198.51.100.106");
    // Cached for five minutes: asking again reaches no resolver.
    const auto before = queries().size();
    EXPECT_EQ(dnsrescue::resolveViaDoh("many.nyra-brasil.example"), many);
    EXPECT_EQ(queries().size(), before);
}

TEST_F(FallbackWorld, AllResolversFailingLeavesTheBuiltInEdgeWhichTheProxyReaches) {
    for (const char* resolver : {"1.1.1.1", "1.0.0.1", "8.8.8.8", "8.8.4.4"}) mode(resolver, "status-2");
    const std::string host = "edge-only.nyra-brasil.example";
    ProxyClient client(proxyPort());
    client.send("CONNECT " + host + ":443 HTTP/1.1\r\nHost: " + host + ":443\r\n\r\n");
    const auto answer = client.receive(39);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, "HTTP/1.1 200 Connection established\r\n\r\n");  // the service listens on the edge
    EXPECT_EQ(resolversAskedFor(host), (std::vector<std::string>{"1.1.1.1", "1.0.0.1", "8.8.8.8", "8.8.4.4"}));
    EXPECT_EQ(dnsrescue::resolveViaDoh(host), (std::vector<std::string>{"203.0.113.10", "203.0.113.11"}));
}

TEST_F(FallbackWorld, RequestsOutsideTheRulesGetNoReplyAndReachNoResolver) {
    const std::uint16_t port = proxyPort();
    const std::string requests[] = {
        "CONNECT api.nyra-brasil.example:8443 HTTP/1.1\r\n\r\n",
        "CONNECT evil.example:443 HTTP/1.1\r\n\r\n",
        "CONNECT api..nyra-brasil.example:443 HTTP/1.1\r\n\r\n",
        "CONNECT api.nyra-brasil.example HTTP/1.1\r\n\r\n",
        "CONNECT evil.example:25:443 HTTP/1.1\r\n\r\n",
        "GET https://api.nyra-brasil.example/ HTTP/1.1\r\n\r\n",
        std::string(5000, 'C'),  // no blank line within 4096 bytes
    };
    for (const auto& request : requests) {
        ProxyClient client(port);
        client.send(request);
        EXPECT_EQ(client.receive(), std::optional<std::string>("")) << request.substr(0, 60);
    }
    EXPECT_TRUE(queries().empty()) << queries().dump();
}

TEST_F(FallbackWorld, ASixtyFifthSimultaneousClientIsClosedAtOnce) {
    const std::uint16_t port = proxyPort();
    std::vector<std::unique_ptr<ProxyClient>> held;
    for (int i = 0; i < dnsrescue::kMaxTunnels; ++i) held.push_back(std::make_unique<ProxyClient>(port));
    // One accept thread takes connections in order, so the 65th is judged after the 64 were counted.
    ProxyClient extra(port);
    EXPECT_EQ(extra.receive(), std::optional<std::string>(""));
    EXPECT_EQ(dnsrescue::activeTunnels(), dnsrescue::kMaxTunnels);
    // The 64 are live handlers: one of them still carries a tunnel.
    held.front()->send("CONNECT api.nyra-brasil.example:443 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(held.front()->receive(39), std::optional<std::string>("HTTP/1.1 200 Connection established\r\n\r\n"));
}

// This process plays the server on the second edge address, port 443: it reads until the client's
// end arrives, then answers and closes.
class EdgeServer {
public:
    EdgeServer() : listener_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = ::htons(443);
        ::inet_pton(AF_INET, "203.0.113.11", &address.sin_addr);
        if (!listener_ || ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_.get(), 4) != 0) {
            throw std::runtime_error("cannot listen on 203.0.113.11:443");
        }
        thread_ = std::thread([this] {
            // A proxy that never connects fails the test instead of holding it.
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener_.get(), &readable);
            timeval limit{20, 0};
            if (::select(0, &readable, nullptr, nullptr, &limit) != 1) return;
            win::UniqueSocket peer(::accept(listener_.get(), nullptr, nullptr));
            DWORD timeout = 20000;
            ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
            char buffer[4096];
            for (;;) {
                const int got = ::recv(peer.get(), buffer, sizeof(buffer), 0);
                if (got <= 0) break;
                received.append(buffer, static_cast<std::size_t>(got));
            }
            const std::string reply = "after your end: " + std::to_string(received.size()) + " bytes";
            ::send(peer.get(), reply.data(), static_cast<int>(reply.size()), 0);
        });
    }
    ~EdgeServer() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    std::string received;

private:
    win::UniqueSocket listener_;
    std::thread thread_;
};

TEST_F(FallbackWorld, TunnelCarriesBothDirectionsAndPassesOnTheClientsHalfClose) {
    const std::uint16_t port = proxyPort();
    doh->request("POST", "/mode", {{"resolver", "1.1.1.1"}, {"mode", "answer"}, {"addresses", json::array({"203.0.113.11"})}});
    EdgeServer server;
    ProxyClient client(port);
    client.send("CONNECT Tunnel.Nyra-Brasil.example:443 HTTP/1.1\r\n\r\n");  // upper case is lowered
    ASSERT_EQ(client.receive(39), std::optional<std::string>("HTTP/1.1 200 Connection established\r\n\r\n"));
    const std::string payload(100000, 'p');
    client.send(payload);
    client.finishSending();
    // The server answers only once it has seen the client's end, which the proxy must pass on while
    // keeping the way back open.
    EXPECT_EQ(client.receive(1 << 20), std::optional<std::string>("after your end: 100000 bytes"));
    server.join();
    EXPECT_EQ(server.received, payload);
    EXPECT_EQ(resolversAskedFor("tunnel.nyra-brasil.example"), std::vector<std::string>{"1.1.1.1"});
}

TEST_F(FallbackWorld, NoReachableAddressIsABadGateway) {
    // 203.0.113.12 belongs to no interface: the connect fails and no other address is offered.
    doh->request("POST", "/mode", {{"resolver", "1.1.1.1"}, {"mode", "answer"}, {"addresses", json::array({"203.0.113.12"})}});
    ProxyClient client(proxyPort());
    client.send("CONNECT nowhere.nyra-brasil.example:443 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.receive(), std::optional<std::string>("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"));
}

}  // namespace
}  // namespace nyra::test
