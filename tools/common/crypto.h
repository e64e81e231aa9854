#pragma once
// Cryptography and encodings shared by the stand-in service and the publisher (OpenSSL 3, EVP).
// Every failure throws std::runtime_error with a text that names the operation.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nyra::tools {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// The bytes of a text, without copying.
ByteView asBytes(std::string_view text) noexcept;
std::string asText(ByteView bytes);

// Overwrites secrets with zeros (OPENSSL_cleanse: the stores are never optimised away).
void wipe(Bytes& secret) noexcept;
void wipe(std::string& secret) noexcept;

// ---- digests -------------------------------------------------------------------------------

Sha256Digest sha256(ByteView bytes);
std::string sha256Hex(ByteView bytes);
// Streams the file in 1 MiB blocks; throws when it cannot be opened or read.
std::string sha256FileHex(const std::filesystem::path& path);
std::string sha1Hex(ByteView bytes);
Sha256Digest hmacSha256(ByteView key, ByteView data);

// Incremental SHA-256 (for hashing a file while it is written).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(ByteView bytes);
    Sha256Digest finish();  // once

private:
    struct State;
    State* state_;
};

// ---- randomness ----------------------------------------------------------------------------

// Operating-system quality random bytes (RAND_bytes).
Bytes randomBytes(std::size_t count);
// 32 random bytes as 43 characters of unpadded base64url: session, CSRF and resume tokens.
std::string opaqueToken();

// Deterministic byte stream for reproducible outputs (fixtures, sample sets): HMAC-SHA256 in
// counter mode, block i = HMAC(key = SHA-256(seed), "nyra-drbg" || label || u64be(i)).
// Never used where unpredictability matters unless the seed itself is secret and random.
class DeterministicRandom {
public:
    DeterministicRandom(std::string_view seed, std::string_view label);
    Bytes next(std::size_t count);
    void fill(std::span<std::uint8_t> out);
    std::uint64_t nextU64();
    // Uniform in [0, bound) (bound > 0), by rejection.
    std::uint64_t below(std::uint64_t bound);

private:
    Sha256Digest key_{};
    std::string label_;
    std::uint64_t counter_ = 0;
    Sha256Digest block_{};
    std::size_t used_ = 32;
};

// ---- encodings -----------------------------------------------------------------------------

std::string base64Encode(ByteView bytes);  // standard alphabet, padded
// Strict: standard alphabet, length a multiple of 4, "=" only as the final padding, no
// whitespace; throws otherwise.
Bytes base64Decode(std::string_view text);
std::string base64UrlEncode(ByteView bytes);  // "-" and "_", no padding
std::string hexEncode(ByteView bytes);        // lowercase
// Accepts only 0-9 and a-f and an even length; throws otherwise.
Bytes hexDecode(std::string_view text);

// ---- AES-256-GCM (no associated data, 16-byte tags) -----------------------------------------

struct GcmSealed {
    Bytes ciphertext;
    std::array<std::uint8_t, 16> tag{};
};

// key: 32 bytes, nonce: 12 bytes.
GcmSealed aes256GcmEncrypt(ByteView key, ByteView nonce, ByteView plaintext);
// Throws std::runtime_error("aes-256-gcm: authentication failed") when the tag does not match.
Bytes aes256GcmDecrypt(ByteView key, ByteView nonce, ByteView ciphertext, ByteView tag);

// ---- RSA-PSS (SHA-256, MGF1-SHA-256, salt length 32) ----------------------------------------

// Signs the message (hashed inside with SHA-256); the key is PEM text (PKCS#8 or PKCS#1).
Bytes rsaPssSign(std::string_view privateKeyPem, ByteView message);
// The same signature with a caller-chosen 32-byte salt (EMSA-PSS encoded here, then the raw RSA
// private operation), so that seeded publishes are byte-for-byte reproducible. Verifies exactly
// like rsaPssSign's output.
Bytes rsaPssSignWithSalt(std::string_view privateKeyPem, ByteView message, ByteView salt);
// True only for a valid signature; a malformed key throws, a bad signature never does.
bool rsaPssVerify(std::string_view publicKeyPem, ByteView message, ByteView signature);

// ---- password hashing ----------------------------------------------------------------------

Bytes pbkdf2Sha256(std::string_view password, ByteView salt, unsigned iterations, std::size_t length);

}  // namespace nyra::tools
