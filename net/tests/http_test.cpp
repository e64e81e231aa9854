// nyra::Http over a scripted transport: what it sends, what it keeps, what it refuses.
#include "core/tests/failure_text.h"
#include "core/json_limits.h"
#include "core/tests/hostile_nesting.h"
#include "net/http.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <limits>
#include <stdexcept>

namespace nyra {
namespace {

using test::failureOf;

using nlohmann::json;

const std::string kToken = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";
const std::string kCsrf = "CSRFcsrfCSRFcsrfCSRFcsrfCSRFcsrfCSRFcsrf-_1";

struct Scripted {
    int status = 200;
    std::vector<std::string> cookies;
    std::optional<std::string> contentType = "application/cbor";
    std::vector<std::uint8_t> body;
};

Scripted cbor(const json& answer, int status = 200) { return {status, {}, "application/cbor", json::to_cbor(answer)}; }

struct Sent {
    std::string headers;
    json envelope;
    bool retrySafe;
    std::uint64_t limit = 0;
    bool lentBuffer = false;  // the body was read into a buffer the caller lent
};

class ScriptedResponse final : public TransportResponse {
public:
    ScriptedResponse(Scripted s, Sent* sent) : s_(std::move(s)), limitSeen_(&sent->limit), sent_(sent) {}
    std::vector<std::string> setCookies() override { return s_.cookies; }
    int status() override { return s_.status; }
    std::vector<std::uint8_t> readBody(std::uint64_t limit) override {
        *limitSeen_ = limit;
        if (s_.body.size() > limit) throw std::runtime_error("Resposta do servidor muito grande.");
        return s_.body;
    }
    std::vector<std::uint8_t> readBodyInto(std::vector<std::uint8_t> buffer, std::uint64_t limit) override {
        sent_->lentBuffer = true;
        const auto body = readBody(limit);
        buffer.assign(body.begin(), body.end());
        return buffer;
    }
    std::optional<std::string> contentType() override { return s_.contentType; }

private:
    Scripted s_;
    std::uint64_t* limitSeen_;
    Sent* sent_;
};

struct ScriptedTransport final : BackendTransport {
    std::deque<Scripted>* script;
    std::vector<Sent>* sent;
    void reopen() override {}
    std::unique_ptr<TransportResponse> send(const TransportRequest& request) override {
        if (script->empty()) throw std::runtime_error("unexpected request");
        sent->push_back({request.headers, json::from_cbor(*request.body), request.retrySafe});
        auto next = std::move(script->front());
        script->pop_front();
        return std::make_unique<ScriptedResponse>(std::move(next), &sent->back());
    }
};

struct FakeClock final : Clock {
    std::uint64_t now = 1000;
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
};

struct HttpFixture : ::testing::Test {
    std::deque<Scripted> script;
    std::vector<Sent> sent;
    FakeClock clock;
    Http http{[this] {
                  auto transport = std::make_unique<ScriptedTransport>();
                  transport->script = &script;
                  transport->sent = &sent;
                  return transport;
              }(),
              clock, "localhost"};

