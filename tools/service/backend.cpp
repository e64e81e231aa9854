#include "tools/service/backend.h"

#include "tools/common/crypto.h"
#include "tools/service/ranges.h"

namespace nyra::service {
namespace {

using nlohmann::json;

constexpr const char* kTransport = "cloudflare-ws-v1";
constexpr std::uint64_t kLargestRange = 64ull * 1024 * 1024;

std::string cookieHeader(const char* name, const std::string& value, bool httpOnly,
                         std::optional<std::int64_t> maxAge) {
    std::string header = std::string(name) + "=" + value + "; Path=/; Secure";
    if (httpOnly) {
        header += "; HttpOnly";
    }
    header += "; SameSite=Strict";
    if (maxAge) {
        header += "; Max-Age=" + std::to_string(*maxAge);
    }
    return header;
}

HttpResponse fileAnswer(const ServedFile& file, std::string contentType) {
    HttpResponse response;
    response.setHeader("Content-Type", std::move(contentType));
    response.file = FileSlice{file.path, 0, file.size, file.size};
    return response;
}

std::string mediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && type.back() == ' ') {
        type.pop_back();
    }
    return type;
}

// The item-mall data of a game session; `revision` counts the heartbeats answered so far, so the
// data the game receives changes with every heartbeat.
json itemMall(std::int64_t accountId, std::int64_t revision) {
    return json{{"balance", 1500 + (accountId % 7) * 250},
                {"currency", "cristais"},
                {"catalog_version", 27},
                {"revision", revision}};
}

}  // namespace

HttpResponse cborAnswer(const json& value, unsigned status) {
    const auto bytes = json::to_cbor(value);
    HttpResponse response;
    response.status = status;
    response.setHeader("Content-Type", "application/cbor");
    response.setHeader("Cache-Control", "no-store");
    response.body.assign(bytes.begin(), bytes.end());
    return response;
}

HttpResponse backendRefusal(unsigned status, const std::string& reason) {
    return cborAnswer(json{{"error", reason}}, status);
}

// A request without a live session. When it presented a session cookie the backend no longer
// knows (ended, expired or never issued), the answer also clears it, as the bootstrap does.
HttpResponse Backend::notSignedIn(const HttpRequest& request) {
    auto refusal = backendRefusal(401, "not signed in");
    if (!request.cookie(kSessionCookie).empty()) {
        refusal.headers.emplace_back("Set-Cookie", cookieHeader(kSessionCookie, "", true, 0));
    }
    return refusal;
}

Backend::Backend(Store& store, SetSource currentSet, BackendSettings settings)
    : store_(store),
      currentSet_(std::move(currentSet)),
      settings_(std::move(settings)),
      multiClientLimit_(settings_.multiClientLimit) {}

void Backend::setMultiClientLimit(std::optional<unsigned> limit) {
    multiClientLimit_ = limit ? static_cast<std::int64_t>(*limit) : -1;
}

std::optional<unsigned> Backend::multiClientLimit() const {
    const std::int64_t limit = multiClientLimit_;
    if (limit < 0) {
        return std::nullopt;
    }
    return static_cast<unsigned>(limit);
}

std::optional<HttpResponse> Backend::precheck(const HttpRequest& request) const {
    if (request.method != "POST") {
        auto refusal = backendRefusal(405, "POST only");
        refusal.setHeader("Allow", "POST");
        return refusal;
    }
    const std::string* origin = request.header("Origin");
    if (origin == nullptr || *origin != settings_.origin) {
        return backendRefusal(403, "origin not allowed");
    }
    const std::string* type = request.header("Content-Type");
    if (type == nullptr || !equalsIgnoreCase(mediaType(*type), "application/cbor")) {
        return backendRefusal(415, "the body must be application/cbor");
    }
    return std::nullopt;
}

HttpResponse Backend::handle(const HttpRequest& request, const Envelope& envelope) {
    const Operation& op = operation(envelope.op);
    if (op.needsCsrf) {
        const std::string* header = request.header("X-CSRF-Token");
        const std::string cookie = request.cookie(kCsrfCookie);
        if (header == nullptr || *header != cookie || !isOpaqueToken(cookie) || !store_.csrfTokenValid(cookie)) {
            return backendRefusal(403, "CSRF token missing or wrong");
        }
    }
    try {
        checkArguments(envelope);
    } catch (const BadRequest& error) {
        return backendRefusal(400, error.what());
    }
    return dispatch(request, envelope);
}

