#include "tools/common/crypto.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace nyra::tools {
namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;

// The operation's name plus OpenSSL's most recent error, then the error queue is cleared.
[[noreturn]] void fail(std::string_view what) {
    std::string message(what);
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        message += " (";
        message += text;
        message += ")";
    }
    ERR_clear_error();
    throw std::runtime_error(message);
}

int toInt(std::size_t n, std::string_view what) {
    if (n > static_cast<std::size_t>(INT_MAX)) {
        throw std::runtime_error(std::string(what) + ": input too large");
    }
    return static_cast<int>(n);
}

// EVP wants non-null pointers even for empty inputs.
const unsigned char* ptr(ByteView bytes) noexcept {
    static const unsigned char empty = 0;
    return bytes.empty() ? &empty : bytes.data();
}

Sha256Digest digestWith(const EVP_MD* md, ByteView bytes, std::string_view what) {
    Sha256Digest out{};
    unsigned length = 0;
    if (EVP_Digest(ptr(bytes), bytes.size(), out.data(), &length, md, nullptr) != 1) {
        fail(what);
    }
    return out;
}

PKey loadPrivateKey(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), toInt(pem.size(), "private key")));
    if (!bio) {
        fail("private key: out of memory");
    }
    PKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        fail("private key: not a PEM private key");
    }
    return key;
}

PKey loadPublicKey(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), toInt(pem.size(), "public key")));
    if (!bio) {
        fail("public key: out of memory");
    }
    PKey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        fail("public key: not a PEM public key");
    }
    return key;
}

// Sets RSA-PSS with SHA-256, MGF1-SHA-256 and a 32-byte salt on a sign or verify context.
bool configurePss(EVP_PKEY_CTX* ctx) {
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, 32) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) == 1;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode64(ByteView bytes, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                                bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            v |= std::uint32_t{bytes[i + 1]} << 8;
        }
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        if (rest == 2) {
            out += alphabet[(v >> 6) & 63];
        }
        if (pad) {
            out.append(rest == 1 ? 2 : 1, '=');
        }
    }
    return out;
}

int base64Value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

ByteView asBytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void wipe(Bytes& secret) noexcept {
    if (!secret.empty()) {
        OPENSSL_cleanse(secret.data(), secret.size());
    }
}

void wipe(std::string& secret) noexcept {
    if (!secret.empty()) {
        OPENSSL_cleanse(secret.data(), secret.size());
    }
}

// ---- digests -------------------------------------------------------------------------------

Sha256Digest sha256(ByteView bytes) { return digestWith(EVP_sha256(), bytes, "sha-256 failed"); }

std::string sha256Hex(ByteView bytes) { return hexEncode(sha256(bytes)); }

std::string sha256FileHex(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path.string());
    }
    Sha256 hash;
    std::vector<char> block(1 << 20);
    while (file) {
        file.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::streamsize got = file.gcount();
        if (got > 0) {
            hash.update({reinterpret_cast<const std::uint8_t*>(block.data()), static_cast<std::size_t>(got)});
        }
    }
    if (file.bad()) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return hexEncode(hash.finish());
}

std::string sha1Hex(ByteView bytes) {
    std::array<std::uint8_t, 20> out{};
    unsigned length = 0;
    if (EVP_Digest(ptr(bytes), bytes.size(), out.data(), &length, EVP_sha1(), nullptr) != 1) {
        fail("sha-1 failed");
    }
    return hexEncode(out);
}

Sha256Digest hmacSha256(ByteView key, ByteView data) {
    Sha256Digest out{};
    unsigned length = 0;
    if (HMAC(EVP_sha256(), ptr(key), toInt(key.size(), "hmac key"), ptr(data), data.size(), out.data(),
             &length) == nullptr) {
        fail("hmac-sha-256 failed");
    }
    return out;
}

struct Sha256::State {
    MdCtx ctx{EVP_MD_CTX_new()};
};

Sha256::Sha256() : state_(new State) {
    if (!state_->ctx || EVP_DigestInit_ex(state_->ctx.get(), EVP_sha256(), nullptr) != 1) {
        delete state_;
        fail("sha-256 unavailable");
    }
}

Sha256::~Sha256() { delete state_; }

void Sha256::update(ByteView bytes) {
    if (EVP_DigestUpdate(state_->ctx.get(), ptr(bytes), bytes.size()) != 1) {
        fail("sha-256 failed");
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest out{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(state_->ctx.get(), out.data(), &length) != 1) {
        fail("sha-256 failed");
    }
    return out;
}

// ---- randomness ----------------------------------------------------------------------------

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), toInt(count, "random")) != 1) {
        fail("random bytes unavailable");
    }
    return out;
}

std::string opaqueToken() {
    Bytes raw = randomBytes(32);
    std::string token = base64UrlEncode(raw);
    wipe(raw);
    return token;
}

