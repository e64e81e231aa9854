#pragma once
// The published formats, each built by one small function so that the tests and the publisher
// share nothing but these definitions: path rules, pattern matching, the catalog container, the
// guard authorisation file, the launcher description message, CDN chunking and object names,
// the translation bundle, and the launcher's version resource.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/crypto.h"

namespace nyra::publisher {

using tools::Bytes;
using tools::ByteView;

inline constexpr std::uint64_t kCdnChunkBytes = 67108864;        // 64 MiB
inline constexpr std::uint64_t kMaxPackBytes = 1073741824;       // 1 GiB
inline constexpr std::uint64_t kMaxEntryBytes = 134217728;       // 128 MiB, plain and stored
inline constexpr std::uint64_t kMaxContainerBytes = 41943040;    // 40 MiB
inline constexpr std::size_t kMaxEntries = 99999;
inline constexpr std::size_t kMaxPacks = 99;
inline constexpr std::size_t kMaxCdnPacks = 10;
inline constexpr std::size_t kMaxChunksPerPack = 16;
inline constexpr std::uint64_t kMinLauncherBytes = 65536;

// Empty when the catalog path is acceptable to the launcher, else the reason: 1 to 229 UTF-8
// bytes, no leading "/", no NUL or \ : < > " | ? *, no "." or ".." component, no empty
// component, valid UTF-8.
std::optional<std::string> pathProblem(std::string_view path);

// Patterns over catalog paths: "**" matches any run of characters including "/", "*" any run
// without "/", "?" one character other than "/"; everything else matches itself.
bool matchesPattern(std::string_view pattern, std::string_view path);
bool matchesAny(const std::vector<std::string>& patterns, std::string_view path);

// "nyra-" + three digits + ".pck".
std::string packFileName(std::size_t index);

// "NYRAIDX1" | nonce (12) | tag (16) | AES-256-GCM ciphertext of the catalog text.
Bytes catalogContainer(ByteView key, ByteView nonce, std::string_view catalogJson);

// Bytes 0..103 of "nyra.guard": "NYRAGRD1" and the raw SHA-256 of Launcher.exe, game.bin and
// NyraGuard.dll; the file is these bytes followed by their 384-byte signature.
Bytes guardSignedPart(const tools::Sha256Digest& launcher, const tools::Sha256Digest& game,
                      const tools::Sha256Digest& guardDll);
inline constexpr std::size_t kGuardFileBytes = 488;

// The 48 bytes the launcher description's signature covers: "NYRALCH1", the raw digest, the
// size as u64 little-endian.
Bytes launcherUpdateMessage(const tools::Sha256Digest& digest, std::uint64_t size);

// "base/" + pack digest + "/" + four-digit chunk index + ".bin".
std::string cdnObjectName(std::string_view packSha256, std::uint64_t chunkIndex);

struct ChunkRange {
    std::uint64_t offset;
    std::uint64_t size;
    std::string object;
};
// The chunks of a pack of the given size: offsets 0, c, 2c, ... with size min(rest, c).
std::vector<ChunkRange> cdnChunks(std::string_view packSha256, std::uint64_t packSize, std::uint64_t chunkBytes);

// Translation bundle: "NYRATRB1", u32 LE count, then per entry u16 LE name length, name, u32 LE
// data length, data. Throws std::runtime_error when an entry breaks the bundle rules (1 to 64
// entries, names "data/db/T_*.ini" of at least 15 ASCII bytes, data 1 to 16 MiB, bundle at most
// 64 MiB).
struct BundleEntry {
    std::string name;
    Bytes data;
};
Bytes translationBundle(const std::vector<BundleEntry>& entries);

// The file version of a PE file's version resource as "major.minor.build" (the form the launcher
// compares), or nothing when the file carries no fixed version record.
std::optional<std::string> peFileVersion(ByteView file);

// 1 to 31 characters, each a digit or ".".
bool validLauncherVersion(std::string_view version);

}  // namespace nyra::publisher
