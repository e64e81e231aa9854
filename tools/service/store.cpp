#include "tools/service/store.h"

#include <sqlite3.h>

#include <stdexcept>

#include "tools/common/crypto.h"

namespace nyra::service {
namespace {

using nlohmann::json;
using tools::Bytes;

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& value) {
        check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, const Bytes& value) {
        check(sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bindNull(int index) {
        check(sqlite3_bind_null(stmt_, index));
        return *this;
    }
    // True while a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
    }
    void run() {
        while (step()) {
        }
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) const {
        const auto* data = sqlite3_column_text(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        return data ? std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
    }
    Bytes blob(int column) const {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        const int size = sqlite3_column_bytes(stmt_, column);
        return data ? Bytes(data, data + size) : Bytes();
    }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    sqlite3_stmt* handle() const { return stmt_; }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) {
            throw std::runtime_error(std::string("sqlite bind: ") + sqlite3_errmsg(db_));
        }
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS accounts (
  id INTEGER PRIMARY KEY,
  username TEXT NOT NULL UNIQUE COLLATE NOCASE,
  password_salt BLOB NOT NULL,
  password_iterations INTEGER NOT NULL,
  password_hash BLOB NOT NULL,
  created_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS login_attempts (
  id INTEGER PRIMARY KEY,
  username TEXT NOT NULL COLLATE NOCASE,
  address TEXT NOT NULL,
  success INTEGER NOT NULL,
  at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS login_attempts_at ON login_attempts(at);
CREATE TABLE IF NOT EXISTS sessions (
  id INTEGER PRIMARY KEY,
  token_sha256 TEXT NOT NULL UNIQUE,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  remember INTEGER NOT NULL,
  hwid TEXT NOT NULL,
  hwid_info TEXT NOT NULL,
  address TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL,
  ended_at INTEGER);
CREATE TABLE IF NOT EXISTS csrf_tokens (
  token_sha256 TEXT PRIMARY KEY,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS download_tokens (
  token_sha256 TEXT PRIMARY KEY,
  session_id INTEGER NOT NULL REFERENCES sessions(id),
  package_id TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS game_sessions (
  id INTEGER PRIMARY KEY,
  token_sha256 TEXT NOT NULL UNIQUE,
  session_id INTEGER NOT NULL REFERENCES sessions(id),
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  package_id TEXT NOT NULL,
  version TEXT NOT NULL,
  hwid TEXT NOT NULL,
  hwid_info TEXT NOT NULL,
  files TEXT NOT NULL,
  started_at INTEGER NOT NULL,
  stopped_at INTEGER,
  last_sequence INTEGER);
CREATE TABLE IF NOT EXISTS heartbeats (
  id INTEGER PRIMARY KEY,
  game_session_id INTEGER NOT NULL REFERENCES game_sessions(id),
  sequence INTEGER NOT NULL,
  version TEXT NOT NULL,
  at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY,
  game_session_id INTEGER REFERENCES game_sessions(id),
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  kind TEXT NOT NULL,
  detail TEXT NOT NULL,
  at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS news_tickets (
  ticket_sha256 TEXT PRIMARY KEY,
  game_session_id INTEGER NOT NULL REFERENCES game_sessions(id),
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS client_tokens (
  token_sha256 TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  kind TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS notifications (
  id INTEGER PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  title TEXT NOT NULL,
  body TEXT NOT NULL,
  url TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  read INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS news (
  id INTEGER PRIMARY KEY,
  slug TEXT NOT NULL UNIQUE,
  category TEXT NOT NULL,
  title TEXT NOT NULL,
  summary TEXT NOT NULL,
  cover TEXT NOT NULL,
  published_at TEXT NOT NULL,
  pinned INTEGER NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS request_log (
  id INTEGER PRIMARY KEY,
  at INTEGER NOT NULL,
  address TEXT NOT NULL,
  target TEXT NOT NULL,
  status INTEGER NOT NULL,
  bytes INTEGER NOT NULL DEFAULT 0);
)SQL";

struct SeedNews {
    const char* slug;
    const char* category;
    const char* title;
    const char* summary;
    const char* cover;
    const char* publishedAt;
    bool pinned;
};

constexpr SeedNews kSeedNews[] = {
    {"temporada-dos-cristais", "atualizacao", "Temporada dos Cristais chegou a Nyra",
     "Nova região nas Minas de Cristal, dez missões inéditas e equipamentos de nível 85 para toda a guilda.",
     "cristais", "2026-11-28T18:00:00Z", true},
    {"festival-das-lanternas", "evento", "Festival das Lanternas no Farol",
     "De 5 a 19 de dezembro, acenda lanternas no Farol de Nyra e troque-as por montarias exclusivas.",
     "farol", "2026-12-04T15:30:00Z", false},
    {"manutencao-programada-dezembro", "manutencao", "Manutenção programada na quarta-feira",
     "Os servidores ficam fora do ar das 6h às 10h (horário de Brasília) para a atualização 5.5.27.",
     "vila", "2026-12-08T21:00:00Z", false},
    {"torneio-arena-do-deserto", "comunidade", "Torneio da Arena do Deserto",
     "Inscrições abertas para o torneio 3x3 da comunidade. Premiação em cristais e título especial.",
     "deserto", "2026-11-20T12:00:00Z", false},
    {"ruinas-esquecidas", "atualizacao", "Masmorra nova: Ruínas Esquecidas",
     "Enfrente o Guardião das Ruínas em grupos de cinco jogadores. Recompensas semanais renovadas.",
     "ruinas", "2026-11-12T17:00:00Z", false},
    {"jardins-suspensos", "evento", "Colheita nos Jardins Suspensos",
     "Durante o fim de semana, cada colheita nos Jardins rende o dobro de experiência.",
     "jardins", "2026-11-06T14:00:00Z", false},
    {"vulcao-desperta", "atualizacao", "O Vulcão de Karuma desperta",
     "Chefe mundial a cada duas horas no Vulcão de Karuma, com espólio lendário para os dez melhores.",
     "vulcao", "2026-10-30T19:00:00Z", false},
};

std::string newToken() { return tools::opaqueToken(); }

}  // namespace

std::string tokenDigest(const std::string& token) { return tools::sha256Hex(tools::asBytes(token)); }

Store::Store(const std::filesystem::path& path, Clock clock) : clock_(std::move(clock)) {
    if (!path.parent_path().empty()) {
        std::filesystem::create_directories(path.parent_path());
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open database " + path.string() + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA foreign_keys=ON");
    migrate();
}

Store::~Store() { sqlite3_close(db_); }

void Store::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("sqlite: " + message);
    }
}

void Store::migrate() {
    std::lock_guard lock(mutex_);
    exec("BEGIN");
    exec(kSchema);
    exec("PRAGMA user_version=1");
    seedNews();
    exec("COMMIT");
}

void Store::seedNews() {
    Statement count(db_, "SELECT COUNT(*) FROM news");
    count.step();
    if (count.integer(0) > 0) {
        return;
    }
    for (const auto& item : kSeedNews) {
        Statement insert(db_,
                         "INSERT INTO news(slug, category, title, summary, cover, published_at, pinned, body) "
                         "VALUES(?,?,?,?,?,?,?,?)");
        insert.bind(1, std::string(item.slug)).bind(2, std::string(item.category)).bind(3, std::string(item.title));
        insert.bind(4, std::string(item.summary)).bind(5, std::string(item.cover));
        insert.bind(6, std::string(item.publishedAt)).bind(7, std::int64_t{item.pinned ? 1 : 0});
        insert.bind(8, std::string(item.summary));
        insert.run();
    }
}

void Store::seedNotifications(std::int64_t accountId) {
    struct Seed {
        const char* title;
        const char* body;
        const char* url;
        bool read;
    };
    const Seed seeds[] = {
        {"Bem-vindo ao Nyra Saga Brasil", "Sua conta foi criada. Boa aventura!", "/noticias", true},
        {"Festival das Lanternas", "Participe do evento e ganhe uma montaria exclusiva.",
         "/noticias/festival-das-lanternas", false},
    };
    for (const auto& seed : seeds) {
        Statement insert(db_, "INSERT INTO notifications(account_id, title, body, url, created_at, read) "
                              "VALUES(?,?,?,?,?,?)");
        insert.bind(1, accountId).bind(2, std::string(seed.title)).bind(3, std::string(seed.body));
        insert.bind(4, std::string(seed.url)).bind(5, now()).bind(6, std::int64_t{seed.read ? 1 : 0});
        insert.run();
    }
}

Account Store::addAccount(const std::string& username, const std::string& password, unsigned iterations) {
    if (username.empty() || username.size() > 64 || password.empty()) {
        throw std::runtime_error("account names are 1 to 64 characters and passwords are not empty");
    }
    const Bytes salt = tools::randomBytes(16);
    const Bytes hash = tools::pbkdf2Sha256(password, salt, iterations, 32);
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT id, username FROM accounts WHERE username = ?");
    find.bind(1, username);
    if (find.step()) {
        Account account{find.integer(0), find.text(1)};
        Statement update(db_, "UPDATE accounts SET password_salt=?, password_iterations=?, password_hash=? WHERE id=?");
        update.bind(1, salt).bind(2, std::int64_t{iterations}).bind(3, hash).bind(4, account.id).run();
        return account;
    }
    exec("BEGIN");
    Statement insert(db_, "INSERT INTO accounts(username, password_salt, password_iterations, password_hash, "
                          "created_at) VALUES(?,?,?,?,?)");
    insert.bind(1, username).bind(2, salt).bind(3, std::int64_t{iterations}).bind(4, hash).bind(5, now()).run();
    Account account{sqlite3_last_insert_rowid(db_), username};
    seedNotifications(account.id);
    exec("COMMIT");
    return account;
}

std::optional<Account> Store::checkPassword(const std::string& username, const std::string& password) {
    Bytes salt;
    Bytes expected;
    unsigned iterations = 210000;
    std::optional<Account> account;
    {
        std::lock_guard lock(mutex_);
        Statement find(db_, "SELECT id, username, password_salt, password_iterations, password_hash "
                            "FROM accounts WHERE username = ?");
        find.bind(1, username);
        if (find.step()) {
            account = Account{find.integer(0), find.text(1)};
            salt = find.blob(2);
            iterations = static_cast<unsigned>(find.integer(3));
            expected = find.blob(4);
        }
    }
    if (!account) {
        // Same work for an unknown name, so timing does not reveal which names exist.
        salt = Bytes(16, 0);
        expected = Bytes(32, 0);
    }
    const Bytes actual = tools::pbkdf2Sha256(password, salt, iterations, 32);
    unsigned char difference = 0;
    for (std::size_t i = 0; i < actual.size() && i < expected.size(); ++i) {
        difference = static_cast<unsigned char>(difference | (actual[i] ^ expected[i]));
    }
    if (!account || actual.size() != expected.size() || difference != 0) {
        return std::nullopt;
    }
    return account;
}

int Store::recentFailures(const std::string& username, const std::string& address, std::int64_t windowSeconds) {
    std::lock_guard lock(mutex_);
    Statement count(db_, "SELECT COUNT(*) FROM login_attempts WHERE success = 0 AND at > ? AND "
                         "(username = ? OR address = ?)");
    count.bind(1, now() - windowSeconds).bind(2, username).bind(3, address);
    count.step();
    return static_cast<int>(count.integer(0));
}

void Store::recordLoginAttempt(const std::string& username, const std::string& address, bool success) {
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO login_attempts(username, address, success, at) VALUES(?,?,?,?)");
    insert.bind(1, username).bind(2, address).bind(3, std::int64_t{success ? 1 : 0}).bind(4, now()).run();
}

std::string Store::createSession(const Account& account, bool remember, const std::string& hwid,
                                 const std::string& hwidInfo, const std::string& address,
                                 std::int64_t lifetimeSeconds) {
    std::string token = newToken();
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO sessions(token_sha256, account_id, remember, hwid, hwid_info, address, "
                          "created_at, expires_at) VALUES(?,?,?,?,?,?,?,?)");
    insert.bind(1, tokenDigest(token)).bind(2, account.id).bind(3, std::int64_t{remember ? 1 : 0});
    insert.bind(4, hwid).bind(5, hwidInfo).bind(6, address).bind(7, now()).bind(8, now() + lifetimeSeconds).run();
    return token;
}

std::optional<SessionInfo> Store::findSession(const std::string& token) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT s.id, a.id, a.username FROM sessions s JOIN accounts a ON a.id = s.account_id "
                        "WHERE s.token_sha256 = ? AND s.ended_at IS NULL AND s.expires_at > ?");
    find.bind(1, tokenDigest(token)).bind(2, now());
    if (!find.step()) {
        return std::nullopt;
    }
    return SessionInfo{find.integer(0), Account{find.integer(1), find.text(2)}};
}

void Store::endSession(std::int64_t sessionId) {
    std::lock_guard lock(mutex_);
    Statement end(db_, "UPDATE sessions SET ended_at = ? WHERE id = ? AND ended_at IS NULL");
    end.bind(1, now()).bind(2, sessionId).run();
    Statement drop(db_, "DELETE FROM download_tokens WHERE session_id = ?");
    drop.bind(1, sessionId).run();
}

std::string Store::createCsrfToken(std::int64_t lifetimeSeconds) {
    std::string token = newToken();
    std::lock_guard lock(mutex_);
    Statement purge(db_, "DELETE FROM csrf_tokens WHERE expires_at <= ?");
    purge.bind(1, now()).run();
    Statement insert(db_, "INSERT INTO csrf_tokens(token_sha256, created_at, expires_at) VALUES(?,?,?)");
    insert.bind(1, tokenDigest(token)).bind(2, now()).bind(3, now() + lifetimeSeconds).run();
    return token;
}

bool Store::csrfTokenValid(const std::string& token) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT 1 FROM csrf_tokens WHERE token_sha256 = ? AND expires_at > ?");
    find.bind(1, tokenDigest(token)).bind(2, now());
    return find.step();
}

std::string Store::createDownloadToken(std::int64_t sessionId, const std::string& packageId,
                                       std::int64_t lifetimeSeconds) {
    std::string token = newToken();
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO download_tokens(token_sha256, session_id, package_id, created_at, "
                          "expires_at) VALUES(?,?,?,?,?)");
    insert.bind(1, tokenDigest(token)).bind(2, sessionId).bind(3, packageId).bind(4, now());
    insert.bind(5, now() + lifetimeSeconds).run();
    return token;
}

std::optional<DownloadGrant> Store::findDownloadToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT d.session_id, d.package_id, d.expires_at, "
                        "(s.ended_at IS NULL AND s.expires_at > ?) FROM download_tokens d "
                        "JOIN sessions s ON s.id = d.session_id WHERE d.token_sha256 = ?");
    find.bind(1, now()).bind(2, tokenDigest(token));
    if (!find.step()) {
        return std::nullopt;
    }
    return DownloadGrant{find.integer(0), find.text(1), find.integer(2), find.integer(3) != 0};
}

std::string Store::startGameSession(const SessionInfo& session, const nlohmann::json& args) {
    std::string token = newToken();
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO game_sessions(token_sha256, session_id, account_id, package_id, version, "
                          "hwid, hwid_info, files, started_at) VALUES(?,?,?,?,?,?,?,?,?)");
    insert.bind(1, tokenDigest(token)).bind(2, session.id).bind(3, session.account.id);
    insert.bind(4, args.at("package_id").get<std::string>()).bind(5, args.at("version").get<std::string>());
    insert.bind(6, args.value("hwid", std::string())).bind(7, args.value("hwid_info", std::string()));
    insert.bind(8, args.at("files").dump()).bind(9, now()).run();
    return token;
}

std::optional<GameSession> Store::findGameSession(const std::string& token) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT id, session_id, account_id, package_id, stopped_at FROM game_sessions "
                        "WHERE token_sha256 = ?");
    find.bind(1, tokenDigest(token));
    if (!find.step()) {
        return std::nullopt;
    }
    return GameSession{find.integer(0), find.integer(1), find.integer(2), find.text(3), !find.isNull(4)};
}

