#pragma once
// The DNS-over-HTTPS stand-in of the connectivity fallback's test world: public resolvers played on
// their own IPv4 addresses (bound on the loopback interface of the test network namespace), each
// answering "/dns-query?name=" and "/resolve?name=" queries in the "application/dns-json" form for
// names under the service suffix, with a fault mode per resolver, a log of every query, and a
// plain-HTTP control endpoint on loopback.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/service/certificates.h"
#include "tools/service/http_types.h"
#include "tools/service/server.h"

namespace nyra::service {

// How one resolver answers.
enum class DohMode {
    Answer,      // Status 0 with the configured A records
    Status2,     // 200 with "Status" 2 (server failure)
    Timeout,     // holds the query for `holdMs`, then drops the connection unanswered
    Oversized,   // a valid answer (another address) padded beyond 65536 bytes
    Malformed,   // 200 with a body that is not JSON
    CnameChain,  // two CNAME records, then the A records
    TwelveA,     // twelve A records: the configured ones first, then others of 198.51.100.0/24
    HttpError,   // status 503
    Refuse,      // connections reset at once
};

// "answer", "status-2", "timeout", "oversized", "malformed", "cname-chain", "twelve-a", "http-503",
// "refuse"; throws std::invalid_argument.
DohMode dohModeFromName(const std::string& name);

struct DohOptions {
    std::vector<std::string> listen;          // one "address:port" per resolver
    std::optional<std::string> control;       // loopback "address:port"
    CertificatePem certificate;               // carries the resolvers' addresses
    std::string suffix = ".nyra-brasil.example";
    std::vector<std::string> addresses;       // the A records for every name under the suffix
    int holdMs = 4000;
};

class DohStandIn {
public:
    explicit DohStandIn(DohOptions options);
    ~DohStandIn();
    DohStandIn(const DohStandIn&) = delete;
    DohStandIn& operator=(const DohStandIn&) = delete;

    void start();
    void stop();
    std::vector<std::string> addresses() const;
    std::optional<std::string> controlAddress() const;

    // The answer of the resolver at `resolver` (its address without the port) to one request.
    HttpResponse answer(const std::string& resolver, const HttpRequest& request);
    // `addresses`, when given, replace the configured A records in this resolver's answers.
    void setMode(const std::string& resolver, DohMode mode, std::optional<std::vector<std::string>> addresses = {});
    void reset();
    // Every query so far: resolver, target, name, accept and user agent.
    nlohmann::json queries() const;

private:
    HttpResponse handleControl(HttpRequest& request);
    DohMode modeOf(const std::string& resolver) const;

    DohOptions options_;
    mutable std::mutex mutex_;
    std::map<std::string, DohMode> modes_;
    std::map<std::string, std::vector<std::string>> answers_;  // per resolver, when overridden
    nlohmann::json log_ = nlohmann::json::array();
    std::map<std::string, HttpServer*> byResolver_;
    std::vector<std::unique_ptr<HttpServer>> servers_;
    std::unique_ptr<HttpServer> control_;
};

}  // namespace nyra::service