std::optional<SessionInfo> Backend::session(const HttpRequest& request) {
    const std::string token = request.cookie(kSessionCookie);
    if (!isOpaqueToken(token)) {
        return std::nullopt;
    }
    return store_.findSession(token);
}

std::optional<GameSession> Backend::bearerGameSession(const HttpRequest& request) {
    const std::string* authorization = request.header("Authorization");
    constexpr std::string_view prefix = "Bearer ";
    if (authorization == nullptr || authorization->rfind(prefix, 0) != 0) {
        return std::nullopt;
    }
    const std::string token = authorization->substr(prefix.size());
    if (!isOpaqueToken(token)) {
        return std::nullopt;
    }
    auto game = store_.findGameSession(token);
    if (!game || game->stopped) {
        return std::nullopt;
    }
    return game;
}

std::optional<HttpResponse> Backend::checkDownloadToken(const HttpRequest& request, const PackageSet& set) {
    const std::string* token = request.header("X-Nyra-Update-Token");
    if (token == nullptr || token->empty()) {
        return backendRefusal(401, "download token missing");
    }
    const auto grant = store_.findDownloadToken(*token);
    if (!grant) {
        return backendRefusal(403, "download token unknown");
    }
    if (grant->expiresAt <= store_.now()) {
        return backendRefusal(403, "download token expired");
    }
    if (!grant->sessionActive) {
        return backendRefusal(403, "the session of this download token has ended");
    }
    if (grant->packageId != set.packageId) {
        return backendRefusal(403, "download token issued for another package set");
    }
    return std::nullopt;
}

HttpResponse Backend::dispatch(const HttpRequest& request, const Envelope& envelope) {
    const json& args = envelope.args;
    std::shared_ptr<const PackageSet> set;
    const auto needSet = [&]() -> bool {
        set = currentSet_();
        return set != nullptr;
    };
    switch (envelope.op) {
    case 0:
        return bootstrap(request);
    case 1:
        return login(request, args);
    case 2:
        return logout(request);
    case 3:
        if (!needSet()) {
            return backendRefusal(503, "no package set is published");
        }
        return cborAnswer(set->policy);
    case 4:
        return packageKey(request, args);
    case 5: {
        if (!needSet()) {
            return backendRefusal(503, "no package set is published");
        }
        if (auto refusal = checkDownloadToken(request, *set)) {
            return *refusal;
        }
        return fileAnswer(set->index, "application/octet-stream");
    }
    case 6:
        return packages(request, args);
    case 7:
        return start(request, args);
    case 8:
        return heartbeat(request, args);
    case 9:
        return stop(request);
    case 10:
        return event(request, args);
    case 11: {
        auto current = session(request);
        if (!current) {
            return notSignedIn(request);
        }
        return cborAnswer(store_.notifications(current->account.id));
    }
    case 12:
        return newsTicket(request, args);
    case 13:
        if (!needSet()) {
            return backendRefusal(503, "no package set is published");
        }
        if (!set->launcher) {
            return backendRefusal(404, "no launcher build is published");
        }
        return fileAnswer(set->launcher->file, settings_.launcherContentType);
    case 15: {
        auto current = session(request);
        if (!current) {
            return notSignedIn(request);
        }
        return cborAnswer(json{{"active", false}, {"tier", 0}});
    }
    case 18:
        return clientToken(request, "vip");
    case 19:
        return clientToken(request, "voice");
    case 26: {
        if (!needSet()) {
            return backendRefusal(503, "no package set is published");
        }
        if (auto refusal = checkDownloadToken(request, *set)) {
            return *refusal;
        }
        const auto found = set->translations.find(args.at("language").get<std::string>());
        if (found == set->translations.end()) {
            return backendRefusal(404, "no translations for this language");
        }
        return fileAnswer(found->second.file, "application/octet-stream");
    }
    default:
        // The game-side VIP and voice operations live in services this stand-in does not run.
        return backendRefusal(404, "operation not provided by this service");
    }
}