std::int64_t Store::recordHeartbeat(std::int64_t gameSessionId, std::uint64_t sequence, const std::string& version) {
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO heartbeats(game_session_id, sequence, version, at) VALUES(?,?,?,?)");
    insert.bind(1, gameSessionId).bind(2, static_cast<std::int64_t>(sequence)).bind(3, version).bind(4, now()).run();
    Statement update(db_, "UPDATE game_sessions SET last_sequence = ? WHERE id = ?");
    update.bind(1, static_cast<std::int64_t>(sequence)).bind(2, gameSessionId).run();
    Statement count(db_, "SELECT COUNT(*) FROM heartbeats WHERE game_session_id = ?");
    count.bind(1, gameSessionId);
    return count.step() ? count.integer(0) : 0;
}

void Store::stopGameSession(std::int64_t gameSessionId) {
    std::lock_guard lock(mutex_);
    Statement update(db_, "UPDATE game_sessions SET stopped_at = ? WHERE id = ? AND stopped_at IS NULL");
    update.bind(1, now()).bind(2, gameSessionId).run();
}

void Store::recordEvent(std::optional<std::int64_t> gameSessionId, std::int64_t accountId, const std::string& kind,
                        const std::string& detail) {
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO events(game_session_id, account_id, kind, detail, at) VALUES(?,?,?,?,?)");
    if (gameSessionId) {
        insert.bind(1, *gameSessionId);
    } else {
        insert.bindNull(1);
    }
    insert.bind(2, accountId).bind(3, kind).bind(4, detail).bind(5, now()).run();
}

