#include "net/http.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "core/json_limits.h"
#include "core/text.h"
#include "net/operations.h"

namespace nyra {
namespace {

using nlohmann::json;

constexpr std::string_view kPackageKeyPath = "/api/launcher/package-key";
constexpr std::uint64_t kTokenRenewalMarginMs = 30000;

void wipeBytes(std::vector<std::uint8_t>& bytes) noexcept {
    volatile std::uint8_t* data = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) data[i] = 0;
    bytes.clear();
}

// Replaces a secret, zeroing the bytes it held.
void replaceSecret(std::string& secret, std::string value) {
    wipe(secret);
    secret = std::move(value);
}

}  // namespace

Http::Http(std::unique_ptr<BackendTransport> transport, Clock& clock, std::string backendHost)
    : transport_(std::move(transport)), clock_(clock), backendHost_(std::move(backendHost)) {}

Http::~Http() {
    transport_.reset();  // connection, then session
    wipe(sessionCookie_);
    wipe(csrf_);
    clearDownloadAuthorization();
}

void Http::clearDownloadAuthorization() noexcept {
    wipe(downloadToken_);
    downloadTokenExpiry_ = 0;
    packageKeyArgs_ = nullptr;
}

void Http::absorbCookies(TransportResponse& response) {
    for (auto& header : response.setCookies()) {
        if (auto update = api::parseSetCookie(header)) {
            replaceSecret(update->name == api::CookieUpdate::Name::Session ? sessionCookie_ : csrf_,
                          std::move(update->value));
        }
        wipe(header);
    }
}

void Http::ensureDownloadToken() {
    if (!downloadToken_.empty() && clock_.tickMs() + kTokenRenewalMarginMs < downloadTokenExpiry_) return;
    if (!packageKeyArgs_.is_object()) {
        throw std::runtime_error("Entre novamente para autorizar os arquivos do jogo.");
    }
    json renewed = call(std::string(kPackageKeyPath), json(packageKeyArgs_));
    api::wipeKeyMember(renewed);  // the caller of the renewal has no use for the key
    if (downloadToken_.empty()) throw std::runtime_error("Autorizacao de download indisponivel.");
}

std::vector<std::uint8_t> Http::exchange(std::string_view path, std::string_view argsJson, std::string_view bearer,
                                         std::uint64_t limit, std::string_view extraHeader,
                                         std::vector<std::uint8_t> reuse) {
    const int op = api::lookupOperation(path);
    if (api::needsDownloadToken(op)) ensureDownloadToken();

    if (!argsJson.empty()) requireJsonNesting(argsJson);
    json args = argsJson.empty() ? json::object() : json::parse(argsJson);
    api::applyArgumentRules(op, path, args, extraHeader);
    auto body = api::encodeEnvelope(op, args);
    api::wipeKeyMember(args);

    TransportRequest request;
    request.headers = api::buildRequestHeaders(
        op, {backendHost_, csrf_, sessionCookie_, downloadToken_, bearer});
    request.body = &body;
    request.retrySafe = api::kOperations[op].retrySafe;
    std::unique_ptr<TransportResponse> response;
    try {
        response = transport_->send(request);
    } catch (...) {
        wipe(request.headers);
        wipeBytes(body);
        throw;
    }
    wipe(request.headers);
    wipeBytes(body);

    absorbCookies(*response);
    const int status = response->status();
    if (!api::statusAccepted(status, !extraHeader.empty())) {
        throw HttpError(api::statusMessage(op, path, status), status);
    }
    auto answer = reuse.capacity() > 0 && api::kOperations[op].fileAnswer
                      ? response->readBodyInto(std::move(reuse), limit)
                      : response->readBody(limit);
    try {
        api::checkContentType(op, response->contentType());
        if (api::kOperations[op].fileAnswer) return answer;
        const std::string text = api::decodeCborAnswer(answer);
        wipeBytes(answer);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    } catch (...) {
        wipeBytes(answer);
        throw;
    }
}

json Http::call(const std::string& path, const json& args) { return call(path, args, {}); }

json Http::call(const std::string& path, const json& args, std::string_view bearer) {
    std::string argsText = args.dump(-1, ' ', false, json::error_handler_t::strict);
    std::vector<std::uint8_t> raw;
    json answer;
    try {
        raw = exchange(path, argsText, bearer, kCallLimit);
        requireJsonNesting(raw);  // CBOR answers are bounded already; a file body comes back as received
        answer = json::parse(raw.begin(), raw.end());
    } catch (...) {
        wipe(argsText);
        wipeBytes(raw);
        throw;
    }
    wipe(argsText);
    wipeBytes(raw);

    if (path == kPackageKeyPath) {
        try {
            std::string token = answer.at("download_token").get<std::string>();
            const auto& lifetimeMember = answer.at("download_expires_in");
            if (!lifetimeMember.is_number()) (void)lifetimeMember.get<std::int64_t>();  // the library's type error
            // A fraction or a value beyond 64 bits fails the lifetime rule like any lifetime out of range.
            const std::int64_t lifetime = integerIn(lifetimeMember, 0, std::numeric_limits<std::int64_t>::max()).value_or(0);
            api::validateDownloadToken(token, lifetime);
            replaceSecret(downloadToken_, std::move(token));
            packageKeyArgs_ = args;
            downloadTokenExpiry_ = clock_.tickMs() + static_cast<std::uint64_t>(lifetime) * 1000;
        } catch (...) {
            api::wipeKeyMember(answer);
            throw;
        }
    }
    return answer;
}

json Http::bootstrap() {
    json answer = call("/api/bootstrap");
    const auto& value = answer.at("csrf");
    std::string token = value.is_string() ? value.get<std::string>() : std::string();
    if (!api::isOpaqueToken(token)) {
        wipe(token);
        throw std::runtime_error("Sessao de seguranca invalida.");
    }
    replaceSecret(csrf_, std::move(token));
    return answer;
}

void Http::login(const std::string& username, const std::string& password, const std::string& hwid,
                 const std::string& hwidInfo, bool remember) {
    clearDownloadAuthorization();
    bootstrap();
    json args = {{"username", username}, {"password", password}};
    if (remember) args["remember"] = true;
    if (!hwid.empty()) {
        args["hwid"] = hwid;
        args["hwid_info"] = hwidInfo;
    }
    try {
        call("/api/login", args);
    } catch (...) {
        wipe(args["password"].get_ref<std::string&>());
        throw;
    }
    wipe(args["password"].get_ref<std::string&>());
    if (!api::isOpaqueToken(sessionCookie_)) throw std::runtime_error("O servidor nao confirmou a sessao.");
}

void Http::logout() {
    call("/api/logout");
    wipe(sessionCookie_);
    clearDownloadAuthorization();
}

json Http::resumeSession(const std::string& value) {
    if (!api::isOpaqueToken(value)) throw std::runtime_error("Sessao salva invalida.");
    replaceSecret(sessionCookie_, value);
    json answer = bootstrap();
    // A backend that no longer knows the session answers a null (or no) user.
    json user = answer.contains("user") ? answer["user"] : json();
    if (user.is_null()) wipe(sessionCookie_);
    return user;
}

}  // namespace nyra
