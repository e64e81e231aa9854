#pragma once
// CNG hashing shared by the Win32 shell.
#include <cstddef>
#include <string>

namespace nyra::win {

// SHA-256 of a buffer as 64 lower-case hexadecimal characters. Throws "SHA-256 indisponivel.",
// "SHA-256 invalido." or "Falha de integridade." when CNG fails.
std::string sha256Hex(const void* data, std::size_t size);

}  // namespace nyra::win