std::string Store::createNewsTicket(std::int64_t gameSessionId, std::int64_t lifetimeSeconds) {
    std::string ticket = newToken();
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO news_tickets(ticket_sha256, game_session_id, created_at, expires_at) "
                          "VALUES(?,?,?,?)");
    insert.bind(1, tokenDigest(ticket)).bind(2, gameSessionId).bind(3, now()).bind(4, now() + lifetimeSeconds).run();
    return ticket;
}

bool Store::newsTicketValid(const std::string& ticket) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT 1 FROM news_tickets WHERE ticket_sha256 = ? AND expires_at > ?");
    find.bind(1, tokenDigest(ticket)).bind(2, now());
    return find.step();
}

std::string Store::createClientToken(std::int64_t accountId, const std::string& kind, std::int64_t lifetimeSeconds) {
    std::string token = newToken();
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO client_tokens(token_sha256, account_id, kind, created_at, expires_at) "
                          "VALUES(?,?,?,?,?)");
    insert.bind(1, tokenDigest(token)).bind(2, accountId).bind(3, kind).bind(4, now());
    insert.bind(5, now() + lifetimeSeconds).run();
    return token;
}

json Store::notifications(std::int64_t accountId) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT id, title, body, url, created_at, read FROM notifications WHERE account_id = ? "
                        "ORDER BY created_at DESC, id DESC LIMIT 50");
    find.bind(1, accountId);
    json list = json::array();
    while (find.step()) {
        list.push_back({{"id", find.integer(0)},
                        {"title", find.text(1)},
                        {"body", find.text(2)},
                        {"url", find.text(3)},
                        {"created_at", find.integer(4)},
                        {"read", find.integer(5) != 0}});
    }
    return list;
}

