#include "platform/win/cng.h"

#include "platform/win/handles.h"

#include <array>
#include <limits>
#include <stdexcept>

namespace nyra::win {

Sha256 sha256(const void* data, std::size_t size) {
    UniqueAlgorithmProvider provider;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        throw std::runtime_error("SHA-256 indisponivel.");
    }
    UniqueHashHandle hash;
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) {
        throw std::runtime_error("SHA-256 invalido.");
    }
    // Feed in pieces that fit a ULONG, whatever the platform's size_t.
    const auto* bytes = static_cast<const UCHAR*>(data);
    std::size_t left = size;
    while (left > 0) {
        const auto piece = static_cast<ULONG>(std::min<std::size_t>(left, std::numeric_limits<ULONG>::max()));
        if (!BCRYPT_SUCCESS(::BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes), piece, 0))) {
            throw std::runtime_error("Falha de integridade.");
        }
        bytes += piece;
        left -= piece;
    }
    Sha256 digest{};
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        throw std::runtime_error("Falha de integridade.");
    }
    return digest;
}

std::string sha256Hex(const void* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    const Sha256 digest = sha256(data, size);
    std::string text;
    text.reserve(64);
    for (const std::uint8_t b : digest) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 15]);
    }
    return text;
}

}  // namespace nyra::win
