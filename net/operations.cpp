#include "net/operations.h"

#include <charconv>
#include <stdexcept>

#include "core/text.h"
#include "core/http_error.h"
#include "core/json_limits.h"

namespace nyra::api {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// Builds a decoded CBOR document in place (tags refused: the reader's default) and wipes the
// reader's own copy of every string value once the document has it.
struct WipingDocumentBuilder : nlohmann::detail::json_sax_dom_parser<json> {
    explicit WipingDocumentBuilder(json& document) : json_sax_dom_parser(document, /*allow_exceptions=*/true) {}
    bool string(json::string_t& value) {
        const bool kept = json_sax_dom_parser::string(value);
        wipe(value);
        return kept;
    }
};

bool isTokenCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// "Range: bytes=<first>-<last>\r\n" for op 6; what travels is only "bytes=<first>-<last>".
std::string rangeFromHeader(std::string_view header) {
    constexpr std::string_view prefix = "Range: bytes=";
    if (header.size() < 4 || header.size() > 79 || !header.starts_with(prefix) || !header.ends_with("\r\n")) {
        fail("Trecho do pacote invalido.");
    }
    return std::string(header.substr(7, header.size() - 9));
}

}  // namespace

int lookupOperation(std::string_view path) {
    for (int op = 0; op < kOperationCount; ++op) {
        const auto& entry = kOperations[op];
        if (entry.match == Match::Exact ? path == entry.path : path.starts_with(entry.path)) return op;
    }
    fail("Operacao do cliente nao autorizada.");
}

bool needsDownloadToken(int op) { return op == kOpPackageIndex || op == kOpPackages || op == kOpTranslations; }

void applyArgumentRules(int op, std::string_view path, json& args, std::string_view extraHeader) {
    if (!args.is_object()) fail("Argumentos do cliente invalidos.");
    if (op != kOpPackages && !extraHeader.empty()) fail("Cabecalho do cliente nao autorizado.");
    switch (op) {
    case kOpPackages:
        args["name"] = std::string(path.substr(path.rfind('/') + 1));
        if (!extraHeader.empty()) args["range"] = rangeFromHeader(extraHeader);
        break;
    case 14:
    case 15:
    case 18:
        if (!args.empty()) fail("Argumentos VIP invalidos.");
        break;
    case 16:
        if (args.size() != 2 || !args.contains("rainbow_name") || !args.contains("rainbow_chat") ||
            !args["rainbow_name"].is_boolean() || !args["rainbow_chat"].is_boolean()) {
            fail("Preferencias VIP invalidas.");
        }
        break;
    case kOpVipStatus: {
        const auto digits = path.substr(path.find('=') + 1);
        std::uint64_t value = 0;
        const auto* end = digits.data() + digits.size();
        const bool allDigits = !digits.empty() && digits.size() <= 10 &&
                               digits.find_first_not_of("0123456789") == std::string_view::npos;
        if (!allDigits || std::from_chars(digits.data(), end, value).ptr != end || value < 1 || value > 4294967295u) {
            fail("Identidade VIP invalida.");
        }
        args["character_id"] = value;
        break;
    }
    case 19:
        if (!args.empty()) fail("Argumentos de voz invalidos.");
        break;
    default:
        break;
    }
}

std::size_t envelopeLimit(int op) {
    if (op == 20 || op == 22) return 16384;
    if (op == 21 || op == 24) return 65536;
    return 8192;
}

std::vector<std::uint8_t> encodeEnvelope(int op, const json& args) {
    // nlohmann's objects are ordered by key, so "args" precedes "op" as the backend expects.
    // The envelope holds a copy of the arguments (a password, a key) and the encoder grows its
    // output as it goes: both are wiped, and the body handed out is one block of the exact size.
    json envelope = {{"op", static_cast<std::uint64_t>(op)}, {"args", args}};
    const WipeOnExit wipeEnvelope(envelope);
    SecretBytes encoded;
    json::to_cbor(envelope, encoded);
    const WipeOnExit wipeEncoded(encoded);
    if (encoded.size() > envelopeLimit(op)) fail("Requisicao do cliente muito grande.");
    return std::vector<std::uint8_t>(encoded.begin(), encoded.end());
}