std::vector<NewsItem> Store::news(std::size_t limit) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT slug, category, title, summary, cover, published_at, pinned, body FROM news "
                        "ORDER BY pinned DESC, published_at DESC LIMIT ?");
    find.bind(1, static_cast<std::int64_t>(limit));
    std::vector<NewsItem> items;
    while (find.step()) {
        items.push_back(NewsItem{find.text(0), find.text(1), find.text(2), find.text(3), find.text(4), find.text(5),
                                 find.text(7), find.integer(6) != 0});
    }
    return items;
}

std::optional<NewsItem> Store::newsBySlug(const std::string& slug) {
    std::lock_guard lock(mutex_);
    Statement find(db_, "SELECT slug, category, title, summary, cover, published_at, pinned, body FROM news "
                        "WHERE slug = ?");
    find.bind(1, slug);
    if (!find.step()) {
        return std::nullopt;
    }
    return NewsItem{find.text(0), find.text(1), find.text(2), find.text(3), find.text(4), find.text(5),
                    find.text(7), find.integer(6) != 0};
}

json Store::gameSessions() {
    std::lock_guard lock(mutex_);
    json sessions = json::array();
    Statement games(db_, "SELECT g.id, a.username, g.package_id, g.version, g.hwid, g.hwid_info, g.started_at, "
                         "g.stopped_at, g.last_sequence FROM game_sessions g JOIN accounts a ON a.id = g.account_id "
                         "ORDER BY g.id");
    while (games.step()) {
        const std::int64_t id = games.integer(0);
        json game{{"id", id},
                  {"username", games.text(1)},
                  {"package_id", games.text(2)},
                  {"version", games.text(3)},
                  {"hwid", games.text(4)},
                  {"hwid_info", games.text(5)},
                  {"started_at", games.integer(6)},
                  {"stopped", !games.isNull(7)},
                  {"stopped_at", games.isNull(7) ? json(nullptr) : json(games.integer(7))},
                  {"last_sequence", games.isNull(8) ? json(nullptr) : json(games.integer(8))},
                  {"heartbeats", json::array()},
                  {"events", json::array()}};
        Statement beats(db_, "SELECT sequence, version, at FROM heartbeats WHERE game_session_id = ? ORDER BY id");
        beats.bind(1, id);
        while (beats.step()) {
            game["heartbeats"].push_back({{"sequence", beats.integer(0)}, {"version", beats.text(1)}, {"at", beats.integer(2)}});
        }
        Statement events(db_, "SELECT kind, detail, at FROM events WHERE game_session_id = ? ORDER BY id");
        events.bind(1, id);
        while (events.step()) {
            game["events"].push_back({{"kind", events.text(0)}, {"detail", events.text(1)}, {"at", events.integer(2)}});
        }
        sessions.push_back(std::move(game));
    }
    return sessions;
}

