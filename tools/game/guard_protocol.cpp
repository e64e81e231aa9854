#include "tools/game/guard_protocol.h"

#include <algorithm>
#include <stdexcept>

#include "core/json_limits.h"
#include "core/text.h"

namespace nyra::standin {
namespace {

using nlohmann::json;

constexpr std::string_view kBundleMagic = "NYRATRB1";
constexpr std::string_view kEntryPrefix = "data/db/T_";
constexpr std::string_view kEntrySuffix = ".ini";
constexpr std::uint32_t kMostEntries = 64;
constexpr std::uint32_t kLargestEntry = 16u << 20;
constexpr std::string_view kNewsPath = "/game-news/?ticket=";

// Frames are sized first and filled in place (GCC 12 misreads growing a small vector at -O3).
void putLittleEndian(std::vector<std::uint8_t>& frame, std::size_t at, std::uint64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) frame[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool isOpaqueToken(std::string_view text) {
    return text.size() == 43 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_';
           });
}

// The length of a string member, or null when the member is absent or not a string.
json lengthOf(const json& login, const char* name) {
    const auto found = login.find(name);
    if (found == login.end() || !found->is_string()) return nullptr;
    return found->get_ref<const std::string&>().size();
}

}  // namespace

std::uint32_t readUint32(std::span<const std::uint8_t, 4> bytes) noexcept {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::vector<std::uint8_t> noticeFrame(std::string_view text) {
    if (text.size() > 0xFFFF) throw std::invalid_argument("a notice is at most 65535 bytes");
    std::vector<std::uint8_t> frame(3 + text.size());
    frame[0] = 'M';
    putLittleEndian(frame, 1, text.size(), 2);
    for (std::size_t i = 0; i < text.size(); ++i) frame[3 + i] = static_cast<std::uint8_t>(text[i]);
    return frame;
}

std::vector<std::uint8_t> errorFrame(std::uint32_t code) {
    std::vector<std::uint8_t> frame(5);
    frame[0] = 'E';
    putLittleEndian(frame, 1, code, 4);
    return frame;
}

std::vector<std::uint8_t> keepAliveFrame(std::uint64_t counter, std::uint64_t elapsedMs) {
    std::vector<std::uint8_t> frame(17);
    frame[0] = 'X';
    putLittleEndian(frame, 1, counter, 8);
    putLittleEndian(frame, 9, elapsedMs, 8);
    return frame;
}

std::vector<std::uint8_t> statisticsFrame(std::uint64_t opens, std::uint64_t bytes) {
    std::vector<std::uint8_t> frame(17);
    frame[0] = 'V';
    putLittleEndian(frame, 1, opens, 8);
    putLittleEndian(frame, 9, bytes, 8);
    return frame;
}

namespace {
bool isLowerHex(std::string_view text, std::size_t length) noexcept {
    return text.size() == length &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}
}  // namespace

bool isChannelSecret(std::string_view secret) noexcept { return isLowerHex(secret, kSecretLength); }

bool isChannelPipeName(std::string_view name) noexcept {
    constexpr std::string_view kPrefix = "\\\\.\\pipe\\NyraBrasil-";
    return name.starts_with(kPrefix) && isLowerHex(name.substr(kPrefix.size()), 32);
}

BundleCheck checkBundle(std::span<const std::uint8_t> bundle) {
    BundleCheck check;
    std::size_t at = 0;
    const auto take = [&](std::size_t bytes) -> std::span<const std::uint8_t> {
        if (bundle.size() - at < bytes) return {};
        const auto piece = bundle.subspan(at, bytes);
        at += bytes;
        return piece;
    };
    const auto fail = [&](std::string problem) {
        check.problem = std::move(problem);
        return check;
    };
    const auto magic = take(kBundleMagic.size());
    if (magic.empty() || !std::equal(magic.begin(), magic.end(), kBundleMagic.begin())) {
        return fail("no NYRATRB1 magic");
    }
    const auto count = take(4);
    if (count.empty()) return fail("truncated entry count");
    const std::uint32_t entries = readUint32(count.first<4>());
    if (entries == 0 || entries > kMostEntries) return fail("entry count " + std::to_string(entries));
    for (std::uint32_t entry = 0; entry < entries; ++entry) {
        const std::string where = "entry " + std::to_string(entry) + ": ";
        const auto nameLength = take(2);
        if (nameLength.empty()) return fail(where + "truncated name length");
        const auto name = take(static_cast<std::size_t>(nameLength[0]) | (static_cast<std::size_t>(nameLength[1]) << 8));
        const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
        if (name.size() < kEntryPrefix.size() + kEntrySuffix.size() + 1 || !text.starts_with(kEntryPrefix) ||
            !text.ends_with(kEntrySuffix)) {
            return fail(where + "name not data/db/T_*.ini");
        }
        const auto dataLength = take(4);
        if (dataLength.empty()) return fail(where + "truncated data length");
        const std::uint32_t size = readUint32(dataLength.first<4>());
        if (size == 0 || size > kLargestEntry) return fail(where + "data length " + std::to_string(size));
        if (take(size).size() != size) return fail(where + "truncated data");
    }
    if (at != bundle.size()) return fail("bytes after the last entry");
    check.valid = true;
    check.entries = entries;
    return check;
}

LoginCheck checkLogin(std::span<const std::uint8_t> session) {
    LoginCheck check;
    check.summary = json::object();
    const auto problem = [&](std::string text) { check.problems.push_back(std::move(text)); };
    json login;
    if (jsonNestingExcess(session)) {
        problem("nested too deeply");
    } else {
        login = json::parse(session.begin(), session.end(), nullptr, false);
        if (login.is_discarded()) problem("not JSON");
        else if (!login.is_object()) problem("not a JSON object");
    }
    if (!login.is_object()) {
        check.summary["problems"] = check.problems;
        return check;
    }

    json keys = json::array();
    for (const auto& [name, value] : login.items()) keys.push_back(name);
    check.summary["keys"] = keys;

    const auto username = login.find("username");
    if (username == login.end() || !username->is_string() || username->get_ref<const std::string&>().empty()) {
        problem("no username");
    } else {
        check.summary["username"] = *username;
    }
    for (const char* plain : {"account_id", "world"}) {
        if (login.contains(plain)) check.summary[plain] = login.at(plain);
    }
    check.summary["ticket_length"] = lengthOf(login, "ticket");
    check.summary["vip_token_length"] = lengthOf(login, "vip_token");
    check.summary["voice_token_length"] = lengthOf(login, "voice_token");

    const auto network = login.find("network");
    if (network == login.end() || !network->is_object()) {
        problem("no network map");
    } else {
        check.summary["network"] = *network;
        for (std::size_t channel = 0; channel < kServerPorts.size(); ++channel) {
            const auto port = network->find(std::string(kServerPorts[channel]));
            const auto value = port == network->end() ? std::nullopt : unsignedUpTo(*port, 65535);
            if (!value || *value == 0) {
                problem("network has no usable port for " + std::string(kServerPorts[channel]));
            } else {
                check.ports[channel] = static_cast<std::uint16_t>(*value);
            }
        }
        for (const auto& [name, value] : network->items()) {
            if (std::find(kServerPorts.begin(), kServerPorts.end(), name) == kServerPorts.end()) {
                problem("network has an unknown member " + name);
            }
        }
    }

    const auto news = login.find("news_url");
    if (news == login.end() || !news->is_string()) {
        problem("no news_url");
    } else {
        const std::string& url = news->get_ref<const std::string&>();
        const std::size_t path = url.find(kNewsPath);
        if (!url.starts_with("https://") || path == std::string::npos) {
            problem("news_url is not https://<news host>/game-news/?ticket=<ticket>");
        } else {
            const std::size_t ticket = path + kNewsPath.size();
            check.summary["news_url_prefix"] = url.substr(0, ticket);
            check.summary["news_ticket_length"] = url.size() - ticket;
            if (!isOpaqueToken(std::string_view(url).substr(ticket))) problem("news_url's ticket is not a 43-character token");
        }
    }
    check.valid = check.problems.empty();
    check.summary["problems"] = check.problems;
    wipe(login);
    return check;
}

}  // namespace nyra::standin
