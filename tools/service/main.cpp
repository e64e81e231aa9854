// nyra-service: the development stand-in for the backend API, the CDN and the portal.
//
//   nyra-service [run] [--listen ADDR] [--control ADDR] [--cert PEM] [--key PEM] [--ca-cert PEM]
//                [--ca-key PEM] [--db PATH] [--set DIR] [--account USER:PASSWORD]...
//                [--origin-host HOST] [--password-iterations N] [--multi-client-limit N]
//   nyra-service add-account --db PATH --user USER --password PASSWORD [--password-iterations N]
//   nyra-service fault --control URL KIND [name=value]...     (see tools/service/README.md)
//   nyra-service control --control URL METHOD PATH [JSON]
//   nyra-service doh --listen ADDR... --address IPV4... [--control ADDR] [--cert PEM] [--key PEM]
//                    [--hold-ms N]
//   nyra-service client [--server 127.0.0.1:443] [--ca PEM] --user USER --password PASSWORD
//                       [--pack NAME] [--range bytes=A-B]
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/service/doh.h"
#include "tools/service/http_client.h"
#include "tools/service/service.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using nyra::service::ServiceOptions;

constexpr const char* kUsage =
    "usage: nyra-service [run] [--listen 127.0.0.1:443]... [--control 127.0.0.1:0] [--cert PEM] [--key PEM]\n"
    "                    [--ca-cert PEM] [--ca-key PEM] [--db PATH] [--set DIR] [--account USER:PASSWORD]...\n"
    "                    [--origin-host localhost] [--password-iterations N] [--multi-client-limit N]\n"
    "       nyra-service add-account --db PATH --user USER --password PASSWORD [--password-iterations N]\n"
    "       nyra-service fault --control URL KIND [name=value]...\n"
    "             KIND: status, delay, drop, content-type, no-content-type, content-type-params, oversize,\n"
    "                   truncate, corrupt, full-200, content-range, no-cookies, answer-member, wrong-sequence, ...\n"
    "                   (rules; name=value: target=, status=, count=, always=1, ms=, at=, bytes=, value=, name=,\n"
    "                   json=), or clear, list, state, game-sessions, certificate KIND, publish DIR,\n"
    "                   accept accept|reset|ignore, multi-client-limit N|none|default\n"
    "       nyra-service control --control URL METHOD PATH [JSON]\n"
    "       nyra-service doh --listen 1.1.1.1:443... --address 198.51.100.20... [--control 127.0.0.1:0]\n"
    "                        [--cert PEM] [--key PEM] [--hold-ms 4000]\n"
    "       nyra-service client [--server 127.0.0.1:443] [--ca PEM] --user USER --password PASSWORD\n"
    "                           [--pack NAME] [--range bytes=A-B]\n";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "nyra-service: " << problem << "\n" << kUsage;
    std::exit(2);
}

fs::path repositoryRoot() {
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        // build/native/bin/nyra-service
        const fs::path root = exe.parent_path().parent_path().parent_path().parent_path();
        if (fs::exists(root / "tools" / "dev-keys" / "localhost.pem")) {
            return root;
        }
    }
    return fs::current_path();
}

// Reads "--name value" pairs; flags listed in `repeatable` may appear more than once.
std::multimap<std::string, std::string> parseOptions(const std::vector<std::string>& args, std::size_t from) {
    std::multimap<std::string, std::string> options;
    for (std::size_t i = from; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0 || i + 1 >= args.size()) {
            usage("unexpected argument " + args[i]);
        }
        options.emplace(args[i].substr(2), args[i + 1]);
        ++i;
    }
    return options;
}

std::string single(const std::multimap<std::string, std::string>& options, const std::string& name,
                   const std::string& fallback = {}) {
    if (options.count(name) > 1) {
        usage("--" + name + " given twice");
    }
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
}

unsigned number(const std::string& text, const std::string& name) {
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used);
        if (used != text.size() || value > 100000000) {
            throw std::invalid_argument(text);
        }
        return static_cast<unsigned>(value);
    } catch (const std::exception&) {
        usage("--" + name + " needs a number");
    }
}

