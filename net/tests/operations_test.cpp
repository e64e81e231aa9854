// The backend protocol rules, byte for byte where the backend depends on bytes.
#include "core/json_limits.h"
#include "core/tests/failure_text.h"
#include "core/tests/hostile_nesting.h"
#include "net/operations.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nyra::api {
namespace {

using test::failureOf;

using nlohmann::json;

TEST(Operations, LookupMatchesExactAndPrefixPathsFromTheTop) {
    const struct {
        const char* path;
        int op;
    } cases[] = {
        {"/api/bootstrap", 0},
        {"/api/launcher/package-policy", 3},
        {"/api/launcher/packages/nyra-001.pck", 6},
        {"/api/launcher/packages/", 6},
        {"/api/me/vip", 15},
        {"/api/me/vip/preferences", 16},
        {"/api/game/vip-status?character_id=7", 17},
        {"/api/launcher/translations", 26},
    };
    for (const auto& c : cases) EXPECT_EQ(lookupOperation(c.path), c.op) << c.path;
    for (const char* refused : {"/api/bootstrap/", "/api/launcher/packages", "/api/me/vip/", "", "/client/v1"}) {
        EXPECT_EQ(failureOf([&] { lookupOperation(refused); }), "Operacao do cliente nao autorizada.") << refused;
    }
}

TEST(Operations, EnvelopeIsTheCborMapArgsThenOp) {
    // {"args": {}, "op": 0}
    EXPECT_EQ(encodeEnvelope(0, json::object()),
              (std::vector<std::uint8_t>{0xA2, 0x64, 'a', 'r', 'g', 's', 0xA0, 0x62, 'o', 'p', 0x00}));
    // {"args": {"language": "en"}, "op": 26}
    EXPECT_EQ(encodeEnvelope(26, json{{"language", "en"}}),
              (std::vector<std::uint8_t>{0xA2, 0x64, 'a', 'r', 'g', 's', 0xA1, 0x68, 'l', 'a', 'n', 'g', 'u', 'a', 'g',
                                         'e', 0x62, 'e', 'n', 0x62, 'o', 'p', 0x18, 0x1A}));
}

TEST(Operations, EnvelopeLimitsDependOnTheOperation) {
    const auto argsOfSize = [](std::size_t n) { return json{{"x", std::string(n, 'a')}}; };
    EXPECT_NO_THROW(encodeEnvelope(7, argsOfSize(8150)));
    EXPECT_EQ(failureOf([&] { encodeEnvelope(7, argsOfSize(8200)); }), "Requisicao do cliente muito grande.");
    EXPECT_NO_THROW(encodeEnvelope(20, argsOfSize(16000)));
    EXPECT_NO_THROW(encodeEnvelope(21, argsOfSize(65000)));
    EXPECT_EQ(failureOf([&] { encodeEnvelope(22, argsOfSize(16400)); }), "Requisicao do cliente muito grande.");
}

TEST(Operations, ArgumentRules) {
    const std::string range79 = "Range: bytes=" + std::string(64, '1') + "\r\n";
    ASSERT_EQ(range79.size(), 79u);
    const struct {
        int op;
        std::string path;
        json args;
        std::string header;
        std::string error;  // empty: accepted
    } cases[] = {
        {3, "/api/launcher/package-policy", json::array(), "", "Argumentos do cliente invalidos."},
        {3, "/api/launcher/package-policy", json::object(), "Range: bytes=0-1\r\n", "Cabecalho do cliente nao autorizado."},
        {6, "/api/launcher/packages/nyra-001.pck", json::object(), "Rng", "Trecho do pacote invalido."},
        {6, "/api/launcher/packages/nyra-001.pck", json::object(), "Rang", "Trecho do pacote invalido."},
        {6, "/api/launcher/packages/nyra-001.pck", json::object(), range79, ""},
        {6, "/api/launcher/packages/nyra-001.pck", json::object(), range79.substr(0, 77) + "1\r\n",
         "Trecho do pacote invalido."},  // 80 characters
        {6, "/api/launcher/packages/nyra-001.pck", json::object(), "Range: bytes=" + std::string(65, '1') + "\r\n",
         "Trecho do pacote invalido."},
        {6, "/api/launcher/packages/nyra-001.pck", json::object(), "Range: bytes=0-99", "Trecho do pacote invalido."},
        {14, "/api/game/vip-visuals", json{{"a", 1}}, "", "Argumentos VIP invalidos."},
        {18, "/api/me/vip/client-token", json{{"a", 1}}, "", "Argumentos VIP invalidos."},
        {19, "/api/me/voice/client-token", json{{"a", 1}}, "", "Argumentos de voz invalidos."},
        {16, "/api/me/vip/preferences", json{{"rainbow_name", true}, {"rainbow_chat", false}}, "", ""},
        {16, "/api/me/vip/preferences", json{{"rainbow_name", true}}, "", "Preferencias VIP invalidas."},
        {16, "/api/me/vip/preferences", json{{"rainbow_name", 1}, {"rainbow_chat", false}}, "",
         "Preferencias VIP invalidas."},
        {16, "/api/me/vip/preferences", json{{"rainbow_name", true}, {"rainbow_chat", false}, {"x", true}}, "",
         "Preferencias VIP invalidas."},
        {17, "/api/game/vip-status?character_id=0", json::object(), "", "Identidade VIP invalida."},
        {17, "/api/game/vip-status?character_id=4294967296", json::object(), "", "Identidade VIP invalida."},
        {17, "/api/game/vip-status?character_id=04294967295", json::object(), "", "Identidade VIP invalida."},
        {17, "/api/game/vip-status?character_id=", json::object(), "", "Identidade VIP invalida."},
        {17, "/api/game/vip-status?character_id=12a", json::object(), "", "Identidade VIP invalida."},
        {17, "/api/game/vip-status?character_id=4294967295", json::object(), "", ""},
    };
    for (const auto& c : cases) {
        json args = c.args;
        const std::string error = failureOf([&] { applyArgumentRules(c.op, c.path, args, c.header); });
        EXPECT_EQ(error, c.error.empty() ? "<no failure>" : c.error) << c.op << " " << c.path << " " << c.header;
    }

    json args = json::object();
    applyArgumentRules(6, "/api/launcher/packages/nyra-001.pck", args, "Range: bytes=0-99\r\n");
    EXPECT_EQ(args, (json{{"name", "nyra-001.pck"}, {"range", "bytes=0-99"}}));
    args = json::object();
    applyArgumentRules(17, "/api/game/vip-status?character_id=4294967295", args, "");
    EXPECT_EQ(args["character_id"].get<std::uint64_t>(), 4294967295u);
}

TEST(Operations, HeadersComeInTheirOrderWithTheCookieRules) {
    const std::string token(43, 'A');
    const std::string csrf(43, 'c');
    const std::string base =
        "Accept: application/cbor, application/octet-stream\r\nContent-Type: application/cbor\r\nOrigin: https://localhost\r\n";
    EXPECT_EQ(buildRequestHeaders(3, {"localhost", "", "", "", ""}), base);
    EXPECT_EQ(buildRequestHeaders(3, {"localhost", csrf, "", "", ""}),
              base + "Cookie: __Host-nyra_csrf=" + csrf + "; \r\nX-CSRF-Token: " + csrf + "\r\n");
    EXPECT_EQ(buildRequestHeaders(3, {"localhost", "", token, "", ""}), base + "Cookie: __Host-nyra_session=" + token + "\r\n");
    EXPECT_EQ(buildRequestHeaders(6, {"localhost", csrf, token, "dl-token", "bear"}),
              base + "Cookie: __Host-nyra_csrf=" + csrf + "; __Host-nyra_session=" + token + "\r\nX-CSRF-Token: " + csrf +
                  "\r\nX-Nyra-Update-Token: dl-token\r\nAuthorization: Bearer bear\r\n");
    // The update token travels only with the file operations that need it.
    EXPECT_EQ(buildRequestHeaders(13, {"localhost", "", "", "dl-token", ""}), base);
    EXPECT_NE(buildRequestHeaders(26, {"localhost", "", "", "dl-token", ""}).find("X-Nyra-Update-Token: dl-token\r\n"),
              std::string::npos);
}

TEST(Operations, SetCookieKeepsOnlyOurCookiesWithUsableValues) {
    const std::string token = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";
    ASSERT_TRUE(isOpaqueToken(token));
    const struct {
        std::string header;
        bool kept;
        CookieUpdate::Name name;
        std::string value;
    } cases[] = {
        {"__Host-nyra_session=" + token + "; Path=/; Secure; HttpOnly", true, CookieUpdate::Name::Session, token},
        {"__Host-nyra_csrf=" + token, true, CookieUpdate::Name::Csrf, token},
        {"__Host-nyra_session=; Max-Age=0", true, CookieUpdate::Name::Session, ""},
        {"__Host-nyra_session=" + token.substr(1), false, {}, ""},
        {"__Host-nyra_session=" + token + "!", false, {}, ""},
        {"__host-nyra_session=" + token, false, {}, ""},
        {"__Host-nyra_session " + token, false, {}, ""},
        {"other=" + token, false, {}, ""},
        {"", false, {}, ""},
    };
    for (const auto& c : cases) {
        const auto update = parseSetCookie(c.header);
        ASSERT_EQ(update.has_value(), c.kept) << c.header;
        if (update) {
            EXPECT_EQ(update->name, c.name);
            EXPECT_EQ(update->value, c.value);
        }
    }
}

TEST(Operations, StatusTextsAndAcceptance) {
    const struct {
        int op;
        int status;
        const char* text;
    } cases[] = {
        {3, 401, "Usuario, senha ou autorizacao invalida."},
        {3, 403, "Acesso ao recurso negado pelo servidor."},
        {3, 409, "Reabra o launcher atualizado para continuar."},
        {3, 426, "Reabra o launcher atualizado para continuar."},
        {3, 429, "Aguarde antes de tentar novamente."},
        {3, 503, "O servico solicitado esta temporariamente indisponivel."},
        {3, 500, "Falha na comunicacao com o servidor (HTTP 500)."},
        {3, 404, "Falha na comunicacao com o servidor (HTTP 404)."},
        {6, 404, "O pacote nyra-002.pck esta ausente na distribuicao do servidor. O reparo nao pode continuar; o jogo "
                 "nao sera iniciado."},
        {6, 416, "O servidor recusou o trecho solicitado do pacote. Tente verificar os arquivos novamente."},
        {6, 502, "O servidor de downloads esta indisponivel. O status online do jogo nao garante a disponibilidade dos "
                 "pacotes."},
        {6, 401, "Usuario, senha ou autorizacao invalida."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusMessage(c.op, "/api/launcher/packages/nyra-002.pck", c.status), c.text) << c.op << " " << c.status;
    }
    EXPECT_TRUE(statusAccepted(200, false));
    EXPECT_FALSE(statusAccepted(206, false));
    EXPECT_TRUE(statusAccepted(206, true));
    EXPECT_FALSE(statusAccepted(204, true));
}

TEST(Operations, ContentTypesAreExact) {
    const struct {
        int op;
        std::optional<std::string> type;
        const char* error;
    } cases[] = {
        {3, "application/cbor", nullptr},
        {3, "application/json", "Protocolo do servidor invalido. Atualize o launcher."},
        {3, "application/cbor; charset=utf-8", "Protocolo do servidor invalido. Atualize o launcher."},
        {3, std::nullopt, "Tipo de resposta do servidor ausente."},
        {5, "application/octet-stream", nullptr},
        {5, "application/cbor", "Arquivo do servidor invalido."},
        {13, "application/vnd.microsoft.portable-executable", nullptr},
        {26, "application/vnd.microsoft.portable-executable", "Arquivo do servidor invalido."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { checkContentType(c.op, c.type); }), c.error ? c.error : "<no failure>")
            << c.op << " " << c.type.value_or("(none)");
    }
}

