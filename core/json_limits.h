#pragma once
// Limits applied to every JSON or CBOR document that comes from outside (backend answers, the
// catalog, the news feed, files on disk) before the JSON library sees it, and the one reader
// through which every such JSON text is parsed.
//
// The library's CBOR reader recurses once per nesting level, and its copy constructor, `dump` and
// comparisons recurse on any document: a few kilobytes of nested arrays exhaust a 1 MiB thread
// stack. A small scan over the raw bytes, which keeps no stack of its own beyond the limit,
// refuses such input before it is parsed or copied.
//
// Integer members are read through one checked reader: the library's get<integer>() truncates a
// fraction and converts an out-of-range floating-point value with undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra {

// The deepest nesting of arrays and objects accepted. Every document the launcher reads is at
// most five levels deep (policy, catalog, receipts, diagnostics, news); 64 leaves ample room for
// growth and still costs only a few kilobytes of stack in the library's recursive paths.
inline constexpr std::size_t kDocumentNestingLimit = 64;

// Offset of the first opening bracket or brace, outside strings, that nests deeper than `limit`;
// nullopt when none does. Malformed text is left to the parser: the scan follows the text exactly
// as far as it is well-formed, which is as far as the parser goes.
std::optional<std::size_t> jsonNestingExcess(std::string_view text,
                                             std::size_t limit = kDocumentNestingLimit) noexcept;
std::optional<std::size_t> jsonNestingExcess(std::span<const std::uint8_t> text,
                                             std::size_t limit = kDocumentNestingLimit) noexcept;

// The same for CBOR: arrays, maps, tags and indefinite-length strings (whose chunks the library
// also reads recursively) each count as one level. Every data item in `bytes` is scanned, and a
// truncated or malformed item ends the scan (the decoder refuses it there).
std::optional<std::size_t> cborNestingExcess(std::span<const std::uint8_t> bytes,
                                             std::size_t limit = kDocumentNestingLimit);

// For inputs whose malformed form already surfaces as the library's parse error: throws
// nlohmann::json::parse_error when the document nests deeper than the limit.
void requireJsonNesting(std::string_view text);
void requireJsonNesting(std::span<const std::uint8_t> text);
void requireCborNesting(std::span<const std::uint8_t> bytes);

// The parse error of a NUL byte at `offset` (the library's type, the byte counted from 1).
[[noreturn]] void throwJsonNul(std::size_t offset);

// Every JSON text from outside is parsed here. It must be exactly one document: the library
// stops reading at a NUL byte as if the text ended there (so "{...}\0junk" would pass, and the
// nesting scan, which reads on, would judge bytes the parser never saw), hence a NUL anywhere is
// refused; after the document only whitespace may follow. Nesting is bounded by `nestingLimit`.
// Size limits stay with the callers, which know their own.
//
// The discarded value (is_discarded()) when the text is refused.
template <class Json = nlohmann::json>
Json readJsonText(std::string_view text, std::size_t nestingLimit = kDocumentNestingLimit) {
    if (text.find('\0') != std::string_view::npos || jsonNestingExcess(text, nestingLimit)) {
        return Json(Json::value_t::discarded);
    }
    // Strict: anything but whitespace after the document refuses it.
    return Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
}
template <class Json = nlohmann::json>
Json readJsonText(std::span<const std::uint8_t> text, std::size_t nestingLimit = kDocumentNestingLimit) {
    return readJsonText<Json>(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), nestingLimit);
}

// The same for callers whose refusal is the library's own error: throws
// nlohmann::json::parse_error for a refused text.
template <class Json = nlohmann::json>
Json parseJsonText(std::string_view text) {
    requireJsonNesting(text);
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) throwJsonNul(nul);
    return Json::parse(text.begin(), text.end());
}
template <class Json = nlohmann::json>
Json parseJsonText(std::span<const std::uint8_t> text) {
    return parseJsonText<Json>(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

// An integer member's value when it is a JSON integer (not a floating-point number, even a whole
// one, and not a string) inside [minimum, maximum]; nullopt otherwise.
std::optional<std::int64_t> integerIn(const nlohmann::json& value, std::int64_t minimum,
                                      std::int64_t maximum) noexcept;
std::optional<std::uint64_t> unsignedUpTo(const nlohmann::json& value,
                                          std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max()) noexcept;

}  // namespace nyra