int run(const std::multimap<std::string, std::string>& options) {
    static const char* const kKnown[] = {"listen", "control", "cert", "key", "ca-cert", "ca-key", "db", "set",
                                         "account", "origin-host", "password-iterations", "multi-client-limit"};
    for (const auto& [name, value] : options) {
        if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
            usage("unknown option --" + name);
        }
    }
    ServiceOptions service = nyra::service::developmentDefaults(repositoryRoot());
    const auto listens = options.equal_range("listen");
    for (auto it = listens.first; it != listens.second; ++it) {
        if (it == listens.first) {
            service.listen = it->second;
        } else {
            service.alsoListen.push_back(it->second);
        }
    }
    if (options.count("control")) {
        service.control = single(options, "control");
    }
    service.certificate = single(options, "cert", service.certificate.string());
    service.key = single(options, "key", service.key.string());
    service.caCertificate = single(options, "ca-cert", service.caCertificate.string());
    service.caKey = single(options, "ca-key", service.caKey.string());
    service.database = single(options, "db", service.database.string());
    if (options.count("set")) {
        service.set = single(options, "set");
    }
    const auto range = options.equal_range("account");
    for (auto it = range.first; it != range.second; ++it) {
        const auto colon = it->second.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == it->second.size()) {
            usage("--account needs USER:PASSWORD");
        }
        service.accounts.emplace_back(it->second.substr(0, colon), it->second.substr(colon + 1));
    }
    service.backend.origin = "https://" + single(options, "origin-host", "localhost");
    if (options.count("password-iterations")) {
        service.passwordIterations = number(single(options, "password-iterations"), "password-iterations");
    }
    if (options.count("multi-client-limit")) {
        service.backend.multiClientLimit = number(single(options, "multi-client-limit"), "multi-client-limit");
    }

    // Signals are taken by sigwait below; every thread the service starts inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    nyra::service::Service instance(std::move(service));
    try {
        instance.start();
    } catch (const std::exception& error) {
        std::cerr << "nyra-service: " << error.what() << "\n";
        return 1;
    }
    for (const auto& address : instance.addresses()) {
        std::cout << "nyra-service listening on https://" << address << "\n";
    }
    if (auto control = instance.controlAddress()) {
        std::cout << "nyra-service control on http://" << *control << "\n";
    }
    const auto ports = instance.gameServerPorts();
    std::cout << "nyra-service game servers on 127.0.0.1: login " << ports[0] << ", world " << ports[1]
              << ", zone " << ports[2] << "\n";
    std::cout << std::flush;
    int received = 0;
    sigwait(&signals, &received);
    instance.stop();
    std::cout << "nyra-service stopped" << std::endl;
    return 0;
}

// The DNS-over-HTTPS stand-in of the fallback test world (tools/service/doh.h), in the foreground.
int doh(const std::multimap<std::string, std::string>& options) {
    static const char* const kKnown[] = {"listen", "address", "control", "cert", "key", "hold-ms"};
    for (const auto& [name, value] : options) {
        if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
            usage("unknown option --" + name);
        }
    }
    const fs::path keys = repositoryRoot() / "tools" / "dev-keys";
    nyra::service::DohOptions doh;
    for (auto [it, end] = options.equal_range("listen"); it != end; ++it) doh.listen.push_back(it->second);
    for (auto [it, end] = options.equal_range("address"); it != end; ++it) doh.addresses.push_back(it->second);
    if (doh.listen.empty() || doh.addresses.empty()) usage("doh needs --listen and --address");
    if (options.count("control")) doh.control = single(options, "control");
    if (options.count("hold-ms")) doh.holdMs = static_cast<int>(number(single(options, "hold-ms"), "hold-ms"));
    doh.certificate = nyra::service::loadCertificate(single(options, "cert", (keys / "doh-resolvers.pem").string()),
                                                     single(options, "key", (keys / "doh-resolvers.key").string()),
                                                     (keys / "dev-ca.pem").string());
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    nyra::service::DohStandIn instance(std::move(doh));
    instance.start();
    for (const auto& address : instance.addresses()) std::cout << "nyra-doh listening on https://" << address << "\n";
    if (auto control = instance.controlAddress()) std::cout << "nyra-doh control on http://" << *control << "\n";
    std::cout << std::flush;
    int received = 0;
    sigwait(&signals, &received);
    instance.stop();
    std::cout << "nyra-doh stopped" << std::endl;
    return 0;
}

