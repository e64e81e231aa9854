#include "core/text.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace nyra {
namespace {

[[noreturn]] void invalidText() { throw std::runtime_error("Texto invalido."); }

// Decodes one UTF-8 sequence at `i`; returns its code point and advances `i`.
std::uint32_t decodeUtf8(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::uint32_t cp = 0;
    std::size_t extra = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1Fu, extra = 1, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0Fu, extra = 2, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07u, extra = 3, minimum = 0x10000;
    } else {
        invalidText();
    }
    if (text.size() - i - 1 < extra) invalidText();
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto next = static_cast<std::uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80) invalidText();
        cp = (cp << 6) | (next & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) invalidText();
    i += extra + 1;
    return cp;
}

// Decodes one UTF-16 unit or surrogate pair at `i`; returns its code point and advances `i`.
std::uint32_t decodeUtf16(std::u16string_view text, std::size_t& i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) invalidText();
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
        ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        invalidText();
    }
    ++i;
    return cp;
}

std::size_t utf8Length(std::uint32_t cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    return cp < 0x10000 ? 3 : 4;
}

}  // namespace

// Both conversions validate and measure first, then fill a buffer of the exact size: nothing is
// allocated before the input is known to be valid and the result never moves to a bigger block.
std::u16string utf8ToUtf16(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) units += decodeUtf8(text, i) >= 0x10000 ? 2u : 1u;
    std::u16string out;
    out.reserve(units);
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = decodeUtf8(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < text.size();) bytes += utf8Length(decodeUtf16(text, i));
    std::string out;
    out.reserve(bytes);
    for (std::size_t i = 0; i < text.size();) {
        const std::uint32_t cp = decodeUtf16(text, i);
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

void wipeMemory(void* data, std::size_t size) noexcept {
    if (data == nullptr || size == 0) return;
    std::memset(data, 0, size);
    // The barrier tells the compiler the zeroed memory is still read, so the memset stays even
    // right before the block is released.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace nyra