TEST(Operations, CborAnswersAreDecodedStrictly) {
    EXPECT_EQ(decodeCborAnswer(json::to_cbor(json{{"csrf", "x"}, {"n", 1}})), R"({"csrf":"x","n":1})");
    auto trailing = json::to_cbor(json{{"a", 1}});
    trailing.push_back(0x00);
    EXPECT_THROW(decodeCborAnswer(trailing), json::parse_error);
    // Tag 1 (epoch time) around an integer.
    EXPECT_THROW(decodeCborAnswer({0xA1, 0x61, 'a', 0xC1, 0x01}), json::parse_error);
    EXPECT_THROW(decodeCborAnswer({}), json::parse_error);
    // Decoded in place by the project's own builder: every kind of value comes out as dump() writes it.
    const json every = {{"key", "c2VncmVkbw=="}, {"n", -7}, {"u", 18446744073709551615u}, {"f", 1.5},
                        {"t", "ç€𝄞"}, {"a", {nullptr, true, json::object(), json::array()}}};
    EXPECT_EQ(std::string_view(decodeCborAnswer(json::to_cbor(every))), every.dump());
}

TEST(Operations, CompactTextIsWhatDumpWrites) {
    const json document = {{"password", std::string(300, 'p')}, {"list", {1, "dois", 3.25}}, {"t", "ação"}};
    EXPECT_EQ(std::string_view(compactText(document)), document.dump());
    // Text that is not UTF-8 is refused the way dump() refuses it (the arguments' strict rule).
    EXPECT_THROW(compactText(json("\xC3")), json::type_error);
}