int addAccount(const std::multimap<std::string, std::string>& options) {
    const std::string db = single(options, "db");
    const std::string user = single(options, "user");
    const std::string password = single(options, "password");
    if (db.empty() || user.empty() || password.empty()) {
        usage("add-account needs --db, --user and --password");
    }
    unsigned iterations = 210000;
    if (options.count("password-iterations")) {
        iterations = number(single(options, "password-iterations"), "password-iterations");
    }
    nyra::service::Store store(db, [] { return static_cast<std::int64_t>(::time(nullptr)); });
    const auto account = store.addAccount(user, password, iterations);
    std::cout << "account " << account.username << " (id " << account.id << ") ready\n";
    return 0;
}

json valueOf(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 19) {
        return std::stoull(text);
    }
    if (text == "true") {
        return true;
    }
    if (text == "false") {
        return false;
    }
    return text;
}

int control(const std::string& url, const std::string& method, const std::string& path, const std::string& body) {
    const auto [host, port] = nyra::service::parseHttpUrl(url);
    auto client = nyra::service::HttpClient::connect(host, port, std::nullopt);
    nyra::service::HeaderList headers;
    if (!body.empty()) {
        headers.emplace_back("Content-Type", "application/json");
    }
    const auto answer = client->request(method, path, headers, body);
    std::cout << answer.body;
    if (!answer.body.empty() && answer.body.back() != '\n') {
        std::cout << "\n";
    }
    return answer.status == 200 ? 0 : 1;
}

int fault(const std::vector<std::string>& args) {
    // fault --control URL KIND [name=value]...
    if (args.size() < 5 || args[2] != "--control") {
        usage("fault needs --control URL and a kind");
    }
    const std::string& url = args[3];
    const std::string& kind = args[4];
    const std::vector<std::string> rest(args.begin() + 5, args.end());
    if (kind == "clear") {
        return control(url, "DELETE", "/faults", "");
    }
    if (kind == "list") {
        return control(url, "GET", "/faults", "");
    }
    if (kind == "state") {
        return control(url, "GET", "/state", "");
    }
    if (kind == "game-sessions") {
        return control(url, "GET", "/game-sessions", "");
    }
    if (kind == "multi-client-limit") {
        // A number, "none" (the member is left out of the start answer) or "default".
        if (rest.size() != 1) {
            usage("multi-client-limit takes one value: a number, none or default");
        }
        if (rest[0] == "default") {
            return control(url, "DELETE", "/settings", "");
        }
        const json limit = rest[0] == "none" ? json(nullptr) : json(number(rest[0], "multi-client-limit"));
        return control(url, "POST", "/settings", json{{"multi_client_limit", limit}}.dump());
    }
    if (kind == "certificate" || kind == "publish" || kind == "accept") {
        if (rest.size() != 1) {
            usage(kind + " takes one value");
        }
        const char* member = kind == "certificate" ? "kind" : kind == "publish" ? "set" : "mode";
        std::string value = rest[0];
        if (kind == "publish") {
            value = fs::absolute(value).string();
        }
        return control(url, "POST", "/" + kind, json{{member, value}}.dump());
    }
    json rule{{"kind", kind}};
    for (const auto& pair : rest) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos) {
            usage("expected name=value, got " + pair);
        }
        const std::string name = pair.substr(0, equals);
        const std::string value = pair.substr(equals + 1);
        if (name == "json") {
            rule[name] = json::parse(value, nullptr, false);
            if (rule[name].is_discarded()) {
                usage("json= needs a JSON value, got " + value);
            }
        } else {
            rule[name] = (name == "target" || name == "value") ? json(value) : valueOf(value);
        }
    }
    return control(url, "POST", "/faults", rule.dump());
}

// Walks the launcher's sign-in and download path against a running service and prints each
// step: bootstrap, login, package-policy, package-key, package-index, one packages range, logout.
class FlowClient {
public:
    FlowClient(const std::string& server, const std::string& ca) {
        const auto address = nyra::service::parseListenAddress(server);
        client_ = nyra::service::HttpClient::connect(address.host, address.port,
                                                     nyra::service::TlsClientOptions{ca, "localhost"});
    }

