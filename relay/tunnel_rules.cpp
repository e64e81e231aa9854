#include "relay/tunnel_rules.h"

#include <algorithm>
#include <limits>

namespace nyra {

nlohmann::json relayPortMap(const std::array<std::uint16_t, kRelayChannelCount>& localPorts) {
    nlohmann::json map = nlohmann::json::object();
    for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
        map[std::string(kRelayChannels[channel].serverPort)] = localPorts[channel];
    }
    return map;
}

std::optional<std::uint64_t> parseAcknowledgement(std::string_view text) {
    if (text.empty() || text.size() > kMaxAcknowledgementDigits) return std::nullopt;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;  // 20 digits above 2^64 - 1
        value = value * 10 + digit;
    }
    return value;
}

bool shouldAcknowledge(std::uint64_t receivedTotal, std::uint64_t lastAckSent, std::uint64_t nowMs,
                       std::uint64_t lastAckTimeMs) {
    // A tick read before another thread stamped lastAckTime counts as no time passed.
    const std::uint64_t elapsed = nowMs > lastAckTimeMs ? nowMs - lastAckTimeMs : 0;
    if (receivedTotal == lastAckSent) return elapsed >= 3000;
    return manyBytesUnacknowledged(receivedTotal, lastAckSent) || elapsed >= 1000;
}

bool manyBytesUnacknowledged(std::uint64_t receivedTotal, std::uint64_t lastAckSent) {
    return receivedTotal > lastAckSent && receivedTotal - lastAckSent > 32767;
}

namespace {
std::uint32_t doublingWait(std::uint32_t first, int retry) {
    constexpr std::uint32_t kCap = 3000;
    std::uint32_t wait = first;
    for (int i = 0; i < retry && wait < kCap; ++i) wait *= 2;
    return std::min(wait, kCap);
}
}  // namespace

std::uint32_t openRetryWaitMs(int retry) { return doublingWait(250, retry); }
std::uint32_t resumeRetryWaitMs(int retry) { return doublingWait(200, retry); }

bool refusalIsFinal(std::int32_t status) {
    return status == 400 || status == 401 || status == 403 || status == 404 || status == 410;
}

}  // namespace nyra
