#include "core/json_limits.h"

#include <string>
#include <vector>

namespace nyra {
namespace {

// One open CBOR container: a definite one counts the items still to come, an indefinite one (an
// array, map or string of chunks) ends at a break byte.
struct OpenItem {
    std::uint64_t remaining = 0;
    bool indefinite = false;
};

constexpr std::uint8_t kBreak = 0xFF;

// The library's own exception type and wording, with the byte counted from 1 as it does.
[[noreturn]] void throwTooDeep(int id, std::size_t offset, const char* context) {
    throw nlohmann::json::parse_error::create(
        id, offset + 1, std::string(context) + "nesting deeper than " + std::to_string(kDocumentNestingLimit) + " levels",
        nullptr);
}

}  // namespace

std::optional<std::size_t> jsonNestingExcess(std::string_view text, std::size_t limit) noexcept {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (depth == limit) return i;
            ++depth;
            break;
        case ']':
        case '}':
            // More closings than openings is a syntax error the parser reports on its own.
            if (depth > 0) --depth;
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> jsonNestingExcess(std::span<const std::uint8_t> text, std::size_t limit) noexcept {
    return jsonNestingExcess(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), limit);
}

std::optional<std::size_t> cborNestingExcess(std::span<const std::uint8_t> bytes, std::size_t limit) {
    // The list of open items never holds more than `limit` entries, however long the input.
    std::vector<OpenItem> open;
    // One finished item: it completes the definite containers whose last item it was.
    const auto finishItem = [&open] {
        while (!open.empty() && !open.back().indefinite) {
            if (--open.back().remaining != 0) return;
            open.pop_back();
        }
    };
    const auto enter = [&open, limit](OpenItem item) {
        if (open.size() >= limit) return false;
        open.push_back(item);
        return true;
    };

    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t start = pos;
        const std::uint8_t initial = bytes[pos++];
        const unsigned major = static_cast<unsigned>(initial) >> 5;
        const unsigned info = static_cast<unsigned>(initial) & 31u;
        if (initial == kBreak) {
            // A break outside an indefinite item is malformed: the decoder stops there.
            if (open.empty() || !open.back().indefinite) return std::nullopt;
            open.pop_back();
            finishItem();
            continue;
        }
        if (info == 31) {
            if (major < 2 || major > 5) return std::nullopt;  // no indefinite form: malformed
            if (!enter({0, true})) return start;
            continue;
        }
        std::uint64_t argument = info;
        if (info >= 24) {
            if (info >= 28) return std::nullopt;  // reserved: malformed
            const std::size_t width = std::size_t{1} << (info - 24);
            if (bytes.size() - pos < width) return std::nullopt;  // truncated
            argument = 0;
            for (std::size_t k = 0; k < width; ++k) argument = (argument << 8) | std::uint64_t{bytes[pos++]};
        }
        switch (major) {
        case 2:  // byte string
        case 3:  // text string
            if (argument > bytes.size() - pos) return std::nullopt;  // truncated
            pos += static_cast<std::size_t>(argument);
            finishItem();
            break;
        case 4:    // array
        case 5: {  // map: two items per entry
            const std::uint64_t items =
                major == 4 ? argument
                           : (argument > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max()
                                                                                      : argument * 2);
            if (!enter({items, false})) return start;
            if (items == 0) {
                open.pop_back();
                finishItem();
            }
            break;
        }
        case 6:  // tag: wraps the one item that follows
            if (!enter({1, false})) return start;
            break;
        default:  // integers, simple values and floating-point numbers: the argument was the value
            finishItem();
            break;
        }
    }
    return std::nullopt;
}

void requireJsonNesting(std::string_view text) {
    if (const auto at = jsonNestingExcess(text)) throwTooDeep(101, *at, "syntax error while parsing value - ");
}

void requireJsonNesting(std::span<const std::uint8_t> text) {
    if (const auto at = jsonNestingExcess(text)) throwTooDeep(101, *at, "syntax error while parsing value - ");
}

void requireCborNesting(std::span<const std::uint8_t> bytes) {
    if (const auto at = cborNestingExcess(bytes)) throwTooDeep(112, *at, "syntax error while parsing CBOR value: ");
}

void throwJsonNul(std::size_t offset) {
    throw nlohmann::json::parse_error::create(101, offset + 1, "syntax error while parsing value - NUL byte in the text",
                                              nullptr);
}

std::optional<std::int64_t> integerIn(const nlohmann::json& value, std::int64_t minimum, std::int64_t maximum) noexcept {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (maximum < 0 || number > static_cast<std::uint64_t>(maximum)) return std::nullopt;
        const auto signedNumber = static_cast<std::int64_t>(number);
        if (signedNumber < minimum) return std::nullopt;
        return signedNumber;
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < minimum || number > maximum) return std::nullopt;
        return number;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> unsignedUpTo(const nlohmann::json& value, std::uint64_t maximum) noexcept {
    std::uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<std::uint64_t>();
    } else if (value.is_number_integer()) {
        const auto signedNumber = value.get<std::int64_t>();
        if (signedNumber < 0) return std::nullopt;
        number = static_cast<std::uint64_t>(signedNumber);
    } else {
        return std::nullopt;
    }
    if (number > maximum) return std::nullopt;
    return number;
}

}  // namespace nyra