DeterministicRandom::DeterministicRandom(std::string_view seed, std::string_view label)
    : key_(sha256(asBytes(seed))), label_(label) {}

void DeterministicRandom::fill(std::span<std::uint8_t> out) {
    for (auto& byte : out) {
        if (used_ == block_.size()) {
            std::string message = "nyra-drbg";
            message += label_;
            for (int shift = 56; shift >= 0; shift -= 8) {
                message += static_cast<char>((counter_ >> shift) & 0xFF);
            }
            ++counter_;
            block_ = hmacSha256(key_, asBytes(message));
            used_ = 0;
        }
        byte = block_[used_++];
    }
}

Bytes DeterministicRandom::next(std::size_t count) {
    Bytes out(count);
    fill(out);
    return out;
}

std::uint64_t DeterministicRandom::nextU64() {
    std::array<std::uint8_t, 8> raw{};
    fill(raw);
    std::uint64_t v = 0;
    for (const auto b : raw) {
        v = (v << 8) | b;
    }
    return v;
}

std::uint64_t DeterministicRandom::below(std::uint64_t bound) {
    if (bound == 0) {
        throw std::invalid_argument("DeterministicRandom::below(0)");
    }
    const std::uint64_t limit = UINT64_MAX - (UINT64_MAX % bound + 1) % bound;
    for (;;) {
        const std::uint64_t v = nextU64();
        if (v <= limit) {
            return v % bound;
        }
    }
}

// ---- encodings -----------------------------------------------------------------------------

std::string base64Encode(ByteView bytes) { return encode64(bytes, kBase64, true); }

std::string base64UrlEncode(ByteView bytes) { return encode64(bytes, kBase64Url, false); }

Bytes base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        throw std::runtime_error("base64: length is not a multiple of 4");
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    }
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t v = 0;
        const bool last = i + 4 == text.size();
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            int value = base64Value(c);
            if (c == '=' && last && j >= 4 - padding) {
                value = 0;
            } else if (value < 0) {
                throw std::runtime_error("base64: invalid character");
            }
            v = (v << 6) | static_cast<std::uint32_t>(value);
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (!last || padding < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (!last || padding < 1) out.push_back(static_cast<std::uint8_t>(v));
        // Non-canonical encodings (bits set under the padding) are refused.
        if (last && ((padding == 1 && (v & 0xFF) != 0) || (padding == 2 && (v & 0xFFFF) != 0))) {
            throw std::runtime_error("base64: non-canonical padding");
        }
    }
    return out;
}

std::string hexEncode(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes hexDecode(std::string_view text) {
    if (text.size() % 2 != 0) {
        throw std::runtime_error("hex: odd length");
    }
    const auto nibble = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
        throw std::runtime_error("hex: invalid character");
    };
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>((nibble(text[2 * i]) << 4) | nibble(text[2 * i + 1]));
    }
    return out;
}

// ---- AES-256-GCM ---------------------------------------------------------------------------

GcmSealed aes256GcmEncrypt(ByteView key, ByteView nonce, ByteView plaintext) {
    if (key.size() != 32 || nonce.size() != 12) {
        throw std::runtime_error("aes-256-gcm: key must be 32 bytes and nonce 12 bytes");
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    GcmSealed sealed;
    sealed.ciphertext.resize(plaintext.size());
    int written = 0;
    int final = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1) {
        fail("aes-256-gcm: setup failed");
    }
    // EVP lengths are int: encrypt in slices of at most 1 GiB.
    std::size_t done = 0;
    while (done < plaintext.size()) {
        const std::size_t n = std::min<std::size_t>(plaintext.size() - done, std::size_t{1} << 30);
        if (EVP_EncryptUpdate(ctx.get(), sealed.ciphertext.data() + done, &written, plaintext.data() + done,
                              static_cast<int>(n)) != 1) {
            fail("aes-256-gcm: encryption failed");
        }
        done += static_cast<std::size_t>(written);
    }
    if (EVP_EncryptFinal_ex(ctx.get(), sealed.ciphertext.data() + done, &final) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, sealed.tag.data()) != 1) {
        fail("aes-256-gcm: encryption failed");
    }
    return sealed;
}

Bytes aes256GcmDecrypt(ByteView key, ByteView nonce, ByteView ciphertext, ByteView tag) {
    if (key.size() != 32 || nonce.size() != 12 || tag.size() != 16) {
        throw std::runtime_error("aes-256-gcm: key must be 32 bytes, nonce 12 bytes and tag 16 bytes");
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    Bytes plain(ciphertext.size());
    int written = 0;
    int final = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1) {
        fail("aes-256-gcm: setup failed");
    }
    std::size_t done = 0;
    while (done < ciphertext.size()) {
        const std::size_t n = std::min<std::size_t>(ciphertext.size() - done, std::size_t{1} << 30);
        if (EVP_DecryptUpdate(ctx.get(), plain.data() + done, &written, ciphertext.data() + done,
                              static_cast<int>(n)) != 1) {
            fail("aes-256-gcm: decryption failed");
        }
        done += static_cast<std::size_t>(written);
    }
    std::array<std::uint8_t, 16> expected{};
    std::copy(tag.begin(), tag.end(), expected.begin());
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, expected.data()) != 1) {
        fail("aes-256-gcm: setup failed");
    }
    if (EVP_DecryptFinal_ex(ctx.get(), plain.data() + done, &final) != 1) {
        wipe(plain);
        ERR_clear_error();
        throw std::runtime_error("aes-256-gcm: authentication failed");
    }
    return plain;
}

