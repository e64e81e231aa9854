#include "tools/service/ranges.h"

#include <limits>
#include <string>

namespace nyra::service {
namespace {

// Decimal digits only, no overflow; nullopt otherwise (also for the empty text).
std::optional<std::uint64_t> parseNumber(std::string_view text) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace

std::optional<ByteRange> parseStrictRange(std::string_view text) {
    constexpr std::string_view prefix = "bytes=";
    if (text.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    text.remove_prefix(prefix.size());
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto first = parseNumber(text.substr(0, dash));
    const auto last = parseNumber(text.substr(dash + 1));
    if (!first || !last || *first > *last) {
        return std::nullopt;
    }
    return ByteRange{*first, *last};
}

RangeDecision decideHttpRange(const std::string* header, std::uint64_t size) {
    const RangeDecision whole{RangeOutcome::Whole, {}};
    if (header == nullptr) {
        return whole;
    }
    std::string_view text = *header;
    constexpr std::string_view prefix = "bytes=";
    if (text.substr(0, prefix.size()) != prefix || text.find(',') != std::string_view::npos) {
        return whole;  // another unit, or several ranges: served whole (RFC 9110 lets us ignore Range)
    }
    text.remove_prefix(prefix.size());
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        return whole;
    }
    const auto firstText = text.substr(0, dash);
    const auto lastText = text.substr(dash + 1);
    if (firstText.empty()) {
        const auto suffix = parseNumber(lastText);
        if (!suffix) {
            return whole;
        }
        if (*suffix == 0 || size == 0) {
            return {RangeOutcome::Unsatisfiable, {}};
        }
        const std::uint64_t length = *suffix < size ? *suffix : size;
        return {RangeOutcome::Partial, {size - length, size - 1}};
    }
    const auto first = parseNumber(firstText);
    if (!first) {
        return whole;
    }
    std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
    if (!lastText.empty()) {
        const auto parsed = parseNumber(lastText);
        if (!parsed || *parsed < *first) {
            return whole;
        }
        last = *parsed;
    }
    if (*first >= size) {
        return {RangeOutcome::Unsatisfiable, {}};
    }
    return {RangeOutcome::Partial, {*first, last < size ? last : size - 1}};
}

}  // namespace nyra::service
