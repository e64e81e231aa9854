#pragma once
// CNG hashing shared by the Win32 shell.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace nyra::win {

using Sha256 = std::array<std::uint8_t, 32>;

// SHA-256 of a buffer. Throws "SHA-256 indisponivel.", "SHA-256 invalido." or "Falha de
// integridade." when CNG fails.
Sha256 sha256(const void* data, std::size_t size);

// SHA-256 of a buffer as 64 lower-case hexadecimal characters. Throws "SHA-256 indisponivel.",
// "SHA-256 invalido." or "Falha de integridade." when CNG fails.
std::string sha256Hex(const void* data, std::size_t size);

}  // namespace nyra::win
