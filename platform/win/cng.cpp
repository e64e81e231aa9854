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

std::string hexOf(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 15]);
    }
    return text;
}

std::string sha256Hex(const void* data, std::size_t size) { return hexOf(sha256(data, size)); }

Sha256Stream::Sha256Stream() {
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(provider_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        throw std::runtime_error("SHA-256 indisponivel.");
    }
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0))) {
        throw std::runtime_error("SHA-256 invalido.");
    }
}

void Sha256Stream::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (size > 0) {
        const auto piece = static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
        if (!BCRYPT_SUCCESS(::BCryptHashData(hash_.get(), const_cast<PUCHAR>(bytes), piece, 0))) {
            throw std::runtime_error("Falha de integridade.");
        }
        bytes += piece;
        size -= piece;
    }
}

Sha256 Sha256Stream::finish() {
    Sha256 digest{};
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        throw std::runtime_error("Falha de integridade.");
    }
    return digest;
}

std::string Sha256Stream::finishHex() { return hexOf(finish()); }

void randomBytes(std::span<std::uint8_t> out) {
    if (out.size() > std::numeric_limits<ULONG>::max() ||
        !BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        throw std::runtime_error("Gerador de seguranca indisponivel.");
    }
}

}  // namespace nyra::win
