#include "tools/service/faults.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "tools/service/envelope.h"
#include "tools/service/game_servers.h"

namespace nyra::service {
namespace {

using nlohmann::json;

struct KindName {
    FaultKind kind;
    const char* name;
};

constexpr KindName kKinds[] = {
    {FaultKind::Status, "status"},
    {FaultKind::Delay, "delay"},
    {FaultKind::Drop, "drop"},
    {FaultKind::ContentType, "content-type"},
    {FaultKind::NoContentType, "no-content-type"},
    {FaultKind::ContentTypeParams, "content-type-params"},
    {FaultKind::Oversize, "oversize"},
    {FaultKind::Truncate, "truncate"},
    {FaultKind::Corrupt, "corrupt"},
    {FaultKind::Full200, "full-200"},
    {FaultKind::ContentRange, "content-range"},
    {FaultKind::NoCookies, "no-cookies"},
    {FaultKind::AnswerMember, "answer-member"},
    {FaultKind::WrongSequence, "wrong-sequence"},
    {FaultKind::ShortEntryName, "short-entry-name"},
    {FaultKind::NoResumeHeaders, "no-resume-headers"},
    {FaultKind::RefuseResume, "refuse-resume"},
    {FaultKind::ChangeResumeId, "change-resume-id"},
    {FaultKind::ImpossibleReceived, "impossible-received"},
    {FaultKind::BadAck, "bad-ack"},
    {FaultKind::Silent, "silent"},
    {FaultKind::Close, "close"},
};

bool relayOnly(FaultKind kind) {
    switch (kind) {
    case FaultKind::NoResumeHeaders:
    case FaultKind::RefuseResume:
    case FaultKind::ChangeResumeId:
    case FaultKind::ImpossibleReceived:
    case FaultKind::BadAck:
    case FaultKind::Silent:
    case FaultKind::Close:
        return true;
    default:
        return false;
    }
}

bool appliesToRelay(FaultKind kind) {
    return relayOnly(kind) || kind == FaultKind::Status || kind == FaultKind::Delay || kind == FaultKind::Drop;
}

std::string choice(const json& description, const char* name, std::initializer_list<const char*> allowed) {
    if (!description.contains(name)) {
        return *allowed.begin();
    }
    const auto& value = description.at(name);
    for (const char* option : allowed) {
        if (value.is_string() && value.get<std::string>() == option) {
            return option;
        }
    }
    std::string list;
    for (const char* option : allowed) {
        list += (list.empty() ? "" : ", ") + std::string(option);
    }
    throw std::invalid_argument(std::string(name) + " must be one of " + list);
}

std::string normaliseTarget(const std::string& target) {
    static const char* const kFixed[] = {"backend", "cdn", "news", "game-news", "portal", "relay", "any"};
    for (const char* fixed : kFixed) {
        if (target == fixed) {
            return target;
        }
    }
    std::string number = target.rfind("op:", 0) == 0 ? target.substr(3) : target;
    if (!number.empty() && number.size() <= 2 && number.find_first_not_of("0123456789") == std::string::npos) {
        const auto op = static_cast<unsigned>(std::stoul(number));
        if (op < kOperationCount) {
            return "op:" + std::to_string(op);
        }
    }
    if (auto op = operationByName(target)) {
        return "op:" + std::to_string(*op);
    }
    throw std::invalid_argument("unknown fault target " + target +
                                " (an operation name or number, backend, cdn, news, game-news, portal, relay, any)");
}

std::optional<std::uint64_t> optionalNumber(const json& description, const char* name) {
    if (!description.contains(name)) {
        return std::nullopt;
    }
    const auto& value = description.at(name);
    if (!value.is_number_unsigned()) {
        throw std::invalid_argument(std::string(name) + " must be a non-negative integer");
    }
    return value.get<std::uint64_t>();
}

// The whole body of an answer, read from its file slice when it has one.
std::string bodyBytes(const HttpResponse& response) {
    if (!response.file) {
        return response.body;
    }
    const FileSlice& slice = *response.file;
    std::ifstream in(slice.path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(slice.length), '\0');
    in.seekg(static_cast<std::streamoff>(slice.offset));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!in) {
        throw std::runtime_error("cannot read " + slice.path.string());
    }
    return bytes;
}

// A bundle ("NYRATRB1", count, then name length, name, ...) whose first entry is renamed to a name
// that has the prefix and suffix but nothing between them; everything else is left as it was.
// Anything that is not a bundle is left alone.
void shortenFirstEntryName(HttpResponse& response) {
    if (response.status != 200) {
        return;
    }
    std::string bundle = bodyBytes(response);
    constexpr std::size_t kNameAt = 14;  // magic (8), count (4), name length (2)
    if (bundle.size() < kNameAt || bundle.compare(0, 8, "NYRATRB1") != 0) {
        return;
    }
    const auto byteAt = [&](std::size_t at) { return static_cast<std::size_t>(static_cast<unsigned char>(bundle[at])); };
    const std::size_t oldLength = byteAt(12) | (byteAt(13) << 8);
    if (bundle.size() - kNameAt < oldLength) {
        return;
    }
    const std::string shortName = "data/db/T_.ini";
    bundle.replace(kNameAt, oldLength, shortName);
    bundle[12] = static_cast<char>(shortName.size());
    bundle[13] = 0;
    response.file.reset();
    response.body = std::move(bundle);
}

// Changes a CBOR map answer held in memory (a backend answer); anything else is left as it is.
template <typename Edit>
void editCborAnswer(HttpResponse& response, Edit edit) {
    if (response.file || response.status != 200 || response.body.empty()) {
        return;
    }
    json answer = json::from_cbor(response.body, true, false);
    if (!answer.is_object()) {
        return;
    }
    edit(answer);
    const auto bytes = json::to_cbor(answer);
    response.body.assign(bytes.begin(), bytes.end());
}

}  // namespace

