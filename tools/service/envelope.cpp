#include "tools/service/envelope.h"

#include <array>
#include <limits>

namespace nyra::service {
namespace {

using nlohmann::json;

constexpr std::size_t kSmall = 8192;

constexpr std::array<Operation, kOperationCount> kOperations{{
    {0, "bootstrap", "/api/bootstrap", false, false, kSmall},
    {1, "login", "/api/login", false, true, kSmall},
    {2, "logout", "/api/logout", false, true, kSmall},
    {3, "package-policy", "/api/launcher/package-policy", false, false, kSmall},
    {4, "package-key", "/api/launcher/package-key", false, true, kSmall},
    {5, "package-index", "/api/launcher/package-index", true, false, kSmall},
    {6, "packages", "/api/launcher/packages/", true, false, kSmall},
    {7, "start", "/api/launcher/start", false, true, kSmall},
    {8, "heartbeat", "/api/launcher/heartbeat", false, true, kSmall},
    {9, "stop", "/api/launcher/stop", false, true, kSmall},
    {10, "event", "/api/launcher/event", false, true, kSmall},
    {11, "notifications", "/api/notifications", false, false, kSmall},
    {12, "news-ticket", "/api/launcher/news-ticket", false, true, kSmall},
    {13, "download-launcher", "/api/download/launcher", true, false, kSmall},
    {14, "vip-visuals", "/api/game/vip-visuals", false, false, kSmall},
    {15, "vip", "/api/me/vip", false, false, kSmall},
    {16, "vip-preferences", "/api/me/vip/preferences", false, true, kSmall},
    {17, "vip-status", "/api/game/vip-status?character_id=", false, false, kSmall},
    {18, "vip-client-token", "/api/me/vip/client-token", false, true, kSmall},
    {19, "voice-client-token", "/api/me/voice/client-token", false, true, kSmall},
    {20, "voice-join", "/api/game/voice/join", false, true, 16384},
    {21, "voice-publish", "/api/game/voice/publish", false, true, 65536},
    {22, "voice-heartbeat", "/api/game/voice/heartbeat", false, true, 16384},
    {23, "voice-subscribe", "/api/game/voice/subscribe", false, true, kSmall},
    {24, "voice-renegotiate", "/api/game/voice/renegotiate", false, true, 65536},
    {25, "voice-close", "/api/game/voice/close", false, true, kSmall},
    {26, "translations", "/api/launcher/translations", true, false, kSmall},
}};

void requireEmpty(const json& args) {
    if (!args.empty()) {
        throw BadRequest("this operation takes no arguments");
    }
}

void requireUnsigned(const json& args, const char* name, std::uint64_t min, std::uint64_t max) {
    auto it = args.find(name);
    if (it == args.end() || !it->is_number_unsigned()) {
        throw BadRequest(std::string("argument ") + name + " must be an unsigned integer");
    }
    const auto value = it->get<std::uint64_t>();
    if (value < min || value > max) {
        throw BadRequest(std::string("argument ") + name + " is out of range");
    }
}

void requireBool(const json& args, const char* name) {
    auto it = args.find(name);
    if (it == args.end() || !it->is_boolean()) {
        throw BadRequest(std::string("argument ") + name + " must be a boolean");
    }
}

}  // namespace

const Operation& operation(unsigned number) { return kOperations.at(number); }

std::optional<unsigned> operationByName(std::string_view name) {
    for (const auto& op : kOperations) {
        if (op.name == name) {
            return op.number;
        }
    }
    return std::nullopt;
}

bool isOpaqueToken(std::string_view text) {
    if (text.size() != 43) {
        return false;
    }
    for (char c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool isLowerHex(std::string_view text, std::size_t length) {
    if (text.size() != length) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

Envelope decodeEnvelope(std::string_view body) {
    if (body.size() > kLargestEnvelope) {
        throw BadRequest("envelope too large");
    }
    // A definite map of exactly two entries; indefinite maps and duplicate keys never get here.
    if (body.empty() || static_cast<unsigned char>(body.front()) != 0xA2) {
        throw BadRequest("envelope must be a map of two entries");
    }
    json document;
    try {
        document = json::from_cbor(body.begin(), body.end(), /*strict=*/true, /*allow_exceptions=*/true,
                                   json::cbor_tag_handler_t::error);
    } catch (const json::exception& error) {
        throw BadRequest(std::string("envelope is not valid CBOR: ") + error.what());
    }
    if (!document.is_object() || document.size() != 2 || !document.contains("args") ||
        !document.contains("op")) {
        throw BadRequest("envelope must hold exactly args and op");
    }
    const json& args = document["args"];
    const json& op = document["op"];
    if (!args.is_object()) {
        throw BadRequest("args must be a map");
    }
    if (!op.is_number_unsigned()) {
        throw BadRequest("op must be an unsigned integer");
    }
    const auto number = op.get<std::uint64_t>();
    if (number >= kOperationCount) {
        throw BadRequest("unknown operation");
    }
    Envelope envelope{static_cast<unsigned>(number), args};
    if (body.size() > operation(envelope.op).envelopeLimit) {
        throw BadRequest("envelope too large for this operation");
    }
    return envelope;
}

const std::string& requireString(const json& args, const char* name, std::size_t minLength,
                                 std::size_t maxLength) {
    auto it = args.find(name);
    if (it == args.end() || !it->is_string()) {
        throw BadRequest(std::string("argument ") + name + " must be a string");
    }
    const auto& text = it->get_ref<const std::string&>();
    if (text.size() < minLength || text.size() > maxLength) {
        throw BadRequest(std::string("argument ") + name + " has a bad length");
    }
    return text;
}

std::optional<std::string> optionalString(const json& args, const char* name, std::size_t maxLength) {
    if (!args.contains(name)) {
        return std::nullopt;
    }
    return requireString(args, name, 0, maxLength);
}

void requireOnly(const json& args, std::initializer_list<std::string_view> allowed) {
    for (const auto& item : args.items()) {
        bool known = false;
        for (auto name : allowed) {
            known = known || item.key() == name;
        }
        if (!known) {
            throw BadRequest("unexpected argument " + item.key());
        }
    }
}

void checkArguments(const Envelope& envelope) {
    const json& a = envelope.args;
    switch (envelope.op) {
    case 0: case 2: case 3: case 5: case 9: case 11: case 13: case 14: case 15: case 18: case 19:
        requireEmpty(a);
        break;
    case 1:
        requireOnly(a, {"username", "password", "remember", "hwid", "hwid_info"});
        requireString(a, "username", 1, 64);
        requireString(a, "password", 1, 256);
        if (a.contains("remember")) {
            requireBool(a, "remember");
        }
        if (a.contains("hwid") && !isLowerHex(requireString(a, "hwid", 64, 64), 64)) {
            throw BadRequest("hwid must be 64 lowercase hex digits");
        }
        optionalString(a, "hwid_info", 64);
        break;
    case 4:
        requireOnly(a, {"package_id", "index_sha256", "launcher_sha256"});
        requireString(a, "package_id", 1, 128);
        requireString(a, "index_sha256", 64, 64);
        requireString(a, "launcher_sha256", 64, 64);
        break;
    case 6:
        requireOnly(a, {"name", "range"});
        requireString(a, "name", 1, 64);
        optionalString(a, "range", 80);
        break;
    case 7: {
        requireOnly(a, {"version", "package_id", "files", "hwid", "hwid_info", "transport"});
        requireString(a, "version", 1, 128);
        requireString(a, "package_id", 1, 128);
        requireString(a, "transport", 1, 64);
        optionalString(a, "hwid", 64);
        optionalString(a, "hwid_info", 64);
        auto files = a.find("files");
        if (files == a.end() || !files->is_object() || files->size() > 256) {
            throw BadRequest("files must be a map");
        }
        for (const auto& item : files->items()) {
            if (!item.value().is_string() || !isLowerHex(item.value().get_ref<const std::string&>(), 64)) {
                throw BadRequest("files values must be SHA-256 digests");
            }
        }
        break;
    }
    case 8:
        requireOnly(a, {"sequence", "version"});
        requireUnsigned(a, "sequence", 0, std::numeric_limits<std::uint64_t>::max());
        requireString(a, "version", 1, 128);
        break;
    case 10:
        requireOnly(a, {"kind", "token", "detail"});
        requireString(a, "kind", 1, 64);
        requireString(a, "token", 0, 64);
        requireString(a, "detail", 0, 4096);
        break;
    case 12:
        requireOnly(a, {"package_id", "token"});
        requireString(a, "package_id", 1, 128);
        requireString(a, "token", 1, 64);
        break;
    case 16:
        requireOnly(a, {"rainbow_name", "rainbow_chat"});
        requireBool(a, "rainbow_name");
        requireBool(a, "rainbow_chat");
        break;
    case 17:
        requireOnly(a, {"character_id"});
        requireUnsigned(a, "character_id", 1, 4294967295u);
        break;
    case 26:
        requireOnly(a, {"language"});
        requireString(a, "language", 1, 16);
        break;
    default:
        break;  // the voice operations: arguments belong to the voice service
    }
}

}  // namespace nyra::service
