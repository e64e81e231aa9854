#pragma once
// UTF-8 (protocols, files, messages) <-> UTF-16 (Windows paths and screen texts).
#include <string>
#include <string_view>

namespace nyra {

// Both throw std::runtime_error("Texto invalido.") on malformed input (bad UTF-8 sequences,
// overlong forms, surrogates encoded in UTF-8, unpaired UTF-16 surrogates).
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

// Overwrites a secret's bytes with zeros before it is released; the volatile writes keep the
// compiler from dropping the stores.
void wipe(std::string& secret) noexcept;
void wipe(std::u16string& secret) noexcept;

}  // namespace nyra