// The policy answer as a hostile backend could send it: {"policy": [[[...]]]}.
std::vector<std::uint8_t> policyNestedTo(std::size_t depth) {
    std::vector<std::uint8_t> body = {0xA1, 0x66, 'p', 'o', 'l', 'i', 'c', 'y'};
    const auto nested = test::nestedCbor(depth - 1);
    body.insert(body.end(), nested.begin(), nested.end());
    return body;
}

TEST(Operations, CborAnswersNestedTooDeepAreRefusedBeforeDecoding) {
    test::onWindowsSizedStack([] {
        const SecretString atLimit = decodeCborAnswer(policyNestedTo(kDocumentNestingLimit));
        EXPECT_EQ(std::string(atLimit.begin(), atLimit.end()),
                  R"({"policy":)" + test::nestedJson(kDocumentNestingLimit - 1, "null") + "}");
        for (const std::size_t depth : {kDocumentNestingLimit + 1, test::kHostileDepth}) {
            EXPECT_THROW(decodeCborAnswer(policyNestedTo(depth)), json::parse_error) << depth;
        }
        // Indefinite-length text nested in itself: the decoder reads each chunk recursively.
        std::vector<std::uint8_t> chunks(test::kHostileDepth, 0x7F);
        chunks.insert(chunks.end(), test::kHostileDepth, 0xFF);
        EXPECT_THROW(decodeCborAnswer(chunks), json::parse_error);
    });
}