std::string buildRequestHeaders(int op, const HeaderInputs& in) {
    constexpr std::string_view kFixed =
        "Accept: application/cbor, application/octet-stream\r\nContent-Type: application/cbor\r\nOrigin: https://";
    // The lines carry the cookie, CSRF, download and bearer tokens: sized once so that the text
    // never moves to a bigger block and leaves a partial copy behind (the caller wipes the result).
    std::string headers;
    headers.reserve(kFixed.size() + in.backendHost.size() + 2 + 8 + 17 + in.csrf.size() + 2 + 20 +
                    in.sessionCookie.size() + 2 + 14 + in.csrf.size() + 2 + 21 + in.downloadToken.size() + 2 + 22 +
                    in.bearer.size() + 2);
    headers += kFixed;
    headers += in.backendHost;
    headers += "\r\n";
    if (!in.csrf.empty() || !in.sessionCookie.empty()) {
        headers += "Cookie: ";
        if (!in.csrf.empty()) {
            headers += "__Host-nyra_csrf=";
            headers += in.csrf;
            headers += "; ";
        }
        if (!in.sessionCookie.empty()) {
            headers += "__Host-nyra_session=";
            headers += in.sessionCookie;
        }
        headers += "\r\n";
    }
    if (!in.csrf.empty()) {
        headers += "X-CSRF-Token: ";
        headers += in.csrf;
        headers += "\r\n";
    }
    if (needsDownloadToken(op)) {
        headers += "X-Nyra-Update-Token: ";
        headers += in.downloadToken;
        headers += "\r\n";
    }
    if (!in.bearer.empty()) {
        headers += "Authorization: Bearer ";
        headers += in.bearer;
        headers += "\r\n";
    }
    return headers;
}

bool isOpaqueToken(std::string_view text) {
    if (text.size() != 43) return false;
    for (const char c : text) {
        if (!isTokenCharacter(c)) return false;
    }
    return true;
}

std::optional<CookieUpdate> parseSetCookie(std::string_view header) {
    const auto pair = header.substr(0, header.find(';'));
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const auto name = pair.substr(0, equals);
    const auto value = pair.substr(equals + 1);
    if (!value.empty() && !isOpaqueToken(value)) return std::nullopt;
    if (name == "__Host-nyra_session") return CookieUpdate{CookieUpdate::Name::Session, std::string(value)};
    if (name == "__Host-nyra_csrf") return CookieUpdate{CookieUpdate::Name::Csrf, std::string(value)};
    return std::nullopt;
}

bool statusAccepted(int status, bool rangeRequested) { return status == 200 || (status == 206 && rangeRequested); }

std::string statusMessage(int op, std::string_view path, int status) {
    if (op == kOpPackages) {
        if (status == 404) {
            return "O pacote " + std::string(path.substr(path.rfind('/') + 1)) +
                   " esta ausente na distribuicao do servidor. O reparo nao pode continuar; o jogo nao sera iniciado.";
        }
        if (status == 416) return "O servidor recusou o trecho solicitado do pacote. Tente verificar os arquivos novamente.";
        if (status >= 500) {
            return "O servidor de downloads esta indisponivel. O status online do jogo nao garante a disponibilidade dos "
                   "pacotes.";
        }
    }
    switch (status) {
    case 401:
        return "Usuario, senha ou autorizacao invalida.";
    case 403:
        return "Acesso ao recurso negado pelo servidor.";
    case 409:
    case 426:
        return "Reabra o launcher atualizado para continuar.";
    case 429:
        return "Aguarde antes de tentar novamente.";
    case 503:
        return "O servico solicitado esta temporariamente indisponivel.";
    default:
        return "Falha na comunicacao com o servidor (HTTP " + std::to_string(status) + ").";
    }
}

