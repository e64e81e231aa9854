#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace nyra {

// RSA-PSS (SHA-256, salt 32) verification of `bytes` against `signature` with the project's
// embedded public key. Never throws: any platform failure or a bad signature gives false.
bool verifyCatalogSignature(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signature) noexcept;

}  // namespace nyra
