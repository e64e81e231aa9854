#pragma once
// nyra::Http: the backend client. One object per flow; not shared between threads at the same time.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/services.h"
#include "core/http_error.h"
#include "net/transport.h"

namespace nyra {

class Http final : public BackendClient {
public:
    // Response limits chosen by the callers.
    static constexpr std::uint64_t kCallLimit = 2097152;
    static constexpr std::uint64_t kIndexLimit = 41943040;
    static constexpr std::uint64_t kPackageRangeLimit = 4194304;
    static constexpr std::uint64_t kTranslationsLimit = 67108864;

    // `transport` is already open (its construction opened the session and connection).
    Http(std::unique_ptr<BackendTransport> transport, Clock& clock, std::string backendHost);
    ~Http() override;
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;

    void reopen() { transport_->reopen(); }

    // The request primitive: file operations return the body, CBOR operations the answer as
    // compact JSON text. `argsJson` empty means an empty object. `reuse`, when it has storage,
    // lends it to a file answer that holds no secret (pack ranges: one allocation per pack).
    std::vector<std::uint8_t> exchange(std::string_view path, std::string_view argsJson, std::string_view bearer,
                                       std::uint64_t limit, std::string_view extraHeader = {},
                                       std::vector<std::uint8_t> reuse = {});
    nlohmann::json call(const std::string& path, const nlohmann::json& args) override;
    nlohmann::json call(const std::string& path, const nlohmann::json& args, std::string_view bearer);
    nlohmann::json call(const std::string& path) { return call(path, nlohmann::json::object()); }

    nlohmann::json bootstrap();
    void login(const std::string& username, const std::string& password, const std::string& hwid,
               const std::string& hwidInfo, bool remember) override;
    void logout() override;
    void clearDownloadAuthorization() noexcept;
    // Adopts a saved session value and asks the backend whose it is: the bootstrap's `user`.
    nlohmann::json resumeSession(const std::string& value) override;

    // The header lines every game-traffic stream of one game session sends: origin, the session
    // and CSRF cookies, the CSRF token and the game session token as bearer. "Sessao de jogo
    // invalida." unless all three tokens are 43-character opaque tokens. The text holds secrets:
    // the caller wipes it.
    std::string tunnelHeaders(std::string_view gameToken) const;

    // One WebSocket stream of game traffic to the backend (net/win/game_stream.h).
    class GameStream;

    const std::string& sessionCookie() const override { return sessionCookie_; }
    const std::string& csrf() const { return csrf_; }
    const std::string& downloadToken() const { return downloadToken_; }

private:
    // Sends operation `op` with `args` (wiped afterwards) and returns the accepted answer's body as
    // received; the body is wiped when its content type is refused.
    std::vector<std::uint8_t> send(int op, std::string_view path, nlohmann::json args, std::string_view bearer,
                                   std::uint64_t limit, std::string_view extraHeader,
                                   std::vector<std::uint8_t> reuse);
    void absorbCookies(TransportResponse& response);
    void ensureDownloadToken();

    std::unique_ptr<BackendTransport> transport_;
    Clock& clock_;
    std::string backendHost_;
    std::string csrf_;
    std::string sessionCookie_;
    std::string downloadToken_;
    nlohmann::json packageKeyArgs_;
    std::uint64_t downloadTokenExpiry_ = 0;
};

}  // namespace nyra
