#include "session/launch_rules.h"

#include <algorithm>
#include <bit>

#include "content/components.h"
#include "content/package.h"
#include "core/json_limits.h"
#include "net/operations.h"
#include "session/session_texts.h"

namespace nyra {
namespace {

char16_t upperAscii(char16_t c) noexcept { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return upperAscii(x) == upperAscii(y); });
}

bool lessIgnoringCase(std::u16string_view a, std::u16string_view b) noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return upperAscii(x) < upperAscii(y); });
}

// The name of a "NAME=value" entry. A name may begin with '=' (the per-drive folders "=C:").
std::u16string_view entryName(std::u16string_view entry) noexcept {
    const auto equals = entry.find(u'=', 1);
    return equals == std::u16string_view::npos ? entry : entry.substr(0, equals);
}

// Windows orders an environment block by name alone: "ProgramFiles" comes before
// "ProgramFiles(x86)", although '(' sorts before '=' when whole entries are compared.
bool nameLessIgnoringCase(std::u16string_view a, std::u16string_view b) noexcept {
    return lessIgnoringCase(entryName(a), entryName(b));
}

}  // namespace

bool isGameExecutableName(std::u16string_view name) noexcept {
    return equalsIgnoringCase(name, u"game.bin") || equalsIgnoringCase(name, u"game_.exe");
}

nlohmann::json startRequest(const std::string& packageId, const nlohmann::json& files, const std::string& hwid,
                            const std::string& hwidInfo) {
    return nlohmann::json{{"version", packageId}, {"package_id", packageId}, {"files", files},
                          {"hwid", hwid},         {"hwid_info", hwidInfo},   {"transport", kGameTransport}};
}

std::vector<std::u16string> multiClientSlotNames(std::string_view hwid, std::int64_t limit) {
    std::vector<std::u16string> names;
    if (hwid.size() != 64 || limit < 1 || limit > 10) return names;
    const std::u16string prefix = u"Global\\NyraBrasil_MC_" + utf8ToUtf16(hwid.substr(0, 16)) + u"_";
    for (std::int64_t i = 0; i < limit; ++i) {
        names.push_back(prefix + utf8ToUtf16(std::to_string(i)));
    }
    return names;
}

std::int64_t multiClientLimit(const nlohmann::json& startAnswer) {
    const auto found = startAnswer.find("multi_client_limit");
    if (found == startAnswer.end()) return 1;
    if (!found->is_number_integer()) return 0;  // never a usable limit
    return found->is_number_unsigned() && found->get<std::uint64_t>() > 1000 ? 0 : found->get<std::int64_t>();
}

std::string textMember(const nlohmann::json& answer, std::string_view name) {
    if (!answer.is_object()) return {};
    const auto found = answer.find(std::string(name));
    return found != answer.end() && found->is_string() ? found->get<std::string>() : std::string();
}

SecretString takeSessionToken(nlohmann::json& startAnswer) {
    const auto found = startAnswer.is_object() ? startAnswer.find("token") : startAnswer.end();
    if (found == startAnswer.end() || !found->is_string()) throw std::runtime_error(texts::kBadGameSession);
    auto& text = found->get_ref<std::string&>();
    SecretString token(text.begin(), text.end());
    wipe(text);
    return token;
}

bool confirmsGameTransport(const nlohmann::json& startAnswer) {
    if (!startAnswer.is_object()) return false;
    const auto found = startAnswer.find("transport");
    return found != startAnswer.end() && found->is_string() && found->get_ref<const std::string&>() == kGameTransport;
}

nlohmann::json takeGameLogin(nlohmann::json& startAnswer) {
    const auto found = startAnswer.is_object() ? startAnswer.find("game_login") : startAnswer.end();
    if (found == startAnswer.end() || !found->is_object()) return nlohmann::json::object();
    return std::move(*found);  // the answer keeps no copy
}

std::string itemMallText(const nlohmann::json& answer) {
    const auto found = answer.is_object() ? answer.find("itemmall") : answer.end();
    if (found == answer.end() || !found->is_object()) return "{}";
    return found->dump();
}

const std::string& newsTicket(const nlohmann::json& answer) {
    const auto found = answer.is_object() ? answer.find("ticket") : answer.end();
    if (found == answer.end() || !found->is_string()) throw std::runtime_error(texts::kBadServerAnswer);
    return found->get_ref<const std::string&>();
}

