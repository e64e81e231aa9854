#pragma once
// Fault injection, off by default: rules that change the next N answers of a target (a backend
// operation, the CDN, the news feed, the in-game news page or the portal pages).
#include <cstdint>
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
    AnswerMember,       // set member `name` of a CBOR map answer to the text `value`
    ShortEntryName,     // rename the first entry of a translation bundle to "data/db/T_.ini" (14 bytes)
};

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
};

// JSON form: {"target": "package-policy" | "op:3" | "3" | "cdn" | ..., "kind": "status",
// "status": 503, "count": 2 | "always": true, "ms": 1500, "at": 10, "bytes": 4096, "value": "..."}.
// Throws std::invalid_argument with a readable text.
FaultRule faultFromJson(const nlohmann::json& description);
nlohmann::json faultToJson(const FaultRule& rule);

class FaultRegistry {
public:
    int add(FaultRule rule);
    void clear();
    nlohmann::json list() const;
    // The rules that apply to one request, consuming one use of each. `targets` are the labels
    // of the request, most specific first (for example {"op:3", "backend", "any"}).
    std::vector<FaultRule> take(const std::vector<std::string>& targets);

private:
    mutable std::mutex mutex_;
    std::vector<FaultRule> rules_;
    int nextId_ = 1;
};

// Applies the answer-shaping rules (everything except Status and Delay) to an answer.
void applyAnswerFaults(HttpResponse& response, const std::vector<FaultRule>& rules);

}  // namespace nyra::service
