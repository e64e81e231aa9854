#pragma once
// The CDN identity of the package policy and the CDN side of pack repair: object names, chunk
// lookup, the held object, background prefetch and the fall back to the backend. The transport
// (one HTTPS request per object) is the subclass's; everything else here is portable.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
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

// A SHA-256 fed piece by piece (the platform's in the product).
class StreamingHash {
public:
    virtual ~StreamingHash() = default;
    virtual void update(std::span<const std::uint8_t> bytes) = 0;
    // Lower-case hex digest of everything fed.
    virtual std::string finishHex() = 0;
};

// Hashes a buffer on a thread of its own while the transport fills it from the front, so that
// the digest is ready about when the last byte has arrived instead of one hashing pass later.
// The hashing thread wakes only once a whole step (or the end) is there to hash.
class ConcurrentDigest {
public:
    static constexpr std::size_t kStep = 1048576;

    ConcurrentDigest(std::unique_ptr<StreamingHash> hash, std::span<const std::uint8_t> buffer);
    // Abandons an unfinished digest: the thread stops at its next step and is joined.
    ~ConcurrentDigest();
    ConcurrentDigest(const ConcurrentDigest&) = delete;
    ConcurrentDigest& operator=(const ConcurrentDigest&) = delete;

    // Bytes [0, filled) of the buffer are final; they are never written again.
    void advance(std::size_t filled) noexcept;
    // Waits for the digest of the whole buffer (every byte must have been announced) and returns
    // it; rethrows what the hash threw.
    std::string finish();

private:
    void run() noexcept;
    std::size_t wakeAt(std::size_t hashed) const noexcept;

    std::unique_ptr<StreamingHash> hash_;
    std::span<const std::uint8_t> buffer_;
    std::atomic<std::size_t> filled_{0};
    std::atomic<bool> sleeping_{false};
    std::atomic<std::size_t> wakeAt_{0};
    std::atomic<bool> abandoned_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::string digest_;
    std::exception_ptr failure_;
    std::thread thread_;  // last: starts once everything above exists
};

class BaseCDN {
public:
    // Validates the identity ("Invalid CDN identity"); the depth is clamped to 3.
    BaseCDN(const nlohmann::json& identity, unsigned prefetchDepth);

    // One whole object of `size` bytes, or an exception with an English "CDN ..." text. Runs on
    // background threads too: it may touch only its own connection and the two flags.
    virtual CdnObject fetchObject(const std::string& object, std::uint64_t size, std::atomic<bool>& cancel,
                                  std::atomic<bool>& stop) = 0;
    virtual ~BaseCDN();
    BaseCDN(const BaseCDN&) = delete;
    BaseCDN& operator=(const BaseCDN&) = delete;

    // Exactly bytes first..last of the pack as a view of the held object, or false (and an empty
    // view) when the CDN cannot (or no longer may) serve them. The view stays valid until the
    // next call of fetchRange or the end of this object. Any CDN failure disables the CDN for the
    // rest of this object's life. Never throws.
    bool fetchRange(const CatalogPack& pack, std::uint64_t first, std::uint64_t last,
                    std::span<const std::uint8_t>& out, std::atomic<bool>& cancel) noexcept;

    // The object is not needed (its bytes are on the disk already): prefetch passes over it.
    void skipObject(const std::string& object) { skipped_.insert(object); }

    // Starts background downloads of up to `depth` objects after `currentObject` in the pack,
    // passing over skipped ones.
    void prefetch(const CatalogPack& pack, const std::string& currentObject, std::atomic<bool>& cancel);

    bool disabled() const noexcept { return disabled_; }
    unsigned prefetchDepth() const noexcept { return depth_; }
    std::uint64_t fetchedBytes() const noexcept { return fetchedBytes_; }
    const nlohmann::json& identity() const noexcept { return identity_; }

protected:
    // Lower-case hex SHA-256 of an object.
    virtual std::string objectDigest(std::span<const std::uint8_t> bytes) = 0;
    // One slice of the wait for a background download: true once it has ended. Waits up to
    // 100 ms, so that a cancel is turned into the stop flag within a slice.
    virtual bool backgroundEnded(std::future<CdnObject>& download);
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
    std::set<std::string> skipped_;
};

}  // namespace nyra