void Store::logRequest(const std::string& address, const std::string& target, unsigned status,
                       std::uint64_t bodyBytes) {
    std::lock_guard lock(mutex_);
    Statement insert(db_, "INSERT INTO request_log(at, address, target, status, bytes) VALUES(?,?,?,?,?)");
    insert.bind(1, now()).bind(2, address).bind(3, target).bind(4, std::int64_t{status})
        .bind(5, static_cast<std::int64_t>(bodyBytes)).run();
}

json Store::query(const std::string& sql) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, sql.c_str());
    if (!sqlite3_stmt_readonly(statement.handle())) {
        throw std::runtime_error("only read-only queries are allowed");
    }
    json rows = json::array();
    while (statement.step()) {
        json row = json::object();
        const int columns = sqlite3_column_count(statement.handle());
        for (int i = 0; i < columns; ++i) {
            const char* name = sqlite3_column_name(statement.handle(), i);
            switch (sqlite3_column_type(statement.handle(), i)) {
            case SQLITE_INTEGER: row[name] = statement.integer(i); break;
            case SQLITE_FLOAT: row[name] = sqlite3_column_double(statement.handle(), i); break;
            case SQLITE_NULL: row[name] = nullptr; break;
            case SQLITE_BLOB: row[name] = tools::hexEncode(statement.blob(i)); break;
            default: row[name] = statement.text(i); break;
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace nyra::service
