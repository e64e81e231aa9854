#pragma once
// The backend API behind POST /client/v1: origin, CSRF, cookies, sessions, download tokens and
// the 27 operations.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/service/envelope.h"
#include "tools/service/http_types.h"
#include "tools/service/package_set.h"
#include "tools/service/store.h"

namespace nyra::service {

struct BackendSettings {
    std::string origin = "https://localhost";   // the only accepted Origin
    std::int64_t sessionSeconds = 12 * 3600;
    std::int64_t rememberedSessionSeconds = 30 * 86400;
    std::int64_t csrfSeconds = 12 * 3600;
    std::int64_t downloadTokenSeconds = 600;
    std::int64_t newsTicketSeconds = 6 * 3600;
    std::int64_t clientTokenSeconds = 3600;
    int loginFailureLimit = 5;                  // failures per account or address ...
    std::int64_t loginFailureWindowSeconds = 600;  // ... inside this window answer 429
    unsigned multiClientLimit = 2;
    std::string launcherContentType = "application/octet-stream";
};

class Backend {
public:
    using SetSource = std::function<std::shared_ptr<const PackageSet>()>;
    Backend(Store& store, SetSource currentSet, BackendSettings settings);

    // Checks that apply before the envelope is decoded (method, Origin, Content-Type); an answer
    // when the request is refused.
    std::optional<HttpResponse> precheck(const HttpRequest& request) const;
    // One decoded operation.
    HttpResponse handle(const HttpRequest& request, const Envelope& envelope);

    const BackendSettings& settings() const { return settings_; }

    // "multi_client_limit" of the next start answers, changed at run time by tests; nullopt
    // leaves the member out (the launcher then assumes 1).
    void setMultiClientLimit(std::optional<unsigned> limit);
    std::optional<unsigned> multiClientLimit() const;

private:
    HttpResponse dispatch(const HttpRequest& request, const Envelope& envelope);
    HttpResponse bootstrap(const HttpRequest& request);
    HttpResponse login(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse logout(const HttpRequest& request);
    HttpResponse packageKey(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse packages(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse start(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse heartbeat(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse stop(const HttpRequest& request);
    HttpResponse event(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse newsTicket(const HttpRequest& request, const nlohmann::json& args);
    HttpResponse clientToken(const HttpRequest& request, const char* kind);
    static HttpResponse notSignedIn(const HttpRequest& request);

    std::optional<SessionInfo> session(const HttpRequest& request);
    std::optional<GameSession> bearerGameSession(const HttpRequest& request);
    // The download token's refusal, or nullopt when it authorises this set.
    std::optional<HttpResponse> checkDownloadToken(const HttpRequest& request, const PackageSet& set);

    Store& store_;
    SetSource currentSet_;
    BackendSettings settings_;
    std::atomic<std::int64_t> multiClientLimit_;  // -1: the member is left out
};

// CBOR answers and refusals of the backend.
HttpResponse cborAnswer(const nlohmann::json& value, unsigned status = 200);
HttpResponse backendRefusal(unsigned status, const std::string& reason);

inline constexpr const char* kSessionCookie = "__Host-nyra_session";
inline constexpr const char* kCsrfCookie = "__Host-nyra_csrf";

}  // namespace nyra::service
