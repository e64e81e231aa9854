#include "core/encoding.h"

#include <stdexcept>

#include "core/text.h"

namespace nyra {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::vector<std::uint8_t> decodeHex(std::string_view text) {
    if (text.size() % 2 != 0) fail("Hash invalido.");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        fail("Hash invalido.");
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(text[i]) * 16 + nibble(text[i + 1])));
    }
    return bytes;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

std::vector<std::uint8_t> decodeBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) fail("Chave invalida.");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    try {
        for (std::size_t i = 0; i < text.size(); i += 4) {
            int values[4];
            int padding = 0;
            for (int k = 0; k < 4; ++k) {
                const char c = text[i + static_cast<std::size_t>(k)];
                if (c == '=' && i + 4 == text.size() && k >= 2) {
                    values[k] = 0;
                    ++padding;
                } else if (padding > 0 || (values[k] = base64Value(c)) < 0) {
                    fail("Chave invalida.");
                }
            }
            const auto group =
                static_cast<std::uint32_t>((values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3]);
            bytes.push_back(static_cast<std::uint8_t>(group >> 16));
            if (padding < 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
            if (padding < 1) bytes.push_back(static_cast<std::uint8_t>(group));
        }
    } catch (...) {
        wipe(bytes);  // what came before a bad character goes too
        throw;
    }
    return bytes;
}

}  // namespace nyra
