#pragma once
// Byte ranges: the HTTP Range header of the CDN and the strict `range` argument of the packages
// operation.
#include <cstdint>
#include <optional>
#include <string_view>

namespace nyra::service {

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
    std::uint64_t length() const { return last - first + 1; }
};

enum class RangeOutcome { Whole, Partial, Unsatisfiable };

struct RangeDecision {
    RangeOutcome outcome = RangeOutcome::Whole;
    ByteRange range;
};

// HTTP semantics for one representation of `size` bytes: no header, a malformed header or several
// ranges serve the whole object; "a-b" (last clamped to the end), "a-" and "-n" serve a part; a
// first byte at or past the end (or "-0") is unsatisfiable.
RangeDecision decideHttpRange(const std::string* header, std::uint64_t size);

// Exactly "bytes=" first "-" last with first <= last, both decimal without signs or spaces.
// nullopt when malformed.
std::optional<ByteRange> parseStrictRange(std::string_view text);

}  // namespace nyra::service
