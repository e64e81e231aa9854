#include "tools/service/service.h"

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <stdexcept>

#include "tools/common/files.h"
#include "tools/service/portal.h"

namespace nyra::service {
namespace {

using nlohmann::json;

const char* acceptModeName(AcceptMode mode) {
    switch (mode) {
    case AcceptMode::Accept: return "accept";
    case AcceptMode::Reset: return "reset";
    case AcceptMode::Ignore: return "ignore";
    }
    return "accept";
}

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

HttpResponse jsonAnswer(unsigned status, const json& value) {
    return textResponse(status, "application/json", value.dump() + "\n");
}

HttpResponse injectedStatus(const std::vector<std::string>& targets, unsigned status) {
    const bool backend = targets.size() > 1 && targets[1] == "backend";
    if (backend) {
        return backendRefusal(status, "injected fault");
    }
    return textResponse(status, "text/plain; charset=utf-8", "injected fault\n");
}

bool isLoopback(const std::string& host) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    return !error && address.is_loopback();
}

}  // namespace

ServiceOptions developmentDefaults(const std::filesystem::path& root) {
    ServiceOptions options;
    const auto keys = root / "tools" / "dev-keys";
    options.certificate = keys / "localhost.pem";
    options.key = keys / "localhost.key";
    options.caCertificate = keys / "dev-ca.pem";
    options.caKey = keys / "dev-ca.key";
    options.database = root / "build" / "service" / "service.db";
    return options;
}

Service::Service(ServiceOptions options) : options_(std::move(options)) {
    if (!options_.clock) {
        options_.clock = systemSeconds;
    }
}

Service::~Service() { stop(); }

void Service::start() {
    defaultCertificate_ =
        loadCertificate(options_.certificate.string(), options_.key.string(), options_.caCertificate.string());
    tls_ = makeServerContext(defaultCertificate_);
    pin_ = nyra::service::certificatePin(defaultCertificate_.certificate);
    store_ = std::make_unique<Store>(options_.database, options_.clock);
    for (const auto& [user, password] : options_.accounts) {
        store_->addAccount(user, password, options_.passwordIterations);
    }
    if (options_.set) {
        set_ = loadPackageSet(*options_.set);
    }
    backend_ = std::make_unique<Backend>(*store_, [this] { return currentSet(); }, options_.backend);
    gameServers_ = std::make_unique<GameServers>();
    gameServers_->start();
    RelaySettings relaySettings = options_.relay;
    relaySettings.origin = options_.backend.origin;
    relay_ = std::make_unique<Relay>(*store_, faults_, relaySettings);
    relay_->start(gameServers_->ports());

    ServerOptions serverOptions;
    serverOptions.listen = parseListenAddress(options_.listen);
    serverOptions.maxConnections = options_.maxConnections;
    serverOptions.idleTimeoutMs = options_.idleTimeoutMs;
    serverOptions.bodyLimit = kLargestEnvelope;
    serverOptions.socketContext = &relay_->context();
    const auto makeServer = [this](const ServerOptions& listenOptions) {
        return std::make_unique<HttpServer>(
            listenOptions, [this](HttpRequest& request) { return handle(request); },
            [this] {
                std::lock_guard lock(mutex_);
                return tls_;
            });
    };
    server_ = makeServer(serverOptions);
    for (const auto& more : options_.alsoListen) {
        serverOptions.listen = parseListenAddress(more);
        moreServers_.push_back(makeServer(serverOptions));
    }
    if (options_.control) {
        ServerOptions controlOptions;
        controlOptions.listen = parseListenAddress(*options_.control);
        if (!isLoopback(controlOptions.listen.host)) {
            throw std::invalid_argument("the control endpoint listens on loopback addresses only");
        }
        controlOptions.maxConnections = 16;
        controlOptions.bodyLimit = 1 << 20;
        control_ = std::make_unique<HttpServer>(
            controlOptions, [this](HttpRequest& request) { return handleControl(request); }, nullptr);
    }
    server_->start();
    for (auto& more : moreServers_) {
        more->start();
    }
    if (control_) {
        control_->start();
    }
}

void Service::stop() {
    if (control_) {
        control_->stop();
    }
    // The relay before the listeners: a request waiting for it is answered at once.
    if (relay_) {
        relay_->stop();
    }
    // The main server first: injected delays wait on it, whichever address they arrived on.
    if (server_) {
        server_->stop();
    }
    for (auto& more : moreServers_) {
        more->stop();
    }
    if (gameServers_) {
        gameServers_->stop();
    }
}

std::array<std::uint16_t, kGameChannelCount> Service::gameServerPorts() const {
    return gameServers_ ? gameServers_->ports() : std::array<std::uint16_t, kGameChannelCount>{};
}

