#pragma once
// Checks written directly against OpenSSL, independent of tools/common, so that the tests do not
// verify the publisher's output with the publisher's own helpers.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nyra::testing {

inline std::vector<std::uint8_t> slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::array<std::uint8_t, 32> sha256Raw(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 32> out{};
    SHA256(data, size, out.data());
    return out;
}

inline std::string hex(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline std::string sha256HexOf(const std::vector<std::uint8_t>& bytes) {
    const auto d = sha256Raw(bytes.data(), bytes.size());
    return hex(d.data(), d.size());
}

// What the launcher does with CNG: SHA-256 of the message, then a PSS check of that digest with
// SHA-256/MGF1-SHA-256 and a 32-byte salt.
inline bool pssVerifiesLikeTheLauncher(const std::vector<std::uint8_t>& message, const std::uint8_t* signature,
                                       std::size_t signatureSize) {
    const auto pem = slurp(NYRA_SOURCE_DIR "/tools/dev-keys/signing-public.pem");
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                 BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key) {
        throw std::runtime_error("public key unreadable");
    }
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                   EVP_PKEY_CTX_free);
    const auto digest = sha256Raw(message.data(), message.size());
    if (EVP_PKEY_verify_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), 32) != 1) {
        throw std::runtime_error("verify setup failed");
    }
    return EVP_PKEY_verify(ctx.get(), signature, signatureSize, digest.data(), digest.size()) == 1;
}

// AES-256-GCM decryption without associated data; false when the tag does not authenticate.
inline bool gcmDecrypt(const std::vector<std::uint8_t>& key, const std::uint8_t* nonce, const std::uint8_t* tag,
                       const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& plain) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    plain.assign(size, 0);
    plain.reserve(size + 16);  // data() is never null, even for an empty blob
    int n = 0;
    std::array<std::uint8_t, 16> t{};
    std::copy(tag, tag + 16, t.begin());
    static const std::uint8_t empty = 0;
    return EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
           EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) == 1 &&
           EVP_DecryptUpdate(ctx.get(), plain.empty() ? nullptr : plain.data(), &n, size ? data : &empty,
                             static_cast<int>(size)) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, t.data()) == 1 &&
           EVP_DecryptFinal_ex(ctx.get(), plain.data() + n, &n) == 1;
}

}  // namespace nyra::testing
