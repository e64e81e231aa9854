#pragma once
// The backend's request envelope: one CBOR map {"args": map, "op": unsigned} per POST /client/v1,
// the operation table and the argument rules that the service enforces before any handler runs.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra::service {

inline constexpr unsigned kOperationCount = 27;
// The largest envelope any operation accepts; bodies above it are refused before decoding.
inline constexpr std::size_t kLargestEnvelope = 65536;

struct Operation {
    unsigned number;
    std::string_view name;   // stable short name, used by fault targets and the request log
    std::string_view path;   // the launcher-side path of the operation (informative)
    bool fileAnswer;         // raw bytes instead of CBOR
    bool needsCsrf;          // state-changing: "X-CSRF-Token" must equal the CSRF cookie
    std::size_t envelopeLimit;
};

const Operation& operation(unsigned number);  // number < kOperationCount
std::optional<unsigned> operationByName(std::string_view name);

// A refusal of the envelope or of an argument: the request is answered with 400.
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Envelope {
    unsigned op = 0;
    nlohmann::json args;  // always an object
};

// Strict decoding: exactly a definite two-entry map with "args" (a map) and "op" (an unsigned
// integer naming a known operation), no tags, nothing after the data item, and at most the
// operation's envelope size. Throws BadRequest.
Envelope decodeEnvelope(std::string_view body);

// The argument rules every operation's arguments must satisfy (member names and types). Throws
// BadRequest. Handlers may apply further rules of their own.
void checkArguments(const Envelope& envelope);

// Helpers for the handlers' own argument checks (all throw BadRequest).
const std::string& requireString(const nlohmann::json& args, const char* name, std::size_t minLength,
                                 std::size_t maxLength);
std::optional<std::string> optionalString(const nlohmann::json& args, const char* name,
                                          std::size_t maxLength);
void requireOnly(const nlohmann::json& args, std::initializer_list<std::string_view> allowed);

bool isOpaqueToken(std::string_view text);  // 43 characters of base64url
bool isLowerHex(std::string_view text, std::size_t length);

}  // namespace nyra::service