HttpResponse Backend::bootstrap(const HttpRequest& request) {
    const std::string presented = request.cookie(kSessionCookie);
    const auto current = session(request);
    const std::string csrf = store_.createCsrfToken(settings_.csrfSeconds);
    json user = nullptr;
    if (current) {
        user = json{{"username", current->account.username}};
    }
    auto response = cborAnswer(json{{"csrf", csrf}, {"user", user}});
    response.headers.emplace_back("Set-Cookie", cookieHeader(kCsrfCookie, csrf, false, settings_.csrfSeconds));
    if (!presented.empty() && !current) {
        response.headers.emplace_back("Set-Cookie", cookieHeader(kSessionCookie, "", true, 0));
    }
    return response;
}

HttpResponse Backend::login(const HttpRequest& request, const json& args) {
    const std::string username = args.at("username").get<std::string>();
    const std::string address = request.remoteAddress;
    if (store_.recentFailures(username, address, settings_.loginFailureWindowSeconds) >= settings_.loginFailureLimit) {
        auto refusal = backendRefusal(429, "too many failed sign-ins; wait a few minutes");
        refusal.setHeader("Retry-After", std::to_string(settings_.loginFailureWindowSeconds));
        return refusal;
    }
    std::string password = args.at("password").get<std::string>();
    const auto account = store_.checkPassword(username, password);
    tools::wipe(password);
    if (!account) {
        store_.recordLoginAttempt(username, address, false);
        return backendRefusal(401, "wrong user name or password");
    }
    store_.recordLoginAttempt(username, address, true);
    const bool remember = args.value("remember", false);
    const std::int64_t lifetime = remember ? settings_.rememberedSessionSeconds : settings_.sessionSeconds;
    const std::string token = store_.createSession(*account, remember, args.value("hwid", std::string()),
                                                   args.value("hwid_info", std::string()), address, lifetime);
    auto response = cborAnswer(json{{"user", {{"username", account->username}}}});
    response.headers.emplace_back(
        "Set-Cookie", cookieHeader(kSessionCookie, token, true, remember ? std::optional(lifetime) : std::nullopt));
    return response;
}

HttpResponse Backend::logout(const HttpRequest& request) {
    if (auto current = session(request)) {
        store_.endSession(current->id);
    }
    auto response = cborAnswer(json::object());
    response.headers.emplace_back("Set-Cookie", cookieHeader(kSessionCookie, "", true, 0));
    return response;
}

HttpResponse Backend::packageKey(const HttpRequest& request, const json& args) {
    auto current = session(request);
    if (!current) {
        return notSignedIn(request);
    }
    auto set = currentSet_();
    if (!set) {
        return backendRefusal(503, "no package set is published");
    }
    if (args.at("package_id") != set->packageId || args.at("index_sha256") != set->indexSha256) {
        return backendRefusal(409, "the package set has changed");
    }
    if (args.at("launcher_sha256") != set->launcherSha256) {
        return backendRefusal(426, "this launcher build is not the published one");
    }
    const std::string token = store_.createDownloadToken(current->id, set->packageId, settings_.downloadTokenSeconds);
    return cborAnswer(json{{"key", set->packageKey},
                           {"download_token", token},
                           {"download_expires_in", settings_.downloadTokenSeconds}});
}

HttpResponse Backend::packages(const HttpRequest& request, const json& args) {
    auto set = currentSet_();
    if (!set) {
        return backendRefusal(503, "no package set is published");
    }
    if (auto refusal = checkDownloadToken(request, *set)) {
        return *refusal;
    }
    const auto found = set->packs.find(args.at("name").get<std::string>());
    if (found == set->packs.end()) {
        return backendRefusal(404, "no such pack in this package set");
    }
    auto response = fileAnswer(found->second, "application/octet-stream");
    if (!args.contains("range")) {
        return response;
    }
    const auto range = parseStrictRange(args.at("range").get<std::string>());
    if (!range) {
        return backendRefusal(400, "range must be bytes=first-last");
    }
    const std::uint64_t size = found->second.size;
    if (range->first >= size || range->last >= size || range->length() > kLargestRange) {
        auto refusal = backendRefusal(416, "range not satisfiable");
        refusal.setHeader("Content-Range", "bytes */" + std::to_string(size));
        return refusal;
    }
    response.status = 206;
    response.file->offset = range->first;
    response.file->length = range->length();
    response.setHeader("Content-Range", "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) +
                                            "/" + std::to_string(size));
    return response;
}

