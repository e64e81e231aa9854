// nyra::Http on WinHTTP against the stand-in service: the real transport, the real certificate
// checks and the service's fault injection; no mock of the server.
#include <winsock2.h>

#include "core/tests/failure_text.h"
#include "core/clock.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <gtest/gtest.h>

#include <functional>

namespace nyra::test {
namespace {

using nlohmann::json;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

class Backend : public ServiceTest {
protected:
    WinClock clock;
    std::unique_ptr<Http> connect() {
        return std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
    }
    json packageKeyArgs(const json& policy) {
        return {{"package_id", policy.at("package_id")},
                {"index_sha256", policy.at("index_sha256")},
                {"launcher_sha256", policy.at("policy").at("files").at("Launcher.exe")}};
    }
};

TEST_F(Backend, SignInFetchesPolicyKeyIndexAndARangeThenSignsOut) {
    auto http = connect();
    http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", true);
    EXPECT_EQ(http->sessionCookie().size(), 43u);

    const json policy = http->call("/api/launcher/package-policy");
    ASSERT_TRUE(policy.contains("base_cdn"));
    const json key = http->call("/api/launcher/package-key", packageKeyArgs(policy));
    EXPECT_TRUE(key.at("key").is_string());
    EXPECT_FALSE(http->downloadToken().empty());

    const auto index = http->exchange("/api/launcher/package-index", "", "", Http::kIndexLimit);
    EXPECT_EQ(win::sha256Hex(index.data(), index.size()), policy.at("index_sha256").get<std::string>());
    const auto range = http->exchange("/api/launcher/packages/nyra-000.pck", "", "", Http::kPackageRangeLimit,
                                      "Range: bytes=0-99\r\n");
    EXPECT_EQ(range.size(), 100u);

    http->logout();
    EXPECT_TRUE(http->sessionCookie().empty());
    const auto recorded = service->query("SELECT hwid, hwid_info FROM sessions ORDER BY id DESC LIMIT 1");
    EXPECT_NE(recorded.dump().find(std::string(64, 'a')), std::string::npos) << recorded.dump();
}

TEST_F(Backend, WrongPasswordIsRefusedWithThePlayersText) {
    auto http = connect();
    try {
        http->login(service->user, "not-the-password", "", "", true);
        FAIL() << "signed in with a wrong password";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.status, 401);
        EXPECT_STREQ(error.what(), "Usuario, senha ou autorizacao invalida.");
    }
}

TEST_F(Backend, RefusedStatusesReachThePlayerInTheirWords) {
    const struct {
        int status;
        const char* text;
    } cases[] = {
        {401, "Usuario, senha ou autorizacao invalida."},
        {403, "Acesso ao recurso negado pelo servidor."},
        {409, "Reabra o launcher atualizado para continuar."},
        {426, "Reabra o launcher atualizado para continuar."},
        {429, "Aguarde antes de tentar novamente."},
        {503, "O servico solicitado esta temporariamente indisponivel."},
        {500, "Falha na comunicacao com o servidor (HTTP 500)."},
    };
    auto http = connect();
    for (const auto& c : cases) {
        service->fault({{"target", "package-policy"}, {"kind", "status"}, {"status", c.status}, {"count", 1}});
        try {
            http->call("/api/launcher/package-policy");
            ADD_FAILURE() << c.status << " was accepted";
        } catch (const HttpError& error) {
            EXPECT_EQ(error.status, c.status);
            EXPECT_STREQ(error.what(), c.text);
        }
    }
    EXPECT_NO_THROW(http->call("/api/launcher/package-policy"));  // the connection is still usable
}

TEST_F(Backend, AnswersWithTheWrongContentTypeAreRefused) {
    const struct {
        json fault;
        const char* text;
    } cases[] = {
        {{{"kind", "content-type"}, {"value", "application/json"}}, "Protocolo do servidor invalido. Atualize o launcher."},
        {{{"kind", "content-type-params"}, {"value", "; charset=utf-8"}},
         "Protocolo do servidor invalido. Atualize o launcher."},
        {{{"kind", "no-content-type"}}, "Tipo de resposta do servidor ausente."},
    };
    auto http = connect();
    for (const auto& c : cases) {
        json fault = c.fault;
        fault["target"] = "package-policy";
        service->fault(fault);
        EXPECT_EQ(failureOf([&] { http->call("/api/launcher/package-policy"); }), c.text) << fault.dump();
    }
}

TEST_F(Backend, BodyLimitIsExact) {
    auto http = connect();
    http->login(service->user, service->password, "", "", true);
    const json policy = http->call("/api/launcher/package-policy");
    http->call("/api/launcher/package-key", packageKeyArgs(policy));
    const auto index = http->exchange("/api/launcher/package-index", "", "", Http::kIndexLimit);
    EXPECT_EQ(http->exchange("/api/launcher/package-index", "", "", index.size()).size(), index.size());
    EXPECT_EQ(failureOf([&] { http->exchange("/api/launcher/package-index", "", "", index.size() - 1); }),
              "Resposta do servidor muito grande.");
}

TEST_F(Backend, AConnectionThatCannotBeMadeReachesThePlayerInTheirWords) {
    // A loopback port nobody listens on: the send fails with 12029 on both attempts.
    const auto port = [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
        ::closesocket(probe);
        ::WSACleanup();
        return ::ntohs(address.sin_port);
    }();
    Http http(std::make_unique<net::WinHttpBackendTransport>("localhost", port), clock, "localhost");
    EXPECT_EQ(failureOf([&] { http.bootstrap(); }),
              "Sua conexao nao chegou ao servidor do Nyra. Libere o Launcher.exe no antivirus/firewall ou teste "
              "outra rede (ex.: 4G do celular). (WinHTTP 12029, envio)");
}

TEST_F(Backend, SessionCookieRulesOfTheAnswers) {
    auto http = connect();
    http->login(service->user, service->password, "", "", true);
    ASSERT_FALSE(http->sessionCookie().empty());

    // The session ends elsewhere; the next refusal clears the cookie and this client is signed out.
    auto elsewhere = connect();
    EXPECT_FALSE(elsewhere->resumeSession(http->sessionCookie()).is_null());
    elsewhere->logout();
    try {
        http->call("/api/notifications");
        ADD_FAILURE() << "an ended session was accepted";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.status, 401);
    }
    EXPECT_TRUE(http->sessionCookie().empty());

