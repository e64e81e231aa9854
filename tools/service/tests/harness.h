#pragma once
// Test harness of the service: a temporary folder, a small published set, the service on
// 127.0.0.1:0 with a controllable clock, and a backend client that keeps cookies like the launcher.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/service/http_client.h"
#include "tools/service/service.h"

namespace nyra::service::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// What a fixture set holds, for comparisons.
struct FixtureSet {
    std::filesystem::path folder;
    std::string packageId;
    nlohmann::json policy;
    std::string packageKey;
    std::string index;          // bytes
    std::string pack;           // bytes of nyra-000.pck (also its one CDN object)
    std::string packSha256;
    std::string smallPack;      // bytes of nyra-001.pck
    std::string launcher;       // bytes
    std::string launcherSha256;
    std::string translationsEn;
    std::string translationsPt;
    std::string cdnObjectPath;  // "/base/<sha>/0000.bin"
};

// Writes a consistent set (set.json, index, two packs, one CDN object, translations, launcher).
FixtureSet writeFixtureSet(const std::filesystem::path& folder, const std::string& seed);

inline constexpr const char* kUser = "ana.souza";
inline constexpr const char* kPassword = "lanterna-do-farol";

class ServiceHarness {
public:
    ServiceHarness();
    ~ServiceHarness();

    Service& service() { return *service_; }
    const FixtureSet& set() const { return set_; }
    const std::filesystem::path& root() const { return temp_.path(); }
    void advanceClock(std::int64_t seconds) { *offset_ += seconds; }

    std::unique_ptr<HttpClient> connect() const;         // TLS, trusting the development CA
    std::unique_ptr<HttpClient> connectControl() const;  // plain HTTP to the control endpoint
    // POST to the control endpoint; returns the parsed JSON answer and expects `status`.
    nlohmann::json control(const std::string& method, const std::string& path, const nlohmann::json& body,
                           unsigned status = 200) const;

private:
    TempDir temp_;
    FixtureSet set_;
    std::shared_ptr<std::atomic<std::int64_t>> offset_ = std::make_shared<std::atomic<std::int64_t>>(0);
    std::unique_ptr<Service> service_;
};

std::string caFile();
std::string envelope(unsigned op, const nlohmann::json& args);

// A launcher-like backend client: sends the envelope with Origin, cookies, CSRF and the download
// token, and absorbs Set-Cookie headers.
class BackendClient {
public:
    explicit BackendClient(const ServiceHarness& harness);

    ClientResponse call(unsigned op, const nlohmann::json& args = nlohmann::json::object(),
                        const HeaderList& extra = {});
    // call() and decode the CBOR answer; fails the test when the status differs.
    nlohmann::json answer(unsigned op, const nlohmann::json& args = nlohmann::json::object(), unsigned status = 200,
                          const HeaderList& extra = {});
    ClientResponse raw(const std::string& body, const HeaderList& headers);

    void signIn();  // bootstrap + login (remember)
    std::string csrf, session, downloadToken;
    std::string origin = "https://localhost";
    HttpClient& http() { return *client_; }

private:
    std::unique_ptr<HttpClient> client_;
};

}  // namespace nyra::service::testing
