#include "net/dnsrescue.h"

#include "core/json_limits.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace nyra::dnsrescue {
namespace {

constexpr std::string_view kConnectMethod = "CONNECT ";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::size_t kMinHostLength = 15;
constexpr std::size_t kMaxHostLength = 253;
// Answers are a handful of levels deep; anything deeper is refused before the parser recurses.
constexpr std::size_t kAnswerNestingLimit = 8;

bool hostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool hostAllowed(std::string_view host, std::string_view serviceSuffix) {
    if (host.size() < kMinHostLength || host.size() > kMaxHostLength) return false;
    if (serviceSuffix.empty() || !host.ends_with(serviceSuffix)) return false;
    for (const char c : host) {
        if (!hostCharacter(c)) return false;
    }
    return host.find("..") == std::string_view::npos;
}

bool connectRequestComplete(std::string_view received) {
    return received.size() >= kMaxConnectRequest || received.ends_with(kHeaderEnd);
}

std::optional<std::string> readConnectRequest(const ReadRequestByte& readByte, Clock& clock) {
    std::string request;
    request.reserve(kMaxConnectRequest);
    const std::uint64_t start = clock.tickMs();
    while (!connectRequestComplete(request)) {
        const std::uint64_t now = clock.tickMs();
        const std::uint64_t spent = now > start ? now - start : 0;
        if (spent >= kConnectRequestMs) return std::nullopt;
        const std::optional<char> byte = readByte(static_cast<std::uint32_t>(kConnectRequestMs - spent));
        if (!byte) return std::nullopt;
        request.push_back(*byte);
    }
    return request;
}

bool tunnelAdmitted(int active, bool launcherOwnConnection) {
    const int limit = launcherOwnConnection ? kMaxTunnels : kMaxTunnels - kReservedOwnTunnels;
    return active >= 0 && active < limit;
}

void TunnelIdleWatch::noteActivity(std::uint64_t nowMs) noexcept {
    // Two pumps note at once; the later time wins and a clock read earlier never moves it back.
    std::uint64_t seen = lastActivityMs_.load();
    while (seen < nowMs && !lastActivityMs_.compare_exchange_weak(seen, nowMs)) {
    }
}

std::uint32_t TunnelIdleWatch::msLeft(std::uint64_t nowMs) const noexcept {
    const std::uint64_t last = lastActivityMs_.load();
    const std::uint64_t silent = nowMs > last ? nowMs - last : 0;
    return silent >= kTunnelIdleMs ? 0 : static_cast<std::uint32_t>(kTunnelIdleMs - silent);
}

std::optional<std::string> connectTarget(std::string_view request, std::string_view serviceSuffix) {
    if (!request.starts_with(kConnectMethod)) return std::nullopt;
    std::string_view target = request.substr(kConnectMethod.size());
    target = target.substr(0, target.find(' '));
    const auto colon = target.rfind(':');
    if (colon == std::string_view::npos || target.substr(colon + 1) != kConnectPort) return std::nullopt;
    std::string host(target.substr(0, colon));
    for (char& c : host) c = lowerAscii(c);
    if (!hostAllowed(host, serviceSuffix)) return std::nullopt;
    return host;
}

bool isIpv4Literal(std::string_view text) {
    int parts = 0;
    std::size_t position = 0;
    for (;;) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
            ++digits;
        }
        // No leading zeros: some parsers read them as octal, so "010" would name another host.
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[position - digits] == '0')) return false;
        if (++parts == 4) return position == text.size();
        if (position >= text.size() || text[position] != '.') return false;
        ++position;
    }
}

bool isPublicAddress(std::string_view ipv4Literal) {
    if (!isIpv4Literal(ipv4Literal)) return false;
    unsigned octets[2] = {0, 0};
    std::size_t at = 0;
    for (unsigned& octet : octets) {
        while (ipv4Literal[at] != '.') octet = octet * 10 + static_cast<unsigned>(ipv4Literal[at++] - '0');
        ++at;
    }
    const unsigned a = octets[0];
    const unsigned b = octets[1];
    return !(a == 0 || a == 10 || a == 127 || a >= 224 || (a == 169 && b == 254) || (a == 172 && b >= 16 && b <= 31) ||
             (a == 192 && b == 168));
}

std::vector<std::string> readDohAnswer(std::string_view body) {
    std::vector<std::string> addresses;
    if (body.size() > kMaxDohAnswer) return addresses;
    const auto answer = readJsonText(body, kAnswerNestingLimit);
    if (!answer.is_object()) return addresses;
    const auto status = answer.find("Status");
    if (status == answer.end() || integerIn(*status, 0, 0) != 0) return addresses;
    const auto records = answer.find("Answer");
    if (records == answer.end() || !records->is_array()) return addresses;
    for (const auto& record : *records) {
        if (addresses.size() == kMaxAddresses) break;
        if (!record.is_object()) continue;
        const auto type = record.find("type");
        const auto data = record.find("data");
        if (type == record.end() || integerIn(*type, 1, 1) != 1) continue;  // CNAME and others
        if (data == record.end() || !data->is_string()) continue;
        const auto& text = data->get_ref<const std::string&>();
        if (text.size() <= 15 && isPublicAddress(text)) addresses.push_back(text);
    }
    return addresses;
}

std::string dohQueryPath(std::string_view pathPrefix, std::string_view host) {
    std::string path;
    path.reserve(pathPrefix.size() + host.size() + 7);
    path.append(pathPrefix).append(host).append("&type=A");
    return path;
}

std::optional<std::vector<std::string>> ResolutionCache::lookup(const std::string& host, std::uint64_t nowMs) const {
    const std::lock_guard lock(mutex_);
    const auto entry = entries_.find(host);
    // A clock that went backwards is treated like an expired entry: resolve again.
    if (entry == entries_.end() || nowMs < entry->second.storedMs ||
        nowMs - entry->second.storedMs >= kCacheLifetimeMs) {
        return std::nullopt;
    }
    return entry->second.addresses;
}

void ResolutionCache::store(const std::string& host, std::vector<std::string> addresses, std::uint64_t nowMs) {
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& entry) {
        return nowMs < entry.second.storedMs || nowMs - entry.second.storedMs >= kCacheLifetimeMs;
    });
    if (entries_.size() >= kMaxCachedHosts && !entries_.contains(host)) {
        const auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& x, const auto& y) {
            return x.second.storedMs < y.second.storedMs;
        });
        entries_.erase(oldest);
    }
    entries_.insert_or_assign(host, Entry{std::move(addresses), nowMs});
}

std::size_t ResolutionCache::size() const {
    const std::lock_guard lock(mutex_);
    return entries_.size();
}

std::vector<std::string> resolveWith(const std::string& host, ResolutionCache& cache, std::uint64_t nowMs,
                                     std::span<const DohResolver> resolvers,
                                     std::span<const std::string_view> edgeAddresses, const DohQuery& query) {
    if (auto cached = cache.lookup(host, nowMs)) return std::move(*cached);
    std::vector<std::string> addresses;
    for (const auto& resolver : resolvers) {
        std::optional<std::string> body;
        try {
            body = query(resolver, dohQueryPath(resolver.pathPrefix, host));
        } catch (const std::exception&) {
            body.reset();  // a resolver that fails in any way is skipped
        }
        if (body) addresses = readDohAnswer(*body);
        if (!addresses.empty()) break;
    }
    if (addresses.empty()) addresses.assign(edgeAddresses.begin(), edgeAddresses.end());
    cache.store(host, addresses, nowMs);
    return addresses;
}

}  // namespace nyra::dnsrescue
