// The server's acknowledgements on a game-traffic stream (decimal byte totals sent as text), as
// the relay applies them to its resend buffer. The input is a script of lines:
//   "+N"   the game sends N more bytes (N % 65536; refused by the buffer beyond its limit)
//   "@T"   a resumed stream reports that the server holds T bytes
//   other  an acknowledgement text, applied as the relay applies one
// A model of the byte stream checks the buffer after every step: the bytes it holds are exactly
// the ones sent and not acknowledged, in order.
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "relay/resend_buffer.h"
#include "relay/tunnel_rules.h"

using nyra::fuzz::check;

namespace {

constexpr std::size_t kLimit = 1u << 18;  // small enough to reach, large enough to wrap the ring

std::uint8_t byteAt(std::uint64_t position) { return static_cast<std::uint8_t>(position * 131 % 251); }

// The library's own decimal reader, for comparison.
std::optional<std::uint64_t> reference(std::string_view text) {
    if (text.empty() || text.size() > nyra::kMaxAcknowledgementDigits ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void checkContent(const nyra::ResendBuffer& buffer, std::uint64_t sentTotal) {
    check(buffer.ackedBase() + buffer.size() == sentTotal, "the buffer lost or invented bytes");
    std::uint64_t position = buffer.ackedBase();
    buffer.forEachPiece(nyra::kRelayMessageBytes, [&](std::span<const std::uint8_t> piece) {
        check(!piece.empty() && piece.size() <= nyra::kRelayMessageBytes, "a piece of the wrong size");
        for (const std::uint8_t b : piece) check(b == byteAt(position++), "a resent byte differs from the sent one");
        return true;
    });
    check(position == sentTotal, "the pieces do not cover the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nyra::ResendBuffer buffer(kLimit);
    std::uint64_t sentTotal = 0;
    std::string_view script = nyra::fuzz::textOf(data, size);
    std::vector<std::uint8_t> bytes;
    while (!script.empty()) {
        const std::size_t newline = script.find('\n');
        const std::string_view line = script.substr(0, newline);
        script = newline == std::string_view::npos ? std::string_view() : script.substr(newline + 1);

        if (!line.empty() && line[0] == '+') {
            const std::size_t count = reference(line.substr(1)).value_or(0) % 65536;
            bytes.resize(count);
            for (std::size_t i = 0; i < count; ++i) bytes[i] = byteAt(sentTotal + i);
            const bool fits = buffer.size() + count <= kLimit;
            check(buffer.append(bytes) == fits, "the buffer's limit was not kept");
            if (fits) sentTotal += count;
        } else if (!line.empty() && line[0] == '@') {
            const auto received = nyra::parseAcknowledgement(line.substr(1));
            if (!received) continue;
            const std::uint64_t base = buffer.ackedBase();
            const bool possible = *received >= base && *received <= sentTotal;
            check(buffer.resumeFrom(*received) == possible, "a resumption offset judged wrongly");
            check(buffer.ackedBase() == (possible ? *received : base), "a refused resumption moved the buffer");
        } else {
            const auto total = nyra::parseAcknowledgement(line);
            check(total == reference(line), "an acknowledgement read differently from the decimal number");
            if (!total) continue;
            const std::uint64_t base = buffer.ackedBase();
            const auto result = buffer.acknowledge(*total);
            using A = nyra::ResendBuffer::Acknowledged;
            check(result == (*total <= base ? A::Ignored : *total > sentTotal ? A::Impossible : A::Dropped),
                  "an acknowledgement judged wrongly");
            check(buffer.ackedBase() == (result == A::Dropped ? *total : base), "an acknowledgement moved the buffer wrongly");
        }
        checkContent(buffer, sentTotal);
    }
    return 0;
}
