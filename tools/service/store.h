#pragma once
// The service's state in SQLite: accounts, sessions, CSRF and download tokens, game sessions with
// their heartbeats and events, news tickets, client tokens, notifications, news and a request log.
// Tokens are stored only as SHA-256 digests (hex). One connection, serialised by a mutex; the
// database runs in WAL mode so that people and tests can read it while the service runs.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;

namespace nyra::service {

using Clock = std::function<std::int64_t()>;  // seconds since the Unix epoch

struct Account {
    std::int64_t id = 0;
    std::string username;
};

struct SessionInfo {
    std::int64_t id = 0;
    Account account;
};

struct DownloadGrant {
    std::int64_t sessionId = 0;
    std::string packageId;
    std::int64_t expiresAt = 0;
    bool sessionActive = false;
};

struct GameSession {
    std::int64_t id = 0;
    std::int64_t sessionId = 0;
    std::int64_t accountId = 0;
    std::string packageId;
    bool stopped = false;
};

struct NewsItem {
    std::string slug, category, title, summary, cover, publishedAt, body;
    bool pinned = false;
};

class Store {
public:
    Store(const std::filesystem::path& path, Clock clock);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    std::int64_t now() const { return clock_(); }

    // Accounts. addAccount replaces the password of an existing account of that name.
    Account addAccount(const std::string& username, const std::string& password, unsigned iterations);
    // The account when the password matches; runs the same key derivation for unknown names.
    std::optional<Account> checkPassword(const std::string& username, const std::string& password);

    // Sign-in throttling: failures of this name or this address inside the window.
    int recentFailures(const std::string& username, const std::string& address, std::int64_t windowSeconds);
    void recordLoginAttempt(const std::string& username, const std::string& address, bool success);

    // Sessions (the token itself is returned once and never stored).
    std::string createSession(const Account& account, bool remember, const std::string& hwid,
                              const std::string& hwidInfo, const std::string& address,
                              std::int64_t lifetimeSeconds);
    std::optional<SessionInfo> findSession(const std::string& token);
    void endSession(std::int64_t sessionId);  // also drops its download tokens

    std::string createCsrfToken(std::int64_t lifetimeSeconds);
    bool csrfTokenValid(const std::string& token);

    std::string createDownloadToken(std::int64_t sessionId, const std::string& packageId,
                                    std::int64_t lifetimeSeconds);
    std::optional<DownloadGrant> findDownloadToken(const std::string& token);

    // Game sessions.
    std::string startGameSession(const SessionInfo& session, const nlohmann::json& args);
    std::optional<GameSession> findGameSession(const std::string& token);
    // Returns how many heartbeats the game session has now had (this one included).
    std::int64_t recordHeartbeat(std::int64_t gameSessionId, std::uint64_t sequence, const std::string& version);
    void stopGameSession(std::int64_t gameSessionId);
    void recordEvent(std::optional<std::int64_t> gameSessionId, std::int64_t accountId, const std::string& kind,
                     const std::string& detail);

    std::string createNewsTicket(std::int64_t gameSessionId, std::int64_t lifetimeSeconds);
    bool newsTicketValid(const std::string& ticket);

    std::string createClientToken(std::int64_t accountId, const std::string& kind, std::int64_t lifetimeSeconds);

    nlohmann::json notifications(std::int64_t accountId);  // array of objects with "read"
    std::vector<NewsItem> news(std::size_t limit);
    std::optional<NewsItem> newsBySlug(const std::string& slug);

    // Every game session, oldest first, with its heartbeats and events (the control endpoint's
    // GET /game-sessions).
    nlohmann::json gameSessions();

    // `bodyBytes`: the answer's body as planned (HEAD and write faults aside), so that tests can sum
    // what the CDN and the packages operation served.
    void logRequest(const std::string& address, const std::string& target, unsigned status,
                    std::uint64_t bodyBytes = 0);

    // Rows of a read-only query as JSON objects (inspection from tests and the control endpoint).
    nlohmann::json query(const std::string& sql);

private:
    void exec(const char* sql);
    void migrate();
    void seedNews();
    void seedNotifications(std::int64_t accountId);

    sqlite3* db_ = nullptr;
    Clock clock_;
    std::recursive_mutex mutex_;
};

std::string tokenDigest(const std::string& token);  // lowercase hex SHA-256

}  // namespace nyra::service