std::string newsPageAddress(std::string_view newsOrigin, std::string_view ticket) {
    constexpr std::string_view kNewsPath = "/game-news/?ticket=";
    std::string address;
    address.reserve(newsOrigin.size() + kNewsPath.size() + ticket.size());
    address.append(newsOrigin).append(kNewsPath).append(ticket);
    return address;
}

std::string vipTokenForGame(const nlohmann::json& answer) {
    const auto found = answer.find("token");
    if (found == answer.end() || !found->is_string()) return {};
    const auto& token = found->get_ref<const std::string&>();
    return token.size() < 257 ? token : std::string();
}

std::optional<std::string> voiceTokenForGame(const nlohmann::json& answer) {
    const auto found = answer.find("token");
    if (found == answer.end() || !found->is_string() || found->get_ref<const std::string&>().size() != 43) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

SecretBytes packageKeyMaterial(std::span<const std::uint8_t, 32> key, std::string_view indexSha256Hex) {
    std::vector<std::uint8_t> index;
    try {
        index = decodeHex(indexSha256Hex);
    } catch (const std::exception&) {
        throw std::runtime_error(texts::kBadPackIndex);
    }
    if (index.size() != 32) throw std::runtime_error(texts::kBadPackIndex);
    SecretBytes material;
    material.reserve(64);
    material.insert(material.end(), key.begin(), key.end());
    material.insert(material.end(), index.begin(), index.end());
    return material;
}

EnvironmentBlock gameEnvironmentBlock(const std::vector<std::u16string>& ownEntries, std::u16string_view pipeName,
                                      const SecretString& secret) {
    constexpr std::u16string_view kGuardPrefix = u"NYRA_GUARD_";
    const std::u16string pipeEntry = u"NYRA_GUARD_PIPE=" + std::u16string(pipeName);
    // Built in wiping storage, character by character: the secret is ASCII hex.
    std::basic_string<char16_t, std::char_traits<char16_t>, WipingAllocator<char16_t>> secretEntry(u"NYRA_GUARD_SECRET=");
    secretEntry.reserve(secretEntry.size() + secret.size());
    for (const char c : secret) secretEntry.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));

    std::vector<std::u16string_view> entries;
    entries.reserve(ownEntries.size() + 2);
    for (const auto& entry : ownEntries) {
        if (entry.empty() || std::u16string_view(entry).starts_with(kGuardPrefix)) continue;
        entries.emplace_back(entry);
    }
    entries.emplace_back(pipeEntry);
    entries.emplace_back(secretEntry);
    std::stable_sort(entries.begin(), entries.end(), nameLessIgnoringCase);

    std::size_t length = 1;
    for (const auto entry : entries) length += entry.size() + 1;
    EnvironmentBlock block;
    block.reserve(length);
    for (const auto entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(u'\0');
    }
    block.push_back(u'\0');
    return block;
}

SecretBytes sessionBytesOf(nlohmann::json& login) {
    SecretString text = api::compactText(login);
    SecretBytes bytes(text.begin(), text.end());
    wipe(text);
    if (login.is_object()) {
        if (const auto ticket = login.find("ticket"); ticket != login.end()) wipe(*ticket);
    }
    return bytes;
}

std::u16string gameCommandLine(std::u16string_view engineFolder) {
    std::u16string folder(engineFolder);
    while (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) folder.pop_back();
    return u"\"" + folder + u"\\" + utf8ToUtf16(kGameExecutable) + u"\" " + utf8ToUtf16(kGameArgument);
}

std::uint64_t gameAffinity(std::uint64_t processMask) noexcept {
    const int processors = std::popcount(processMask);
    if (processors > 3 && (processMask & 1u) != 0) return processMask & ~std::uint64_t{1};
    return processMask;
}

nlohmann::json launchOutcomeRecord(const LaunchOutcome& outcome) {
    return nlohmann::json{{"package_id", outcome.packageId},
                          {"outcome", outcome.outcome},
                          {"reason", outcome.reason},
                          {"guard_ready", outcome.guardReady},
                          {"channel_failure", outcome.channelFailure},
                          {"guard_startup_failure", outcome.guardStartupFailure},
                          {"exit_code", outcome.exitCode},
                          {"elapsed_ms", outcome.elapsedMs},
                          {"pid", outcome.pid}};
}

}  // namespace nyra