void checkContentType(int op, const std::optional<std::string>& contentType) {
    if (!contentType) fail("Tipo de resposta do servidor ausente.");
    if (kOperations[op].fileAnswer) {
        const bool accepted = *contentType == "application/octet-stream" ||
                              (op == kOpDownloadLauncher && *contentType == "application/vnd.microsoft.portable-executable");
        if (!accepted) fail("Arquivo do servidor invalido.");
    } else if (*contentType != "application/cbor") {
        fail("Protocolo do servidor invalido. Atualize o launcher.");
    }
}

void wipeKeyMember(json& document) noexcept {
    if (!document.is_object()) return;
    const auto it = document.find("key");
    if (it != document.end() && it->is_string()) wipe(it->get_ref<std::string&>());
}

SecretString compactText(const json& document) {
    SecretString text;
    // What json::dump(-1) does, into a buffer that wipes every block it releases.
    nlohmann::detail::serializer<json> writer(nlohmann::detail::output_adapter<char, SecretString>(text), ' ',
                                              json::error_handler_t::strict);
    writer.dump(document, false, false, 0);
    return text;
}

json decodeCborDocument(const std::vector<std::uint8_t>& body) {
    // Decoded in place rather than by json::from_cbor, which returns a copy of its document and
    // drops the original unwiped; whatever was decoded (also before a failure) is wiped here.
    // Bounded first: the decoder, and every later copy or dump of the answer, recurse per level.
    requireCborNesting(body);
    json document;
    try {
        WipingDocumentBuilder builder(document);
        json::sax_parse(body.begin(), body.end(), &builder, json::input_format_t::cbor, /*strict=*/true);
        // The answer's text must be what the exchange would return: strict UTF-8 in every string.
        SecretString text = compactText(document);
        wipe(text);
    } catch (...) {
        wipe(document);
        throw;
    }
    return document;
}

SecretString decodeCborAnswer(const std::vector<std::uint8_t>& body) {
    json document = decodeCborDocument(body);
    const WipeOnExit wipeDocument(document);
    return compactText(document);
}

void validateDownloadToken(const std::string& token, std::int64_t lifetimeSeconds) {
    if (token.empty() || token.size() > 1024 || lifetimeSeconds < 60 || lifetimeSeconds > 900) {
        fail("Autorizacao de download invalida.");
    }
    for (const char c : token) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 33 || code > 126) fail("Token de download invalido.");
    }
}

std::string describeTransportFailure(std::string_view stage, unsigned long code) {
    const std::string suffix = " (WinHTTP " + std::to_string(code) + ", " + std::string(stage) + ")";
    if (stage == "certificado") {
        return "Conexao segura recusada. Acerte a data e a hora do Windows (automatico) e, se o antivirus inspeciona "
               "HTTPS, libere o Launcher.exe." + suffix;
    }
    switch (code) {
    case 12002:
    case 12029:
    case 12030:
        return "Sua conexao nao chegou ao servidor do Nyra. Libere o Launcher.exe no antivirus/firewall ou teste outra "
               "rede (ex.: 4G do celular)." + suffix;
    case 12007:
        return "Seu PC nao encontrou o endereco do servidor (DNS). Troque o DNS para 1.1.1.1 ou 8.8.8.8 e tente de "
               "novo." + suffix;
    case 12175:
        return "Conexao segura recusada. Acerte a data e a hora do Windows e libere o Launcher.exe no antivirus." +
               suffix;
    default:
        return "Falha na conexao HTTPS do servidor" + suffix + ".";
    }
}

Recovery decideRecovery(const SendFailure& f) {
    constexpr unsigned long kNameNotResolved = 12007;
    if (f.error == kNameNotResolved && !f.inspected && !f.fallbackRouteOn && !f.fallbackRefused) {
        return Recovery::SwitchToFallbackRoute;
    }
    const bool transient = f.error == 12002 || f.error == 12007 || f.error == 12029 || f.error == 12030;
    if (!f.secondAttempt && !f.inspected && !f.closed && f.retrySafe && transient) return Recovery::RetryAfterPause;
    return Recovery::Fail;
}

}  // namespace nyra::api