    void signIn() {
        script.push_back(cbor({{"csrf", kCsrf}, {"user", nullptr}}));
        script.push_back({200, {"__Host-nyra_session=" + kToken + "; Path=/; Secure"}, "application/cbor",
                          json::to_cbor(json::object())});
        http.login("ana", "segredo", std::string(64, 'a'), "HWID v1", true);
    }
    void requestKey(int lifetime = 600) {
        script.push_back(cbor({{"key", "a2V5"}, {"download_token", "dl-1"}, {"download_expires_in", lifetime}}));
        http.call("/api/launcher/package-key", {{"package_id", "p"}, {"index_sha256", "i"}, {"launcher_sha256", "l"}});
    }
};

TEST_F(HttpFixture, LoginBootstrapsThenSignsInWithIdentityAndKeepsTheSession) {
    signIn();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].envelope, (json{{"args", json::object()}, {"op", 0}}));
    EXPECT_EQ(sent[1].envelope["op"], 1);
    EXPECT_EQ(sent[1].envelope["args"], (json{{"username", "ana"}, {"password", "segredo"}, {"remember", true},
                                              {"hwid", std::string(64, 'a')}, {"hwid_info", "HWID v1"}}));
    EXPECT_NE(sent[1].headers.find("Cookie: __Host-nyra_csrf=" + kCsrf + "; \r\nX-CSRF-Token: " + kCsrf + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(sent[0].retrySafe);
    EXPECT_FALSE(sent[1].retrySafe);
    EXPECT_EQ(http.sessionCookie(), kToken);
    EXPECT_EQ(http.csrf(), kCsrf);
}

TEST_F(HttpFixture, TunnelHeadersCarryTheSessionAndTheGameTokenOnlyWhenAllAreTokens) {
    const std::string game(43, 'G');
    EXPECT_EQ(failureOf([&] { (void)http.tunnelHeaders(game); }), "Sessao de jogo invalida.");  // signed out
    signIn();
    EXPECT_EQ(http.tunnelHeaders(game), "Origin: https://localhost\r\nCookie: __Host-nyra_csrf=" + kCsrf +
                                            "; __Host-nyra_session=" + kToken + "\r\nX-CSRF-Token: " + kCsrf +
                                            "\r\nAuthorization: Bearer " + game + "\r\n");
    for (const std::string& bad : {std::string(42, 'G'), std::string(44, 'G'), std::string(42, 'G') + "=", std::string()}) {
        EXPECT_EQ(failureOf([&] { (void)http.tunnelHeaders(bad); }), "Sessao de jogo invalida.") << bad;
    }
}

TEST_F(HttpFixture, LoginWithoutASessionCookieIsNotASignIn) {
    script.push_back(cbor({{"csrf", kCsrf}}));
    script.push_back(cbor(json::object()));
    EXPECT_EQ(failureOf([&] { http.login("ana", "x", "", "", false); }), "O servidor nao confirmou a sessao.");
    EXPECT_EQ(sent[1].envelope["args"], (json{{"username", "ana"}, {"password", "x"}}));
}

TEST_F(HttpFixture, BootstrapRefusesAnUnusableCsrf) {
    script.push_back(cbor({{"csrf", "short"}}));
    EXPECT_EQ(failureOf([&] { http.bootstrap(); }), "Sessao de seguranca invalida.");
    EXPECT_TRUE(http.csrf().empty());
}

TEST_F(HttpFixture, AnEmptySessionCookieSignsOutEvenOnAnErrorStatus) {
    signIn();
    script.push_back({500, {"__Host-nyra_session=; Max-Age=0"}, "application/cbor", {}});
    try {
        http.call("/api/notifications");
        FAIL();
    } catch (const HttpError& error) {
        EXPECT_EQ(error.status, 500);
        EXPECT_STREQ(error.what(), "Falha na comunicacao com o servidor (HTTP 500).");
    }
    EXPECT_TRUE(http.sessionCookie().empty());
    EXPECT_EQ(http.csrf(), kCsrf);
}

TEST_F(HttpFixture, AnswersMustCarryTheirContentType) {
    script.push_back({200, {}, "application/json", json::to_cbor(json::object())});
    EXPECT_EQ(failureOf([&] { http.call("/api/notifications"); }), "Protocolo do servidor invalido. Atualize o launcher.");
    script.push_back({200, {}, std::nullopt, json::to_cbor(json::object())});
    EXPECT_EQ(failureOf([&] { http.call("/api/notifications"); }), "Tipo de resposta do servidor ausente.");
    EXPECT_EQ(sent.back().limit, Http::kCallLimit);
}

TEST_F(HttpFixture, DownloadTokenIsKeptSentAndRenewedThirtySecondsBeforeExpiry) {
    signIn();
    requestKey(600);
    EXPECT_EQ(http.downloadToken(), "dl-1");

    script.push_back({200, {}, "application/octet-stream", {1, 2, 3}});
    EXPECT_EQ(http.exchange("/api/launcher/package-index", "", "", Http::kIndexLimit), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_NE(sent.back().headers.find("X-Nyra-Update-Token: dl-1\r\n"), std::string::npos);
    EXPECT_EQ(sent.back().limit, Http::kIndexLimit);

    // 570 s later the token is 30 s from expiry: renewed with the same arguments first.
    clock.now += 570000;
    script.push_back(cbor({{"key", "a2V5"}, {"download_token", "dl-2"}, {"download_expires_in", 600}}));
    script.push_back({206, {}, "application/octet-stream", {9}});
    EXPECT_EQ(http.exchange("/api/launcher/packages/nyra-001.pck", "", "", Http::kPackageRangeLimit,
                            "Range: bytes=0-0\r\n"),
              (std::vector<std::uint8_t>{9}));
    ASSERT_GE(sent.size(), 2u);
    const auto& renewal = sent[sent.size() - 2];
    EXPECT_EQ(renewal.envelope["op"], 4);
    EXPECT_EQ(renewal.envelope["args"], (json{{"package_id", "p"}, {"index_sha256", "i"}, {"launcher_sha256", "l"}}));
    EXPECT_EQ(sent.back().envelope["args"], (json{{"name", "nyra-001.pck"}, {"range", "bytes=0-0"}}));
    EXPECT_NE(sent.back().headers.find("X-Nyra-Update-Token: dl-2\r\n"), std::string::npos);
}

TEST_F(HttpFixture, FileOperationsNeedAPackageKeyOfThisSignIn) {
    EXPECT_EQ(failureOf([&] { http.exchange("/api/launcher/translations", "{}", "", Http::kTranslationsLimit); }),
              "Entre novamente para autorizar os arquivos do jogo.");
    EXPECT_TRUE(sent.empty());
    signIn();
    requestKey();
    script.push_back(cbor(json::object()));
    http.logout();
    EXPECT_EQ(failureOf([&] { http.exchange("/api/launcher/package-index", "", "", Http::kIndexLimit); }),
              "Entre novamente para autorizar os arquivos do jogo.");
}

TEST_F(HttpFixture, RangeAnswersAreAcceptedOnlyForRangeRequests) {
    signIn();
    requestKey();
    script.push_back({206, {}, "application/octet-stream", {1}});
    try {
        http.exchange("/api/launcher/packages/nyra-001.pck", "", "", Http::kPackageRangeLimit);
        FAIL();
    } catch (const HttpError& error) {
        EXPECT_EQ(error.status, 206);
    }
}

TEST_F(HttpFixture, ALentBufferCarriesFileAnswersOnly) {
    signIn();
    requestKey();
    std::vector<std::uint8_t> lent;
    lent.reserve(16);
    const std::uint8_t* storage = lent.data();
    script.push_back({206, {}, "application/octet-stream", {7, 8}});
    const auto range = http.exchange("/api/launcher/packages/nyra-001.pck", "", "", Http::kPackageRangeLimit,
                                     "Range: bytes=0-1\r\n", std::move(lent));
    EXPECT_EQ(range, (std::vector<std::uint8_t>{7, 8}));
    EXPECT_EQ(range.data(), storage);
    EXPECT_TRUE(sent.back().lentBuffer);

    // An answer that may hold secrets is never read into storage the caller keeps.
    std::vector<std::uint8_t> other;
    other.reserve(16);
    script.push_back(cbor(json::object()));
    http.exchange("/api/notifications", "", "", Http::kCallLimit, {}, std::move(other));
    EXPECT_FALSE(sent.back().lentBuffer);
}

TEST_F(HttpFixture, PackageKeyWithAnUnusableLifetimeIsRefused) {
    signIn();
    script.push_back(cbor({{"key", "a2V5"}, {"download_token", "dl"}, {"download_expires_in", 59}}));
    EXPECT_EQ(failureOf([&] { http.call("/api/launcher/package-key", json::object()); }),
              "Autorizacao de download invalida.");
    EXPECT_TRUE(http.downloadToken().empty());
}

TEST_F(HttpFixture, PackageKeyLifetimeMustBeAnIntegerInRange) {
    signIn();
    const json huge = json::parse("1e300");
    const struct {
        json lifetime;
        const char* error;
    } cases[] = {
        {900, "<no failure>"},
        {-600, "Autorizacao de download invalida."},
        {600.5, "Autorizacao de download invalida."},
        {600.0, "Autorizacao de download invalida."},
        {huge, "Autorizacao de download invalida."},
        {-huge.get<double>(), "Autorizacao de download invalida."},
        {std::numeric_limits<std::uint64_t>::max(), "Autorizacao de download invalida."},
        {"600", "[json.exception.type_error.302] type must be number, but is string"},
    };
    for (const auto& c : cases) {
        http.clearDownloadAuthorization();
        script.push_back(cbor({{"key", "a2V5"}, {"download_token", "dl"}, {"download_expires_in", c.lifetime}}));
        EXPECT_EQ(failureOf([&] { http.call("/api/launcher/package-key", json::object()); }), c.error)
            << c.lifetime.dump();
        EXPECT_EQ(http.downloadToken().empty(), std::string(c.error) != "<no failure>") << c.lifetime.dump();
    }
}

TEST_F(HttpFixture, AnswersNestedTooDeepAreRefused) {
    test::onWindowsSizedStack([&] {
        script.push_back({200, {}, "application/cbor", test::nestedCbor(kDocumentNestingLimit)});
        EXPECT_EQ(http.call("/api/notifications"), json::parse(test::nestedJson(kDocumentNestingLimit, "null")));
        for (const std::size_t depth : {kDocumentNestingLimit + 1, test::kHostileDepth}) {
            script.push_back({200, {}, "application/cbor", test::nestedCbor(depth)});
            EXPECT_THROW(http.call("/api/notifications"), json::parse_error) << depth;
        }
        // A file operation's body is handed back as received; read as a document it is bounded too.
        signIn();
        requestKey();
        const std::string deep = test::nestedJson(test::kHostileDepth);
        script.push_back({200, {}, "application/octet-stream", std::vector<std::uint8_t>(deep.begin(), deep.end())});
        EXPECT_THROW(http.call("/api/launcher/package-index"), json::parse_error);
        EXPECT_THROW(http.exchange("/api/notifications", deep, "", Http::kCallLimit), json::parse_error);
    });
}

TEST_F(HttpFixture, ResumingASessionAsksTheBackendWhoseItIs) {
    EXPECT_EQ(failureOf([&] { http.resumeSession("not-a-token"); }), "Sessao salva invalida.");
    EXPECT_TRUE(sent.empty());

    script.push_back(cbor({{"csrf", kCsrf}, {"user", {{"username", "ana"}}}}));
    EXPECT_EQ(http.resumeSession(kToken), (json{{"username", "ana"}}));
    EXPECT_NE(sent.back().headers.find("__Host-nyra_session=" + kToken), std::string::npos);
    EXPECT_EQ(http.sessionCookie(), kToken);

    script.push_back(cbor({{"csrf", kCsrf}, {"user", nullptr}}));
    EXPECT_TRUE(http.resumeSession(kToken).is_null());
    EXPECT_TRUE(http.sessionCookie().empty());
}

TEST_F(HttpFixture, LogoutForgetsSessionAndDownloadAuthorizationButKeepsCsrf) {
    signIn();
    requestKey();
    script.push_back(cbor(json::object()));
    http.logout();
    EXPECT_EQ(sent.back().envelope["op"], 2);
    EXPECT_TRUE(http.sessionCookie().empty());
    EXPECT_TRUE(http.downloadToken().empty());
    EXPECT_EQ(http.csrf(), kCsrf);
}

}  // namespace
}  // namespace nyra
