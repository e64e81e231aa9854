#pragma once
// The backend protocol as data and pure rules: the operation table, argument rules, the CBOR
// envelope, request headers, cookies, status and content-type rules, download-token bounds and
// the player's texts for transport failures. No I/O here; nyra::Http drives it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/text.h"

namespace nyra::api {

enum class Match { Exact, Prefix };

struct Operation {
    std::string_view path;
    Match match;
    bool fileAnswer;  // raw bytes instead of CBOR
    bool retrySafe;   // may be sent a second time after a connection-level failure
};

inline constexpr int kOpBootstrap = 0;
inline constexpr int kOpLogin = 1;
inline constexpr int kOpLogout = 2;
inline constexpr int kOpPackagePolicy = 3;
inline constexpr int kOpPackageKey = 4;
inline constexpr int kOpPackageIndex = 5;
inline constexpr int kOpPackages = 6;
inline constexpr int kOpDownloadLauncher = 13;
inline constexpr int kOpVipStatus = 17;
inline constexpr int kOpTranslations = 26;

// The number of an operation is its index; lookup runs from the top and the first match wins.
inline constexpr Operation kOperations[] = {
    {"/api/bootstrap", Match::Exact, false, true},
    {"/api/login", Match::Exact, false, false},
    {"/api/logout", Match::Exact, false, false},
    {"/api/launcher/package-policy", Match::Exact, false, true},
    {"/api/launcher/package-key", Match::Exact, false, false},
    {"/api/launcher/package-index", Match::Exact, true, true},
    {"/api/launcher/packages/", Match::Prefix, true, true},
    {"/api/launcher/start", Match::Exact, false, false},
    {"/api/launcher/heartbeat", Match::Exact, false, true},
    {"/api/launcher/stop", Match::Exact, false, false},
    {"/api/launcher/event", Match::Exact, false, false},
    {"/api/notifications", Match::Exact, false, true},
    {"/api/launcher/news-ticket", Match::Exact, false, false},
    {"/api/download/launcher", Match::Exact, true, true},
    {"/api/game/vip-visuals", Match::Exact, false, false},
    {"/api/me/vip", Match::Exact, false, false},
    {"/api/me/vip/preferences", Match::Exact, false, false},
    {"/api/game/vip-status?character_id=", Match::Prefix, false, false},
    {"/api/me/vip/client-token", Match::Exact, false, false},
    {"/api/me/voice/client-token", Match::Exact, false, false},
    {"/api/game/voice/join", Match::Exact, false, false},
    {"/api/game/voice/publish", Match::Exact, false, false},
    {"/api/game/voice/heartbeat", Match::Exact, false, false},
    {"/api/game/voice/subscribe", Match::Exact, false, false},
    {"/api/game/voice/renegotiate", Match::Exact, false, false},
    {"/api/game/voice/close", Match::Exact, false, false},
    {"/api/launcher/translations", Match::Exact, true, false},
};
inline constexpr int kOperationCount = static_cast<int>(std::size(kOperations));

// The operation number for a path; throws "Operacao do cliente nao autorizada.".
int lookupOperation(std::string_view path);
bool needsDownloadToken(int op);  // 5, 6 and 26

// Applies the argument rules of `op` to `args` (which may gain `name`, `range` or `character_id`).
// `extraHeader` is only allowed for op 6 (a "Range: bytes=a-b\r\n" line).
void applyArgumentRules(int op, std::string_view path, nlohmann::json& args, std::string_view extraHeader);

// The request body: CBOR of {"args": args, "op": op}; throws "Requisicao do cliente muito grande."
// above the operation's limit.
std::vector<std::uint8_t> encodeEnvelope(int op, const nlohmann::json& args);
std::size_t envelopeLimit(int op);

// Request header lines, in their fixed order, each ending in "\r\n".
struct HeaderInputs {
    std::string_view backendHost;
    std::string_view csrf;
    std::string_view sessionCookie;
    std::string_view downloadToken;  // sent for 5, 6 and 26
    std::string_view bearer;         // empty for none
};
std::string buildRequestHeaders(int op, const HeaderInputs& inputs);

// 43 characters of A-Z, a-z, 0-9, "-" and "_".
bool isOpaqueToken(std::string_view text);

// One Set-Cookie header (UTF-8): the cookie this launcher keeps, if it is one of ours with a usable
// value. An empty value is returned as such (it signs out / clears).
struct CookieUpdate {
    enum class Name { Session, Csrf } name;
    std::string value;
};
std::optional<CookieUpdate> parseSetCookie(std::string_view header);

// The player's message for a refused status of an operation (op 6 has its own texts).
std::string statusMessage(int op, std::string_view path, int status);
// Accepted statuses: 200, and 206 when the caller asked for a range.
bool statusAccepted(int status, bool rangeRequested);

// Content-type rules; throw the player's message when the type does not fit the operation.
void checkContentType(int op, const std::optional<std::string>& contentType);

// Strict CBOR decoding (nothing may follow the first item; tags refused) and the compact JSON text
// the exchange returns. Every string of the decoded document (the package key, the download
// token) is zeroed before the document is dropped, also when decoding fails half-way.
SecretString decodeCborAnswer(const std::vector<std::uint8_t>& body);
// The same decoding, handing the document itself over (strict UTF-8 checked as for the text).
// What the reader held is wiped, also when decoding fails half-way; the caller wipes the document.
nlohmann::json decodeCborDocument(const std::vector<std::uint8_t>& body);

// Compact JSON text (strict UTF-8, as json::dump(-1) writes it) in a buffer that zeroes every
// block it releases, for documents that hold secrets.
SecretString compactText(const nlohmann::json& document);

// Download-token bounds: token 1..1024 characters, lifetime 60..900 s, characters 33..126.
void validateDownloadToken(const std::string& token, std::int64_t lifetimeSeconds);

// Overwrites the `key` string member of an object, if any, with zeros.
void wipeKeyMember(nlohmann::json& document) noexcept;

// The text the player reads for a WinHTTP failure `code` at `stage` ("envio", "resposta",
// "certificado").
std::string describeTransportFailure(std::string_view stage, unsigned long code);

// What to do after WinHttpSendRequest failed with `error`.
enum class Recovery { SwitchToFallbackRoute, RetryAfterPause, Fail };
struct SendFailure {
    unsigned long error;
    bool inspected;
    bool closed;
    bool secondAttempt;
    bool retrySafe;
    bool fallbackRouteOn;
    bool fallbackRefused;  // the fallback route was asked for and could not start
};
Recovery decideRecovery(const SendFailure& failure);

}  // namespace nyra::api