std::vector<std::string> Service::addresses() const {
    std::vector<std::string> all;
    if (server_) {
        all.push_back(server_->address());
    }
    for (const auto& more : moreServers_) {
        all.push_back(more->address());
    }
    return all;
}

std::string Service::address() const { return server_ ? server_->address() : std::string(); }
std::uint16_t Service::port() const { return server_ ? server_->port() : 0; }

std::optional<std::string> Service::controlAddress() const {
    if (!control_) {
        return std::nullopt;
    }
    return control_->address();
}

std::shared_ptr<const PackageSet> Service::currentSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

std::string Service::certificatePin() const {
    std::lock_guard lock(mutex_);
    return pin_;
}

std::string Service::useCertificate(CertificateKind kind) {
    CertificatePem pem;
    if (kind == CertificateKind::Default) {
        pem = defaultCertificate_;
    } else {
        std::lock_guard lock(mutex_);
        for (const auto& [made, existing] : generated_) {
            if (made == kind) {
                pem = existing;
            }
        }
    }
    if (pem.certificate.empty()) {
        pem = makeCertificate(kind, tools::readTextFile(options_.caCertificate, 1 << 20),
                              tools::readTextFile(options_.caKey, 1 << 20));
        std::lock_guard lock(mutex_);
        generated_.emplace_back(kind, pem);
    }
    auto context = makeServerContext(pem);
    const std::string pin = nyra::service::certificatePin(pem.certificate);
    std::lock_guard lock(mutex_);
    tls_ = std::move(context);
    certificateKind_ = kind;
    pin_ = pin;
    return pin;
}

std::string Service::publish(const std::filesystem::path& folder) {
    auto set = loadPackageSet(folder);
    std::lock_guard lock(mutex_);
    set_ = std::move(set);
    return set_->packageId;
}

void Service::setAcceptMode(AcceptMode mode, int connections) {
    server_->setAcceptMode(mode, connections);
    for (auto& more : moreServers_) {
        more->setAcceptMode(mode, connections);
    }
}

HttpResponse Service::handle(HttpRequest& request) {
    std::vector<std::string> targets;
    std::optional<HttpResponse> early;
    std::optional<Envelope> envelope;
    std::string label;
    if (request.path == "/client/v1") {
        label = "backend";
        const std::string* upgrade = request.header("Upgrade");
        if (request.method == "GET" && upgrade != nullptr && equalsIgnoreCase(*upgrade, "websocket")) {
            // The game-traffic relay: its own checks and its own fault rules.
            HttpResponse response =
                relay_->handle(request, [this](int milliseconds) { return server_->pause(milliseconds); });
            store_->logRequest(request.remoteAddress, "relay", response.status);
            return response;
        } else if (auto refusal = backend_->precheck(request)) {
            early = std::move(refusal);
        } else {
            try {
                envelope = decodeEnvelope(request.body);
                label = "op:" + std::to_string(envelope->op);
                targets = {label, "backend", "any"};
            } catch (const BadRequest& error) {
                early = backendRefusal(400, error.what());
            }
        }
    } else if (isCdnPath(request.path)) {
        label = "cdn";
    } else if (request.path == "/api/news") {
        label = "news";
    } else if (request.path == "/game-news/" || request.path == "/game-news") {
        label = "game-news";
    } else {
        label = "portal";
    }
    if (targets.empty() && !early) {
        targets = {label, "any"};
    }

    const auto rules = targets.empty() ? std::vector<FaultRule>() : faults_.take(targets);
    for (const auto& rule : rules) {
        if (rule.kind == FaultKind::Delay) {
            server_->pause(static_cast<int>(rule.milliseconds));  // ends early when the service stops
        }
    }
    for (const auto& rule : rules) {
        if (rule.kind == FaultKind::Status && !early) {
            early = injectedStatus(targets, rule.status);
        }
    }

    HttpResponse response;
    if (early) {
        response = std::move(*early);
    } else if (envelope) {
        response = backend_->handle(request, *envelope);
    } else if (label == "cdn") {
        auto set = currentSet();
        response = cdnObject(set.get(), request);
    } else if (request.method != "GET" && request.method != "HEAD") {
        response = textResponse(405, "text/plain; charset=utf-8", "GET only\n");
        response.setHeader("Allow", "GET, HEAD");
    } else if (label == "news") {
        response = newsFeed(*store_);
    } else if (label == "game-news") {
        response = gameNewsPage(*store_, request);
    } else {
        response = portalPage(*store_, request);
    }
    applyAnswerFaults(response, rules);
    store_->logRequest(request.remoteAddress, label, response.status, response.headOnly ? 0 : response.bodyLength());
    return response;
}

