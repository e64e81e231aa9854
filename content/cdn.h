#pragma once
// The CDN identity of the package policy and the CDN side of pack repair: object names, chunk
// lookup, the held object, background prefetch and the fall back to the backend. The transport
// (one HTTPS request per object) is the subclass's; everything else here is portable.
#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "content/package.h"

namespace nyra {

inline constexpr std::uint64_t kCdnChunkBytes = 67108864;       // 64 MiB
inline constexpr std::uint64_t kCdnMaxTotalBytes = 9000000000;
inline constexpr std::uint64_t kRangeBytes = 4194304;           // 4 MiB
inline constexpr unsigned kMaxPrefetchDepth = 3;

// "https://" + the CDN host of this build.
std::string cdnOrigin();

// "base/" + pack digest + "/" + four-digit index + ".bin".
std::string cdnObjectName(std::string_view packSha256, std::uint64_t chunkIndex);

// Throws "Invalid CDN identity" unless `identity` is a CDN identity of the fixed origin.
void validateCdnIdentity(const nlohmann::json& identity);

// Inclusive byte ranges of at most 4 MiB that cover a pack of `size` bytes, in order.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};
std::vector<ByteRange> packRanges(std::uint64_t size);

// Where a pack range lives on the CDN.
struct ChunkSlice {
    std::string object;
    std::uint64_t start = 0;  // relative to the chunk
    std::uint64_t end = 0;    // inclusive
    std::uint64_t chunkSize = 0;
    std::string sha256;
};
// Null when the identity does not list the pack (path, size and digest must all match) or no one
// chunk holds the whole range.
std::optional<ChunkSlice> findChunk(const nlohmann::json& identity, const CatalogPack& pack, std::uint64_t first,
                                    std::uint64_t last);

// One downloaded CDN object; `sha256` is filled when the transport hashed the bytes as they
// arrived (empty: BaseCDN hashes them itself).
struct CdnObject {
    std::vector<std::uint8_t> bytes;
    std::string sha256;
};

class BaseCDN {
public:
    // Validates the identity ("Invalid CDN identity"); the depth is clamped to 3.
    BaseCDN(const nlohmann::json& identity, unsigned prefetchDepth);
    virtual ~BaseCDN();
    BaseCDN(const BaseCDN&) = delete;
    BaseCDN& operator=(const BaseCDN&) = delete;

    // One whole object of `size` bytes, or an exception with an English "CDN ..." text. Runs on
    // background threads too: it may touch only its own connection and the two flags.
    virtual CdnObject fetchObject(const std::string& object, std::uint64_t size, std::atomic<bool>& cancel,
                                  std::atomic<bool>& stop) = 0;

    // Exactly bytes first..last of the pack, or false when the CDN cannot (or no longer may) serve
    // them. Any CDN failure disables the CDN for the rest of this object's life. Never throws.
    bool fetchRange(const CatalogPack& pack, std::uint64_t first, std::uint64_t last, std::vector<std::uint8_t>& out,
                    std::atomic<bool>& cancel) noexcept;

    // Starts background downloads of up to `depth` objects after `currentObject` in the pack.
    void prefetch(const CatalogPack& pack, const std::string& currentObject, std::atomic<bool>& cancel);

    bool disabled() const noexcept { return disabled_; }
    unsigned prefetchDepth() const noexcept { return depth_; }
    std::uint64_t fetchedBytes() const noexcept { return fetchedBytes_; }
    const nlohmann::json& identity() const noexcept { return identity_; }

protected:
    // Lower-case hex SHA-256 of an object.
    virtual std::string objectDigest(std::span<const std::uint8_t> bytes) = 0;
    // Sets the stop flag and waits for every background download. Subclasses call it first in
    // their destructor so that no download runs into a half-destroyed object.
    void stopBackground() noexcept;

private:
    void disable() noexcept;

    nlohmann::json identity_;
    unsigned depth_;
    bool disabled_ = false;
    std::atomic<bool> stop_{false};
    std::string heldName_;
    std::vector<std::uint8_t> held_;
    std::uint64_t fetchedBytes_ = 0;
    std::map<std::string, std::future<CdnObject>> background_;
};

}  // namespace nyra