    // A sign-in answered 200 without a session cookie is no sign-in.
    service->fault({{"target", "login"}, {"kind", "no-cookies"}});
    auto fresh = connect();
    EXPECT_EQ(failureOf([&] { fresh->login(service->user, service->password, "", "", true); }),
              "O servidor nao confirmou a sessao.");
    EXPECT_TRUE(fresh->sessionCookie().empty());
}

TEST_F(Backend, CertificatesOutsideTheirPeriodOrOffPinAreRefused) {
    // Off-pin certificates reach the launcher's own check, which aborts the send. Certificates outside
    // their validity period are refused by Wine's TLS layer before that check runs (12157); on
    // Windows the check itself refuses them (certificate_test.cpp gives it such certificates
    // directly). Either way the player reads the refusal.
    const struct {
        const char* kind;
        bool pinCheck;
    } cases[] = {{"self-signed", true}, {"reissued", true}, {"expired", false}, {"not-yet-valid", false}};
    for (const auto& c : cases) {
        service->certificate(c.kind);
        auto http = connect();
        const std::string text = failureOf([&] { http->call("/api/launcher/package-policy"); });
        if (c.pinCheck) {
            EXPECT_EQ(text.rfind("Conexao segura recusada.", 0), 0u) << c.kind << ": " << text;
            EXPECT_NE(text.find(", certificado)"), std::string::npos) << c.kind << ": " << text;
        } else {
            const bool refused = text.rfind("Conexao segura recusada.", 0) == 0 || text.find("(WinHTTP 12157, envio)") != std::string::npos;
            EXPECT_TRUE(refused) << c.kind << ": " << text;
        }
    }
    // Wine keeps sending after the check closed the request handle inside the callback, so the
    // service may still log the request here; the launcher never reads its answer either way.
    service->certificate("default");
    auto http = connect();
    EXPECT_NO_THROW(http->call("/api/launcher/package-policy"));
}

}  // namespace
}  // namespace nyra::test
