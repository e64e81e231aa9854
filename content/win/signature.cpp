#include "content/win/signature.h"

#include "core/deployment.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <limits>

namespace nyra {

bool verifyCatalogSignature(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> signature) noexcept {
    if (signature.empty() || signature.size() > std::numeric_limits<ULONG>::max() ||
        bytes.size() > std::numeric_limits<ULONG>::max()) {
        return false;
    }
    auto blob = deployment().signingKeyBlob;
    win::UniqueAlgorithmProvider rsa;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(rsa.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0))) return false;
    win::UniqueKeyHandle key;
    if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(), blob.data(),
                                              static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }
    win::Sha256 digest{};
    try {
        digest = win::sha256(bytes.data(), bytes.size());
    } catch (const std::exception&) {
        return false;
    }
    BCRYPT_PSS_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM, 32};
    return BCRYPT_SUCCESS(::BCryptVerifySignature(key.get(), &padding, digest.data(), static_cast<ULONG>(digest.size()),
                                                  const_cast<PUCHAR>(signature.data()),
                                                  static_cast<ULONG>(signature.size()), BCRYPT_PAD_PSS));
}

}  // namespace nyra
