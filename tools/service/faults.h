#pragma once
// Fault injection, off by default: rules that change the next N answers of a target (a backend
// operation, the CDN, the news feed, the in-game news page or the portal pages), or the next N
// WebSockets of the game-traffic relay.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/service/http_types.h"

namespace nyra::service {

enum class FaultKind {
    Status,             // answer with `status` instead of handling the request
    Delay,              // wait `milliseconds` before handling
    Drop,               // close the connection after `at` body bytes (default: half the body)
    ContentType,        // replace the Content-Type with `value`
    NoContentType,      // send no Content-Type
    ContentTypeParams,  // append `value` (default "; charset=utf-8") to the Content-Type
    Oversize,           // append `bytes` (default 2097153) filler bytes to the body
    Truncate,           // cut the body to its first `bytes` (default: half), Content-Length to match
    Corrupt,            // invert body byte `at` (default: the middle one)
    Full200,            // a 206 answer becomes 200 with the whole object and no Content-Range
    ContentRange,       // replace the Content-Range with `value` (default: total + 1)
    NoCookies,          // send no Set-Cookie headers
    AnswerMember,       // set member `name` of a CBOR map answer to the text `value` (or the JSON `json`)
    WrongSequence,      // a CBOR map answer's unsigned "sequence" comes back one higher (heartbeat)
    ShortEntryName,     // rename the first entry of a translation bundle to "data/db/T_.ini" (14 bytes)
    // The relay's own kinds (target "relay" only; "status", "delay" and "drop" apply there too).
    NoResumeHeaders,     // a new resumable stream is answered without the resume headers (`omit`)
    RefuseResume,        // a resumption is refused with `status` (default 410)
    ChangeResumeId,      // a resumption is answered with another resume id
    ImpossibleReceived,  // a resumption claims an impossible received count (`value`: the header's text)
    BadAck,              // a malformed acknowledgement (`value`) once `at` bytes went to the launcher
    Silent,              // no message at all to the launcher for `ms` (default 15000), TCP kept
    // Once `at` bytes went to the launcher the relay closes the WebSocket with `status` (default
    // 1000) and the reason `value` (up to 123 bytes): 1000 ends the stream, any other status
    // leaves it resumable. Whether the launcher answered is counted in the relay's state.
    Close,
};

// How a relay drop ends the WebSocket.
enum class DropHow { Reset, Stall };

struct FaultRule {
    int id = 0;
    std::string target;  // "op:N", "backend", "cdn", "news", "game-news", "portal", "any"
    FaultKind kind = FaultKind::Status;
    int remaining = 1;   // -1: every request until cleared
    unsigned status = 503;
    std::uint64_t milliseconds = 0;
    std::optional<std::uint64_t> at;
    std::optional<std::uint64_t> bytes;
    std::optional<std::string> value;
    std::optional<std::string> name;
    std::optional<nlohmann::json> json;  // answer-member: any JSON value instead of the text `value`
    // Relay drops: `at` bytes, or a point drawn from `seed` with mean `mean` bytes for each
    // WebSocket; counted to the launcher only or in both directions.
    std::optional<std::uint64_t> seed;
    std::optional<std::uint64_t> mean;
    bool bothDirections = false;
    DropHow how = DropHow::Reset;
    // Relay drops by time instead: each WebSocket is dropped `everyMs` after it came up.
    std::optional<std::uint64_t> everyMs;
    // Relay rules: only the WebSockets of this game channel ("login", "world", "zone").
    std::optional<std::string> channel;
    std::string omit = "both";  // no-resume-headers: "both", "id" or "received"
    bool newStreams = false;    // impossible-received: on new resumable streams ("streams": "new")
    std::uint64_t uses = 0;     // requests the rule applied to before this one
};

// JSON form: {"target": "package-policy" | "op:3" | "3" | "cdn" | "relay" | ..., "kind": "status",
// "status": 503, "count": 2 | "always": true, "ms": 1500, "at": 10, "bytes": 4096, "value": "...",
// answer-member: "name": "...", "value": "text" | "json": <any JSON value>,
// relay drops: "seed": 7, "mean": 65536, "direction": "to-launcher" | "both", "how": "reset" | "stall",
// or "every_ms": 2000 (each WebSocket dropped that long after it came up); relay rules:
// "channel": "login" | "world" | "zone" (only that channel's WebSockets);
// no-resume-headers: "omit": "both" | "id" | "received"}.
// Throws std::invalid_argument with a readable text.
FaultRule faultFromJson(const nlohmann::json& description);
nlohmann::json faultToJson(const FaultRule& rule);

class FaultRegistry {
public:
    int add(FaultRule rule);
    void clear();
    nlohmann::json list() const;
    // The rules that apply to one request, consuming one use of each. `targets` are the labels
    // of the request, most specific first (for example {"op:3", "backend", "any"}). With `applies`,
    // only the rules it accepts are taken (the others keep their counts).
    std::vector<FaultRule> take(const std::vector<std::string>& targets,
                                const std::function<bool(const FaultRule&)>& applies = {});

private:
    mutable std::mutex mutex_;
    std::vector<FaultRule> rules_;
    int nextId_ = 1;
};

// Applies the answer-shaping rules (everything except Status and Delay) to an answer.
void applyAnswerFaults(HttpResponse& response, const std::vector<FaultRule>& rules);

}  // namespace nyra::service