FaultRule faultFromJson(const json& description) {
    if (!description.is_object()) {
        throw std::invalid_argument("a fault is a JSON object");
    }
    FaultRule rule;
    rule.target = normaliseTarget(description.value("target", std::string("any")));
    const std::string kind = description.value("kind", std::string());
    const auto found = std::find_if(std::begin(kKinds), std::end(kKinds), [&](const KindName& k) { return kind == k.name; });
    if (found == std::end(kKinds)) {
        throw std::invalid_argument("unknown fault kind '" + kind + "'");
    }
    rule.kind = found->kind;
    const json always = description.value("always", json(false));
    if (always == true || always == 1) {
        rule.remaining = -1;
    } else if (auto count = optionalNumber(description, "count")) {
        if (*count == 0 || *count > 1000000) {
            throw std::invalid_argument("count must be 1 to 1000000");
        }
        rule.remaining = static_cast<int>(*count);
    }
    if (auto status = optionalNumber(description, "status")) {
        const bool closeStatus = rule.kind == FaultKind::Close;  // a WebSocket close code
        if (!closeStatus && (*status < 100 || *status > 599)) {
            throw std::invalid_argument("status must be 100 to 599");
        }
        rule.status = static_cast<unsigned>(*status);
    }
    rule.milliseconds = optionalNumber(description, "ms").value_or(rule.kind == FaultKind::Delay ? 1000 : 0);
    if (rule.milliseconds > 600000) {
        throw std::invalid_argument("ms must be at most 600000");
    }
    rule.at = optionalNumber(description, "at");
    rule.bytes = optionalNumber(description, "bytes");
    if (rule.bytes && *rule.bytes > (std::uint64_t{1} << 30)) {
        throw std::invalid_argument("bytes must be at most 1 GiB");
    }
    if (description.contains("value")) {
        if (!description.at("value").is_string()) {
            throw std::invalid_argument("value must be a string");
        }
        rule.value = description.at("value").get<std::string>();
    }
    if (rule.kind == FaultKind::ContentType && !rule.value) {
        throw std::invalid_argument("content-type needs a value");
    }
    if (description.contains("name")) {
        if (!description.at("name").is_string()) {
            throw std::invalid_argument("name must be a string");
        }
        rule.name = description.at("name").get<std::string>();
    }
    if (description.contains("json")) {
        if (rule.kind != FaultKind::AnswerMember || rule.value) {
            throw std::invalid_argument("json belongs to answer-member, instead of value");
        }
        rule.json = description.at("json");
    }
    if (rule.kind == FaultKind::AnswerMember && (!rule.name || (!rule.value && !rule.json))) {
        throw std::invalid_argument("answer-member needs a name and a value (or json)");
    }
    if (rule.target == "relay" && !appliesToRelay(rule.kind)) {
        throw std::invalid_argument("the relay takes status, delay, drop, no-resume-headers, refuse-resume, "
                                    "change-resume-id, impossible-received, bad-ack, silent and close");
    }
    if (rule.target != "relay" && relayOnly(rule.kind)) {
        throw std::invalid_argument(kind + " applies to the relay only (target relay)");
    }
    if (rule.kind == FaultKind::Silent && !description.contains("ms")) {
        rule.milliseconds = 15000;
    }
    if (rule.kind == FaultKind::RefuseResume && !description.contains("status")) {
        rule.status = 410;
    }
    if (rule.kind == FaultKind::Close && !description.contains("status")) {
        rule.status = 1000;
    }
    if (rule.kind == FaultKind::Close && (!rule.at || rule.value.value_or("").size() > 123 || rule.status < 1000 ||
                                          rule.status > 4999)) {
        throw std::invalid_argument("close needs at (bytes), a status 1000 to 4999 and a reason of at most 123 bytes");
    }
    if (rule.kind == FaultKind::BadAck && !rule.value) {
        rule.value = "100000000000000000000";  // 21 digits
    }
    if (rule.value && rule.value->size() > 1024 && rule.target == "relay") {
        throw std::invalid_argument("value must be at most 1024 characters for the relay");
    }
    rule.seed = optionalNumber(description, "seed");
    rule.mean = optionalNumber(description, "mean");
    if (rule.mean && (*rule.mean == 0 || *rule.mean > (std::uint64_t{1} << 40))) {
        throw std::invalid_argument("mean must be 1 to 2^40 bytes");
    }
    if (rule.seed && !rule.mean) {
        throw std::invalid_argument("a seeded drop needs a mean (bytes)");
    }
    rule.everyMs = optionalNumber(description, "every_ms");
    if (rule.everyMs) {
        if (rule.kind != FaultKind::Drop || rule.target != "relay") {
            throw std::invalid_argument("every_ms belongs to relay drops");
        }
        if (*rule.everyMs == 0 || *rule.everyMs > 600000) {
            throw std::invalid_argument("every_ms must be 1 to 600000");
        }
        if (rule.at || rule.mean) {
            throw std::invalid_argument("a drop is timed by every_ms or placed by at or mean, not both");
        }
    }
    if (description.contains("channel")) {
        const auto& channel = description.at("channel");
        if (rule.target != "relay") {
            throw std::invalid_argument("channel belongs to relay rules");
        }
        if (!channel.is_string() || !gameChannelIndex(channel.get<std::string>())) {
            throw std::invalid_argument("channel must be login, world or zone");
        }
        rule.channel = channel.get<std::string>();
    }
    rule.bothDirections = choice(description, "direction", {"to-launcher", "both"}) == "both";
    rule.how = choice(description, "how", {"reset", "stall"}) == "stall" ? DropHow::Stall : DropHow::Reset;
    rule.omit = choice(description, "omit", {"both", "id", "received"});
    rule.newStreams = choice(description, "streams", {"resumed", "new"}) == "new";
    return rule;
}

