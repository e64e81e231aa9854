#pragma once
// What a pack repair may take from the disk before it fetches anything: the record that ties a
// kept ".download" to the pack version it was received for, the chunks whose SHA-256 the CDN
// identity pins (any slice of the disk that hashes to one is that chunk), where a pack the CDN does
// not list resumes, and the free space a repair still needs.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "content/cdn.h"
#include "content/package.h"

namespace nyra {

inline constexpr std::uint64_t kRepairMarginBytes = 67108864;  // 64 MiB beyond what is still to be written
inline constexpr std::uint64_t kDownloadRecordLimit = 256;

// The whole content of the record beside a pack's ".download": format, catalog digest and size.
// A kept ".download" is used only when its record holds exactly this text.
std::string downloadRecord(const CatalogPack& pack);

// One chunk of a pack that the CDN identity lists.
struct PackChunk {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string sha256;
    std::string object;  // its CDN object name
};

// The pack's chunks in offset order, or none when the identity does not list the pack (path, size
// and digest must all match) or its chunks do not cover the pack exactly, end to end.
std::vector<PackChunk> packChunks(const nlohmann::json& identity, const CatalogPack& pack);

// The 4 MiB ranges (packRanges' cut) that start in [from, to), in order.
std::vector<ByteRange> rangesBetween(std::uint64_t packSize, std::uint64_t from, std::uint64_t to);

// Where a pack received only in ranges continues: after the last whole range of the kept bytes;
// 0 when more bytes are kept than the pack has (not this pack's file).
std::uint64_t resumeOffset(std::uint64_t keptBytes, std::uint64_t packSize) noexcept;

// True when the volume has room for the rest of the pack and the margin: bytes the ".download"
// already holds at their place count once, never against the margin again.
bool roomForRepair(std::uint64_t availableBytes, std::uint64_t packSize, std::uint64_t keptBytes) noexcept;

}  // namespace nyra
