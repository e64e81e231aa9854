#pragma once
// Hex and Base64 texts as the launcher reads them from signed descriptions, the package policy,
// the catalog and its own records.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nyra {

// Lower-case hex only, two characters per byte ("Hash invalido." otherwise: odd length, upper
// case, anything that is not 0-9 or a-f).
std::vector<std::uint8_t> decodeHex(std::string_view text);
// Lower-case hex, two characters per byte.
std::string toHex(std::span<const std::uint8_t> bytes);

// Standard Base64 with padding ("Chave invalida." otherwise). It decodes package keys: on a
// failure, whatever was decoded before it is zeroed.
std::vector<std::uint8_t> decodeBase64(std::string_view text);

}  // namespace nyra
