#pragma once
// CNG hashing shared by the Win32 shell.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/win/handles.h"

namespace nyra::win {

using Sha256 = std::array<std::uint8_t, 32>;

// SHA-256 of a buffer. Throws "SHA-256 indisponivel.", "SHA-256 invalido." or "Falha de
// integridade." when CNG fails.
Sha256 sha256(const void* data, std::size_t size);

// SHA-256 of a buffer as 64 lower-case hexadecimal characters. Throws "SHA-256 indisponivel.",
// "SHA-256 invalido." or "Falha de integridade." when CNG fails.
std::string sha256Hex(const void* data, std::size_t size);

// SHA-256 fed piece by piece (files hashed in blocks). Construction throws "SHA-256
// indisponivel." or "SHA-256 invalido."; update and finish throw "Falha de integridade.".
class Sha256Stream {
public:
    Sha256Stream();
    void update(const void* data, std::size_t size);
    Sha256 finish();
    std::string finishHex();

private:
    UniqueAlgorithmProvider provider_;
    UniqueHashHandle hash_;
};

std::string hexOf(std::span<const std::uint8_t> bytes);

// Bytes from the system-preferred random generator; "Gerador de seguranca indisponivel." when it
// fails.
void randomBytes(std::span<std::uint8_t> out);

}  // namespace nyra::win