json faultToJson(const FaultRule& rule) {
    json out{{"id", rule.id}, {"target", rule.target}};
    for (const auto& k : kKinds) {
        if (k.kind == rule.kind) {
            out["kind"] = k.name;
        }
    }
    if (rule.remaining < 0) {
        out["always"] = true;
    } else {
        out["count"] = rule.remaining;
    }
    if (rule.kind == FaultKind::Status) {
        out["status"] = rule.status;
    }
    if (rule.kind == FaultKind::RefuseResume || rule.kind == FaultKind::Close) {
        out["status"] = rule.status;
    }
    if (rule.kind == FaultKind::Delay || rule.kind == FaultKind::Silent) {
        out["ms"] = rule.milliseconds;
    }
    if (rule.seed) {
        out["seed"] = *rule.seed;
    }
    if (rule.mean) {
        out["mean"] = *rule.mean;
    }
    if (rule.everyMs) {
        out["every_ms"] = *rule.everyMs;
    }
    if (rule.channel) {
        out["channel"] = *rule.channel;
    }
    if (rule.target == "relay" && rule.kind == FaultKind::Drop) {
        out["direction"] = rule.bothDirections ? "both" : "to-launcher";
        out["how"] = rule.how == DropHow::Stall ? "stall" : "reset";
    }
    if (rule.kind == FaultKind::NoResumeHeaders) {
        out["omit"] = rule.omit;
    }
    if (rule.kind == FaultKind::ImpossibleReceived) {
        out["streams"] = rule.newStreams ? "new" : "resumed";
    }
    if (rule.uses > 0) {
        out["used"] = rule.uses;
    }
    if (rule.at) {
        out["at"] = *rule.at;
    }
    if (rule.bytes) {
        out["bytes"] = *rule.bytes;
    }
    if (rule.value) {
        out["value"] = *rule.value;
    }
    if (rule.name) {
        out["name"] = *rule.name;
    }
    if (rule.json) {
        out["json"] = *rule.json;
    }
    return out;
}

