#pragma once
// nyra-service: the backend API, the CDN and the portal of the development flavour on one HTTPS
// address, plus an optional plain-HTTP control endpoint on loopback for fault injection.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/service/backend.h"
#include "tools/service/certificates.h"
#include "tools/service/faults.h"
#include "tools/service/game_servers.h"
#include "tools/service/package_set.h"
#include "tools/service/relay.h"
#include "tools/service/server.h"
#include "tools/service/store.h"

namespace nyra::service {

struct ServiceOptions {
    std::string listen = "127.0.0.1:443";
    std::vector<std::string> alsoListen;  // more addresses with the same roles (e.g. "[::1]:443")
    std::optional<std::string> control;  // "127.0.0.1:0"; loopback only
    std::filesystem::path certificate;   // PEM chain of "localhost"
    std::filesystem::path key;
    std::filesystem::path caCertificate;  // issues the test certificates of the TLS faults
    std::filesystem::path caKey;
    std::filesystem::path database;
    std::optional<std::filesystem::path> set;
    std::vector<std::pair<std::string, std::string>> accounts;  // created or reset at start
    unsigned passwordIterations = 210000;
    BackendSettings backend;
    Clock clock;  // seconds since the epoch; the system clock when empty
    std::size_t maxConnections = 256;
    int idleTimeoutMs = 65000;
    RelaySettings relay;  // its origin is the backend's
};

// Development defaults relative to the repository root (tools/dev-keys).
ServiceOptions developmentDefaults(const std::filesystem::path& repositoryRoot);

class Service {
public:
    explicit Service(ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    void start();
    void stop();  // idempotent; joins every thread the service started

    std::string address() const;  // "127.0.0.1:44321" (the first listening address)
    std::vector<std::string> addresses() const;
    std::uint16_t port() const;
    std::optional<std::string> controlAddress() const;

    Store& store() { return *store_; }
    FaultRegistry& faults() { return faults_; }
    Relay& relay() { return *relay_; }
    // The game-server stand-ins' ports on 127.0.0.1, in channel order (login, world, zone).
    std::array<std::uint16_t, kGameChannelCount> gameServerPorts() const;

    // Run-time switches (also reachable through the control endpoint).
    std::string useCertificate(CertificateKind kind);  // returns the served certificate's pin
    std::string publish(const std::filesystem::path& folder);  // returns the new package_id
    void setAcceptMode(AcceptMode mode, int connections = 0);
    std::shared_ptr<const PackageSet> currentSet() const;
    std::string certificatePin() const;

    HttpResponse handle(HttpRequest& request);         // the HTTPS roles
    HttpResponse handleControl(HttpRequest& request);  // the control endpoint

private:
    nlohmann::json state() const;
    nlohmann::json settings() const;  // the run-time settings of the control endpoint's /settings
    void changeSettings(const nlohmann::json& body);  // all or nothing; std::invalid_argument

    ServiceOptions options_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Backend> backend_;
    FaultRegistry faults_;
    std::unique_ptr<GameServers> gameServers_;
    // Before the listeners: their TLS connections belong to the relay's context, which must
    // outlive them.
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<HttpServer> server_;
    std::vector<std::unique_ptr<HttpServer>> moreServers_;
    std::unique_ptr<HttpServer> control_;

    mutable std::mutex mutex_;
    std::shared_ptr<const PackageSet> set_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    CertificateKind certificateKind_ = CertificateKind::Default;
    std::string pin_;
    CertificatePem defaultCertificate_;
    std::vector<std::pair<CertificateKind, CertificatePem>> generated_;
};

}  // namespace nyra::service