TEST(Operations, DownloadTokenBounds) {
    const struct {
        std::string token;
        std::int64_t lifetime;
        const char* error;
    } cases[] = {
        {"t", 60, nullptr},
        {"t", 900, nullptr},
        {std::string(1024, '~'), 600, nullptr},
        {"t", 59, "Autorizacao de download invalida."},
        {"t", 901, "Autorizacao de download invalida."},
        {"", 600, "Autorizacao de download invalida."},
        {std::string(1025, 'x'), 600, "Autorizacao de download invalida."},
        {"with space", 600, "Token de download invalido."},
        {"tab\t", 600, "Token de download invalido."},
        {"\x7F", 600, "Token de download invalido."},
        {"\xC3\xA9", 600, "Token de download invalido."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { validateDownloadToken(c.token, c.lifetime); }), c.error ? c.error : "<no failure>")
            << c.token.substr(0, 10) << " " << c.lifetime;
    }
}

TEST(Operations, TransportFailureSentences) {
    EXPECT_EQ(describeTransportFailure("envio", 12002),
              "Sua conexao nao chegou ao servidor do Nyra. Libere o Launcher.exe no antivirus/firewall ou teste outra "
              "rede (ex.: 4G do celular). (WinHTTP 12002, envio)");
    EXPECT_EQ(describeTransportFailure("resposta", 12030),
              "Sua conexao nao chegou ao servidor do Nyra. Libere o Launcher.exe no antivirus/firewall ou teste outra "
              "rede (ex.: 4G do celular). (WinHTTP 12030, resposta)");
    EXPECT_EQ(describeTransportFailure("envio", 12007),
              "Seu PC nao encontrou o endereco do servidor (DNS). Troque o DNS para 1.1.1.1 ou 8.8.8.8 e tente de novo. "
              "(WinHTTP 12007, envio)");
    EXPECT_EQ(describeTransportFailure("envio", 12175),
              "Conexao segura recusada. Acerte a data e a hora do Windows e libere o Launcher.exe no antivirus. "
              "(WinHTTP 12175, envio)");
    // The certificate stage wins over the code.
    EXPECT_EQ(describeTransportFailure("certificado", 12002),
              "Conexao segura recusada. Acerte a data e a hora do Windows (automatico) e, se o antivirus inspeciona "
              "HTTPS, libere o Launcher.exe. (WinHTTP 12002, certificado)");
    EXPECT_EQ(describeTransportFailure("envio", 12157), "Falha na conexao HTTPS do servidor (WinHTTP 12157, envio).");
}

TEST(Operations, RecoveryAfterAFailedSend) {
    const struct {
        SendFailure failure;
        Recovery expected;
    } cases[] = {
        // Name not resolved: the fallback route first, once, and only before any certificate was seen.
        {{12007, false, false, false, false, false, false}, Recovery::SwitchToFallbackRoute},
        {{12007, true, false, false, true, false, false}, Recovery::Fail},
        {{12007, false, false, false, true, true, false}, Recovery::RetryAfterPause},
        {{12007, false, false, false, true, false, true}, Recovery::RetryAfterPause},
        {{12007, false, false, false, false, false, true}, Recovery::Fail},
        // Transient failures of retry-safe operations: one more try.
        {{12002, false, false, false, true, false, false}, Recovery::RetryAfterPause},
        {{12029, false, false, false, true, false, false}, Recovery::RetryAfterPause},
        {{12030, false, false, false, true, false, false}, Recovery::RetryAfterPause},
        {{12002, false, false, true, true, false, false}, Recovery::Fail},   // already the second attempt
        {{12002, false, false, false, false, false, false}, Recovery::Fail}, // login, logout, tokens
        {{12002, false, true, false, true, false, false}, Recovery::Fail},   // the certificate check closed it
        {{12175, false, false, false, true, false, false}, Recovery::Fail},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decideRecovery(c.failure), c.expected) << c.failure.error << " inspected " << c.failure.inspected
                                                         << " closed " << c.failure.closed << " second "
                                                         << c.failure.secondAttempt << " safe " << c.failure.retrySafe;
    }
}

}  // namespace
}  // namespace nyra::api