// ---- RSA-PSS -------------------------------------------------------------------------------

Bytes rsaPssSign(std::string_view privateKeyPem, ByteView message) {
    const PKey key = loadPrivateKey(privateKeyPem);
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        !configurePss(pctx)) {
        fail("rsa-pss: signing setup failed");
    }
    std::size_t length = 0;
    if (EVP_DigestSign(ctx.get(), nullptr, &length, ptr(message), message.size()) != 1) {
        fail("rsa-pss: signing failed");
    }
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, ptr(message), message.size()) != 1) {
        fail("rsa-pss: signing failed");
    }
    signature.resize(length);
    return signature;
}

Bytes rsaPssSignWithSalt(std::string_view privateKeyPem, ByteView message, ByteView salt) {
    if (salt.size() != 32) {
        throw std::runtime_error("rsa-pss: the salt must be 32 bytes");
    }
    const PKey key = loadPrivateKey(privateKeyPem);
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        throw std::runtime_error("rsa-pss: not an RSA key");
    }
    const auto modBits = static_cast<std::size_t>(EVP_PKEY_get_bits(key.get()));
    const std::size_t k = (modBits + 7) / 8;
    const std::size_t emBits = modBits - 1;
    const std::size_t emLen = (emBits + 7) / 8;
    constexpr std::size_t hLen = 32;
    if (emLen < hLen + salt.size() + 2) {
        throw std::runtime_error("rsa-pss: key too small");
    }
    // EMSA-PSS-ENCODE (RFC 8017 section 9.1.1) with SHA-256 and MGF1-SHA-256.
    const Sha256Digest mHash = sha256(message);
    Bytes mPrime(8, 0);
    mPrime.insert(mPrime.end(), mHash.begin(), mHash.end());
    mPrime.insert(mPrime.end(), salt.begin(), salt.end());
    const Sha256Digest h = sha256(mPrime);
    const std::size_t dbLen = emLen - hLen - 1;
    Bytes db(dbLen - salt.size() - 1, 0);
    db.push_back(0x01);
    db.insert(db.end(), salt.begin(), salt.end());
    for (std::uint32_t counter = 0, done = 0; done < dbLen; ++counter) {
        Bytes block(h.begin(), h.end());
        for (int shift = 24; shift >= 0; shift -= 8) {
            block.push_back(static_cast<std::uint8_t>(counter >> shift));
        }
        const Sha256Digest mask = sha256(block);
        for (std::size_t i = 0; i < mask.size() && done < dbLen; ++i, ++done) {
            db[done] ^= mask[i];
        }
    }
    db[0] &= static_cast<std::uint8_t>(0xFFu >> (8 * emLen - emBits));
    Bytes em(k - emLen, 0);
    em.insert(em.end(), db.begin(), db.end());
    em.insert(em.end(), h.begin(), h.end());
    em.push_back(0xbc);

    std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1) {
        fail("rsa-pss: signing setup failed");
    }
    Bytes signature(k);
    std::size_t length = signature.size();
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, em.data(), em.size()) != 1 || length != k) {
        fail("rsa-pss: signing failed");
    }
    return signature;
}

bool rsaPssVerify(std::string_view publicKeyPem, ByteView message, ByteView signature) {
    const PKey key = loadPublicKey(publicKeyPem);
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        !configurePss(pctx)) {
        fail("rsa-pss: verification setup failed");
    }
    const int result = EVP_DigestVerify(ctx.get(), ptr(signature), signature.size(), ptr(message), message.size());
    ERR_clear_error();
    return result == 1;
}

// ---- password hashing ----------------------------------------------------------------------

Bytes pbkdf2Sha256(std::string_view password, ByteView salt, unsigned iterations, std::size_t length) {
    if (iterations == 0 || iterations > static_cast<unsigned>(INT_MAX)) {
        throw std::runtime_error("pbkdf2: invalid iteration count");
    }
    Bytes out(length);
    if (PKCS5_PBKDF2_HMAC(password.data(), toInt(password.size(), "pbkdf2 password"), ptr(salt),
                          toInt(salt.size(), "pbkdf2 salt"), static_cast<int>(iterations), EVP_sha256(),
                          toInt(length, "pbkdf2 length"), out.data()) != 1) {
        fail("pbkdf2 failed");
    }
    return out;
}

}  // namespace nyra::tools