    // Returns the status; prints one line; decodes CBOR answers into `answer`.
    unsigned call(unsigned op, const json& args, json* answer = nullptr) {
        nyra::service::HeaderList headers{{"Accept", "application/cbor, application/octet-stream"},
                                          {"Content-Type", "application/cbor"},
                                          {"Origin", "https://localhost"}};
        if (!csrf_.empty() || !session_.empty()) {
            headers.emplace_back("Cookie", (csrf_.empty() ? "" : "__Host-nyra_csrf=" + csrf_ + "; ") +
                                               (session_.empty() ? "" : "__Host-nyra_session=" + session_));
        }
        if (!csrf_.empty()) {
            headers.emplace_back("X-CSRF-Token", csrf_);
        }
        if (op == 5 || op == 6 || op == 26) {
            headers.emplace_back("X-Nyra-Update-Token", downloadToken);
        }
        const auto bytes = json::to_cbor(json{{"args", args}, {"op", op}});
        const auto response = client_->request("POST", "/client/v1", headers, std::string(bytes.begin(), bytes.end()));
        for (const auto& cookie : response.headersNamed("Set-Cookie")) {
            const std::string pair = cookie.substr(0, cookie.find(';'));
            const std::string name = pair.substr(0, pair.find('='));
            const std::string value = pair.substr(pair.find('=') + 1);
            (name == "__Host-nyra_session" ? session_ : name == "__Host-nyra_csrf" ? csrf_ : ignored_) = value;
        }
        const std::string* type = response.header("Content-Type");
        std::cout << nyra::service::operation(op).name << ": " << response.status << " "
                  << (type ? *type : std::string("(no content type)")) << " " << response.body.size() << " bytes";
        if (const std::string* range = response.header("Content-Range")) {
            std::cout << " Content-Range: " << *range;
        }
        std::cout << "\n";
        if (answer != nullptr && type != nullptr && *type == "application/cbor") {
            *answer = json::from_cbor(response.body, true, true, json::cbor_tag_handler_t::error);
        }
        return response.status;
    }

    std::string downloadToken;

private:
    std::unique_ptr<nyra::service::HttpClient> client_;
    std::string csrf_, session_, ignored_;
};

int flow(const std::multimap<std::string, std::string>& options) {
    const fs::path root = repositoryRoot();
    FlowClient client(single(options, "server", "127.0.0.1:443"),
                      single(options, "ca", (root / "tools" / "dev-keys" / "dev-ca.pem").string()));
    json answer;
    if (client.call(0, json::object(), &answer) != 200 ||
        client.call(1, {{"username", single(options, "user")}, {"password", single(options, "password")}}) != 200 ||
        client.call(3, json::object(), &answer) != 200) {
        return 1;
    }
    const json policy = answer;
    const json keyArgs{{"package_id", policy.at("package_id")},
                       {"index_sha256", policy.at("index_sha256")},
                       {"launcher_sha256", policy.at("policy").at("files").at("Launcher.exe")}};
    if (client.call(4, keyArgs, &answer) != 200) {
        return 1;
    }
    client.downloadToken = answer.at("download_token").get<std::string>();
    std::string pack = single(options, "pack");
    if (pack.empty()) {
        pack = policy.at("base_cdn").at("packs").at(0).at("path").get<std::string>();
    }
    const bool ok = client.call(5, json::object()) == 200 &&
                    client.call(6, {{"name", pack}, {"range", single(options, "range", "bytes=0-99")}}) == 206 &&
                    client.call(2, json::object()) == 200;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    try {
        if (args.size() >= 2 && args[1] == "add-account") {
            return addAccount(parseOptions(args, 2));
        }
        if (args.size() >= 2 && args[1] == "fault") {
            return fault(args);
        }
        if (args.size() >= 2 && args[1] == "doh") {
            return doh(parseOptions(args, 2));
        }
        if (args.size() >= 2 && args[1] == "client") {
            return flow(parseOptions(args, 2));
        }
        if (args.size() >= 2 && args[1] == "control") {
            if (args.size() < 6 || args[2] != "--control") {
                usage("control needs --control URL METHOD PATH [JSON]");
            }
            return control(args[3], args[4], args[5], args.size() > 6 ? args[6] : std::string());
        }
        if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h" || args[1] == "help")) {
            std::cout << kUsage;
            return 0;
        }
        const std::size_t from = args.size() >= 2 && args[1] == "run" ? 2 : 1;
        return run(parseOptions(args, from));
    } catch (const std::exception& error) {
        std::cerr << "nyra-service: " << error.what() << "\n";
        return 1;
    }
}