int FaultRegistry::add(FaultRule rule) {
    std::lock_guard lock(mutex_);
    rule.id = nextId_++;
    rules_.push_back(std::move(rule));
    return rules_.back().id;
}

void FaultRegistry::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

json FaultRegistry::list() const {
    std::lock_guard lock(mutex_);
    json out = json::array();
    for (const auto& rule : rules_) {
        out.push_back(faultToJson(rule));
    }
    return out;
}

std::vector<FaultRule> FaultRegistry::take(const std::vector<std::string>& targets,
                                           const std::function<bool(const FaultRule&)>& applies) {
    std::lock_guard lock(mutex_);
    std::vector<FaultRule> matched;
    for (auto& rule : rules_) {
        if (std::find(targets.begin(), targets.end(), rule.target) == targets.end() || (applies && !applies(rule))) {
            continue;
        }
        matched.push_back(rule);
        ++rule.uses;
        if (rule.remaining > 0) {
            --rule.remaining;
        }
    }
    std::erase_if(rules_, [](const FaultRule& rule) { return rule.remaining == 0; });
    return matched;
}

void applyAnswerFaults(HttpResponse& response, const std::vector<FaultRule>& rules) {
    for (const auto& rule : rules) {
        switch (rule.kind) {
        case FaultKind::Status:
        case FaultKind::Delay:
        case FaultKind::NoResumeHeaders:
        case FaultKind::RefuseResume:
        case FaultKind::ChangeResumeId:
        case FaultKind::ImpossibleReceived:
        case FaultKind::BadAck:
        case FaultKind::Silent:
        case FaultKind::Close:
            break;
        case FaultKind::Drop:
            response.faults.dropAfter = rule.at.value_or(response.bodyLength() / 2);
            break;
        case FaultKind::ContentType:
            response.setHeader("Content-Type", *rule.value);
            break;
        case FaultKind::NoContentType:
            response.removeHeader("Content-Type");
            break;
        case FaultKind::NoCookies:
            response.removeHeader("Set-Cookie");
            break;
        case FaultKind::ContentTypeParams: {
            const std::string* current = response.header("Content-Type");
            std::string type = current ? *current : std::string("application/octet-stream");
            response.setHeader("Content-Type", type + rule.value.value_or("; charset=utf-8"));
            break;
        }
        case FaultKind::Oversize:
            response.faults.padding = rule.bytes.value_or(2097153);
            break;
        case FaultKind::Truncate: {
            const std::uint64_t kept = std::min(rule.bytes.value_or(response.bodyLength() / 2), response.bodyLength());
            if (response.file) {
                response.file->length = kept;
            } else {
                response.body.resize(static_cast<std::size_t>(kept));
            }
            break;
        }
        case FaultKind::Corrupt:
            if (response.bodyLength() > 0) {
                response.faults.flipAt = std::min(rule.at.value_or(response.bodyLength() / 2), response.bodyLength() - 1);
            }
            break;
        case FaultKind::Full200:
            if (response.status == 206 && response.file) {
                response.status = 200;
                response.file->offset = 0;
                response.file->length = response.file->fileSize;
                response.removeHeader("Content-Range");
            }
            break;
        case FaultKind::AnswerMember:
            editCborAnswer(response, [&](json& answer) { answer[*rule.name] = rule.json ? *rule.json : json(*rule.value); });
            break;
        case FaultKind::WrongSequence:
            editCborAnswer(response, [](json& answer) {
                const auto sequence = answer.find("sequence");
                if (sequence != answer.end() && sequence->is_number_unsigned()) {
                    *sequence = sequence->get<std::uint64_t>() + 1;
                }
            });
            break;
        case FaultKind::ShortEntryName:
            shortenFirstEntryName(response);
            break;
        case FaultKind::ContentRange:
            if (rule.value) {
                response.setHeader("Content-Range", *rule.value);
            } else if (response.file) {
                const auto& file = *response.file;
                const std::uint64_t last = file.length == 0 ? file.offset : file.offset + file.length - 1;
                response.setHeader("Content-Range", "bytes " + std::to_string(file.offset) + "-" +
                                                        std::to_string(last) + "/" + std::to_string(file.fileSize + 1));
            }
            break;
        }
    }
}

}  // namespace nyra::service
