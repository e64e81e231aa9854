#pragma once
// Windows-side tests against the stand-in service that scripts/with-service runs on
// https://localhost:443. Its control endpoint (plain HTTP on loopback, NYRA_SERVICE_CONTROL) sets
// faults and certificates; NYRA_SERVICE_ACCOUNT holds "user:password" of a seeded account.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace nyra::test {

class ServiceControl {
public:
    // Null when the tests run without the service. Another instance of the service (for example
    // the fallback test world's) names its control endpoint in another variable.
    static std::optional<ServiceControl> fromEnvironment(const wchar_t* controlVariable = L"NYRA_SERVICE_CONTROL");

    nlohmann::json request(const char* method, const std::string& path, const nlohmann::json& body = nullptr) const;
    void fault(const nlohmann::json& rule) const { request("POST", "/faults", rule); }
    void certificate(const std::string& kind) const { request("POST", "/certificate", {{"kind", kind}}); }
    // Back to normal: no faults, the pinned certificate, connections accepted, start-up settings.
    void reset() const;
    nlohmann::json query(const std::string& sql) const { return request("POST", "/query", {{"sql", sql}}); }

    std::string user;
    std::string password;

private:
    std::wstring host_;
    unsigned short port_ = 0;
};

// Skips the test when no service runs; otherwise resets it before the test.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::optional<ServiceControl> service;
};

}  // namespace nyra::test