HttpResponse Backend::start(const HttpRequest& request, const json& args) {
    auto current = session(request);
    if (!current) {
        return notSignedIn(request);
    }
    auto set = currentSet_();
    if (!set) {
        return backendRefusal(503, "no package set is published");
    }
    if (args.at("transport") != kTransport) {
        return backendRefusal(400, "unsupported transport");
    }
    if (args.at("package_id") != set->packageId || args.at("version") != set->packageId) {
        return backendRefusal(409, "the package set has changed");
    }
    const json& published = set->policy.at("policy").at("files");
    for (const auto& [name, digest] : args.at("files").items()) {
        if (name == "Launcher.exe" && digest != set->launcherSha256) {
            return backendRefusal(426, "this launcher build is not the published one");
        }
        if (!published.contains(name) || published.at(name) != digest) {
            return backendRefusal(409, "protected file " + name + " differs from the published set");
        }
    }
    const std::string token = store_.startGameSession(*current, args);
    json languages = json::object();
    for (const auto& [language, bundle] : set->translations) {
        languages[language] = bundle.tag;
    }
    json answer{{"token", token},
                {"transport", kTransport},
                {"game_login",
                 {{"username", current->account.username},
                  {"account_id", current->account.id},
                  {"ticket", tools::opaqueToken()},
                  {"world", "nyra-br-1"}}},
                {"itemmall", itemMall(current->account.id, 0)},
                {"translation_languages", languages}};
    if (const auto limit = multiClientLimit()) {
        answer["multi_client_limit"] = *limit;
    }
    if (auto pt = set->translations.find("pt-BR"); pt != set->translations.end()) {
        answer["translations_sha256"] = pt->second.tag;
    }
    return cborAnswer(answer);
}

HttpResponse Backend::heartbeat(const HttpRequest& request, const json& args) {
    auto game = bearerGameSession(request);
    if (!game) {
        return backendRefusal(401, "game session unknown or ended");
    }
    if (auto current = session(request); current && current->account.id != game->accountId) {
        return backendRefusal(403, "game session of another account");
    }
    const auto sequence = args.at("sequence").get<std::uint64_t>();
    const std::int64_t beats = store_.recordHeartbeat(game->id, sequence, args.at("version").get<std::string>());
    return cborAnswer(json{{"sequence", sequence}, {"itemmall", itemMall(game->accountId, beats)}});
}

HttpResponse Backend::stop(const HttpRequest& request) {
    auto game = bearerGameSession(request);
    if (!game) {
        return backendRefusal(401, "game session unknown or ended");
    }
    store_.stopGameSession(game->id);
    return cborAnswer(json::object());
}

HttpResponse Backend::event(const HttpRequest& request, const json& args) {
    auto current = session(request);
    if (!current) {
        return notSignedIn(request);
    }
    std::optional<std::int64_t> gameId;
    const std::string token = args.at("token").get<std::string>();
    if (!token.empty()) {
        auto game = isOpaqueToken(token) ? store_.findGameSession(token) : std::nullopt;
        if (!game || game->accountId != current->account.id) {
            return backendRefusal(403, "game session unknown");
        }
        gameId = game->id;
    }
    store_.recordEvent(gameId, current->account.id, args.at("kind").get<std::string>(),
                       args.at("detail").get<std::string>());
    return cborAnswer(json::object());
}

HttpResponse Backend::newsTicket(const HttpRequest& request, const json& args) {
    auto current = session(request);
    if (!current) {
        return notSignedIn(request);
    }
    const std::string token = args.at("token").get<std::string>();
    auto game = isOpaqueToken(token) ? store_.findGameSession(token) : std::nullopt;
    if (!game || game->stopped || game->accountId != current->account.id) {
        return backendRefusal(403, "game session unknown or ended");
    }
    if (args.at("package_id") != game->packageId) {
        return backendRefusal(409, "package_id differs from the game session's");
    }
    return cborAnswer(json{{"ticket", store_.createNewsTicket(game->id, settings_.newsTicketSeconds)}});
}

HttpResponse Backend::clientToken(const HttpRequest& request, const char* kind) {
    auto current = session(request);
    if (!current) {
        return notSignedIn(request);
    }
    return cborAnswer(json{{"token", store_.createClientToken(current->account.id, kind, settings_.clientTokenSeconds)},
                           {"expires_in", settings_.clientTokenSeconds}});
}

}  // namespace nyra::service
