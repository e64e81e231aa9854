#include "tools/service/doh.h"

#include <stdexcept>

namespace nyra::service {
namespace {

using nlohmann::json;

// Addresses outside every listener of the test world: an answer that carries them can only be
// used by a client that ignored the rule that should have refused it.
constexpr const char* kDecoyAddress = "198.51.100.66";

HttpResponse jsonBody(unsigned status, const json& value) {
    return textResponse(status, "application/dns-json", value.dump());
}

json aRecord(const std::string& name, const std::string& address) {
    return {{"name", name + "."}, {"type", 1}, {"TTL", 300}, {"data", address}};
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

DohMode dohModeFromName(const std::string& name) {
    static const std::map<std::string, DohMode> kModes{
        {"answer", DohMode::Answer},       {"status-2", DohMode::Status2},       {"timeout", DohMode::Timeout},
        {"oversized", DohMode::Oversized}, {"malformed", DohMode::Malformed},    {"cname-chain", DohMode::CnameChain},
        {"twelve-a", DohMode::TwelveA},    {"http-503", DohMode::HttpError},     {"refuse", DohMode::Refuse},
    };
    const auto mode = kModes.find(name);
    if (mode == kModes.end()) throw std::invalid_argument("unknown resolver mode " + name);
    return mode->second;
}

DohStandIn::DohStandIn(DohOptions options) : options_(std::move(options)) {}

DohStandIn::~DohStandIn() { stop(); }

void DohStandIn::start() {
    auto tls = makeServerContext(options_.certificate);
    for (const auto& listen : options_.listen) {
        ServerOptions serverOptions;
        serverOptions.listen = parseListenAddress(listen);
        serverOptions.maxConnections = 64;
        const std::string resolver = serverOptions.listen.host;
        auto server = std::make_unique<HttpServer>(
            serverOptions, [this, resolver](HttpRequest& request) { return answer(resolver, request); },
            [tls] { return tls; });
        server->start();
        byResolver_[resolver] = server.get();
        servers_.push_back(std::move(server));
    }
    if (options_.control) {
        ServerOptions controlOptions;
        controlOptions.listen = parseListenAddress(*options_.control);
        if (controlOptions.listen.host.rfind("127.", 0) != 0 && controlOptions.listen.host != "::1") {
            throw std::invalid_argument("the control endpoint listens on loopback addresses only");
        }
        controlOptions.maxConnections = 16;
        control_ = std::make_unique<HttpServer>(
            controlOptions, [this](HttpRequest& request) { return handleControl(request); }, nullptr);
        control_->start();
    }
}

void DohStandIn::stop() {
    if (control_) control_->stop();
    for (auto& server : servers_) server->stop();
}

std::vector<std::string> DohStandIn::addresses() const {
    std::vector<std::string> result;
    for (const auto& server : servers_) result.push_back(server->address());
    return result;
}

std::optional<std::string> DohStandIn::controlAddress() const {
    if (!control_) return std::nullopt;
    return control_->address();
}

DohMode DohStandIn::modeOf(const std::string& resolver) const {
    std::lock_guard lock(mutex_);
    const auto mode = modes_.find(resolver);
    return mode == modes_.end() ? DohMode::Answer : mode->second;
}

void DohStandIn::setMode(const std::string& resolver, DohMode mode,
                         std::optional<std::vector<std::string>> addresses) {
    std::lock_guard lock(mutex_);
    modes_[resolver] = mode;
    if (addresses) {
        answers_[resolver] = std::move(*addresses);
    } else {
        answers_.erase(resolver);
    }
    if (const auto server = byResolver_.find(resolver); server != byResolver_.end()) {
        server->second->setAcceptMode(mode == DohMode::Refuse ? AcceptMode::Reset : AcceptMode::Accept);
    }
}

void DohStandIn::reset() {
    std::lock_guard lock(mutex_);
    modes_.clear();
    answers_.clear();
    log_ = json::array();
    for (auto& [resolver, server] : byResolver_) server->setAcceptMode(AcceptMode::Accept);
}

json DohStandIn::queries() const {
    std::lock_guard lock(mutex_);
    return log_;
}

HttpResponse DohStandIn::answer(const std::string& resolver, const HttpRequest& request) {
    const auto name = request.queryParameter("name");
    {
        const std::string* accept = request.header("Accept");
        const std::string* agent = request.header("User-Agent");
        std::lock_guard lock(mutex_);
        log_.push_back({{"resolver", resolver},
                        {"method", request.method},
                        {"target", request.target},
                        {"name", name.value_or("")},
                        {"accept", accept ? *accept : ""},
                        {"user_agent", agent ? *agent : ""}});
    }
    if (request.method != "GET" || (request.path != "/dns-query" && request.path != "/resolve") || !name ||
        request.queryParameter("type") != "A") {
        return jsonBody(400, {{"error", "expected GET /dns-query or /resolve with name= and type=A"}});
    }
    if (!endsWith(*name, options_.suffix)) {
        return jsonBody(200, {{"Status", 3}, {"Question", json::array({{{"name", *name + "."}, {"type", 1}}})}});
    }

    std::vector<std::string> addresses = options_.addresses;
    {
        std::lock_guard lock(mutex_);
        if (const auto answer = answers_.find(resolver); answer != answers_.end()) addresses = answer->second;
    }
    json records = json::array();
    for (const auto& address : addresses) records.push_back(aRecord(*name, address));
    json body{{"Status", 0}, {"TC", false}, {"Question", json::array({{{"name", *name + "."}, {"type", 1}}})}};
    switch (modeOf(resolver)) {
    case DohMode::Answer:
    case DohMode::Refuse:  // only reached by a connection accepted before the mode changed
        break;
    case DohMode::Status2:
        return jsonBody(200, {{"Status", 2}, {"Answer", records}});
    case DohMode::Timeout: {
        HttpServer* server = byResolver_.at(resolver);
        server->pause(options_.holdMs);
        HttpResponse dropped = jsonBody(200, body);
        dropped.faults.dropAfter = 0;
        dropped.close = true;
        return dropped;
    }
    case DohMode::Oversized: {
        HttpResponse padded = jsonBody(200, {{"Status", 0}, {"Answer", json::array({aRecord(*name, kDecoyAddress)})}});
        padded.body.append(70000, ' ');  // still one valid JSON document, but beyond the limit
        return padded;
    }
    case DohMode::Malformed:
        return textResponse(200, "application/dns-json", R"({"Status":0,"Answer":[{"type":1,"data":")" +
                                                             std::string(kDecoyAddress) + "\"");
    case DohMode::CnameChain: {
        json chain = json::array({{{"name", *name + "."}, {"type", 5}, {"TTL", 300}, {"data", "edge" + options_.suffix + "."}},
                                  {{"name", "edge" + options_.suffix + "."}, {"type", 5}, {"TTL", 300},
                                   {"data", "origin" + options_.suffix + "."}}});
        for (const auto& record : records) chain.push_back(record);
        chain.push_back(aRecord("origin" + options_.suffix, "198.51.100.21"));
        records = chain;
        break;
    }
    case DohMode::TwelveA:
        for (int i = 0; records.size() < 12; ++i) records.push_back(aRecord(*name, "198.51.100." + std::to_string(100 + i)));
        break;
    case DohMode::HttpError:
        return jsonBody(503, {{"error", "resolver unavailable"}});
    }
    body["Answer"] = records;
    return jsonBody(200, body);
}

HttpResponse DohStandIn::handleControl(HttpRequest& request) {
    try {
        const json body = request.body.empty() ? json::object() : json::parse(request.body);
        if (request.path == "/queries" && request.method == "GET") return jsonBody(200, queries());
        if (request.path == "/reset" && request.method == "POST") {
            reset();
            return jsonBody(200, {{"reset", true}});
        }
        if (request.path == "/mode" && request.method == "POST") {
            const auto resolver = body.at("resolver").get<std::string>();
            if (!byResolver_.contains(resolver)) return jsonBody(404, {{"error", "no resolver " + resolver}});
            std::optional<std::vector<std::string>> addresses;
            if (body.contains("addresses")) addresses = body.at("addresses").get<std::vector<std::string>>();
            setMode(resolver, dohModeFromName(body.at("mode").get<std::string>()), std::move(addresses));
            return jsonBody(200, {{"resolver", resolver}, {"mode", body.at("mode")}});
        }
        return jsonBody(404, {{"error", "unknown control request " + request.method + " " + request.path}});
    } catch (const std::exception& error) {
        return jsonBody(400, {{"error", error.what()}});
    }
}

}  // namespace nyra::service