json Service::state() const {
    auto set = currentSet();
    json out{{"address", address()},
             {"accept", acceptModeName(server_->acceptMode())},
             {"faults", faults_.list()}};
    {
        std::lock_guard lock(mutex_);
        out["certificate"] = {{"kind", certificateKindName(certificateKind_)}, {"pin", pin_}};
    }
    out["set"] = set ? json{{"folder", set->root.string()}, {"package_id", set->packageId}} : json(nullptr);
    out["settings"] = settings();
    out["relay"] = relay_->state();
    out["game_servers"] = gameServers_->state();
    return out;
}

json Service::settings() const {
    const auto limit = backend_->multiClientLimit();
    return {{"multi_client_limit", limit ? json(*limit) : json(nullptr)}};
}

void Service::changeSettings(const json& body) {
    if (!body.is_object()) {
        throw std::invalid_argument("settings are a JSON object");
    }
    for (const auto& [name, value] : body.items()) {
        if (name != "multi_client_limit") {
            throw std::invalid_argument("unknown setting " + name + " (multi_client_limit)");
        }
        if (!value.is_null() && (!value.is_number_unsigned() || value.get<std::uint64_t>() > 1000)) {
            throw std::invalid_argument("multi_client_limit is 0 to 1000, or null to leave it out of the answer");
        }
    }
    if (body.contains("multi_client_limit")) {
        const json& value = body.at("multi_client_limit");
        backend_->setMultiClientLimit(value.is_null() ? std::nullopt
                                                      : std::optional(static_cast<unsigned>(value.get<std::uint64_t>())));
    }
}

HttpResponse Service::handleControl(HttpRequest& request) {
    try {
        const json body = request.body.empty() ? json::object() : json::parse(request.body);
        const std::string& path = request.path;
        const std::string& method = request.method;
        if (path == "/health" && method == "GET") {
            return jsonAnswer(200, {{"ok", true}});
        }
        if (path == "/state" && method == "GET") {
            return jsonAnswer(200, state());
        }
        if (path == "/faults") {
            if (method == "GET") {
                return jsonAnswer(200, faults_.list());
            }
            if (method == "DELETE") {
                faults_.clear();
                return jsonAnswer(200, {{"cleared", true}});
            }
            if (method == "POST") {
                json ids = json::array();
                std::vector<FaultRule> rules;
                for (const auto& item : body.is_array() ? body : json::array({body})) {
                    rules.push_back(faultFromJson(item));  // all or nothing
                }
                for (auto& rule : rules) {
                    ids.push_back(faults_.add(std::move(rule)));
                }
                return jsonAnswer(200, {{"ids", ids}});
            }
        }
        if (path == "/certificate" && method == "POST") {
            const auto kind = certificateKindFromName(body.value("kind", std::string("default")));
            const std::string pin = useCertificate(kind);
            return jsonAnswer(200, {{"kind", certificateKindName(kind)}, {"pin", pin}});
        }
        if (path == "/publish" && method == "POST") {
            const std::string packageId = publish(body.at("set").get<std::string>());
            return jsonAnswer(200, {{"package_id", packageId}});
        }
        if (path == "/accept" && method == "POST") {
            const std::string mode = body.value("mode", std::string("accept"));
            const int connections = body.value("count", 0);
            if (mode == "accept") {
                setAcceptMode(AcceptMode::Accept);
            } else if (mode == "reset") {
                setAcceptMode(AcceptMode::Reset, connections);
            } else if (mode == "ignore") {
                setAcceptMode(AcceptMode::Ignore);
            } else {
                throw std::invalid_argument("mode is accept, reset or ignore");
            }
            return jsonAnswer(200, {{"mode", mode}, {"count", connections}});
        }
        if (path == "/game-sessions" && method == "GET") {
            return jsonAnswer(200, store_->gameSessions());
        }
        if (path == "/settings") {
            if (method == "POST") {
                changeSettings(body);
            } else if (method == "DELETE") {
                backend_->setMultiClientLimit(options_.backend.multiClientLimit);
            } else if (method != "GET") {
                return jsonAnswer(405, {{"error", "GET, POST or DELETE"}});
            }
            return jsonAnswer(200, settings());
        }
        if (path == "/query" && method == "POST") {
            return jsonAnswer(200, store_->query(body.at("sql").get<std::string>()));
        }
        return jsonAnswer(404, {{"error", "unknown control request " + method + " " + path}});
    } catch (const std::exception& error) {
        return jsonAnswer(400, {{"error", error.what()}});
    }
}

}  // namespace nyra::service
