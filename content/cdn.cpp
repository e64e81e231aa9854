#include "content/cdn.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>

#include "core/deployment.h"
#include "core/json_limits.h"

namespace nyra {
namespace {

using nlohmann::json;

[[noreturn]] void invalid() { throw std::runtime_error("Invalid CDN identity"); }

// A JSON integer (signed or unsigned) that is not negative.
std::optional<std::uint64_t> whole(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) return std::nullopt;
    return unsignedUpTo(*it);
}

std::string text(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) invalid();
    return it->get<std::string>();
}

bool isCdnPackPath(const std::string& path) {
    return path.size() == 12 && path.compare(0, 7, "nyra-00") == 0 && path[7] >= '0' && path[7] <= '9' &&
           path.compare(8, 4, ".pck") == 0;
}

const json* listedPack(const json& identity, const CatalogPack& pack) {
    for (const auto& candidate : identity.at("packs")) {
        if (candidate.at("path") == pack.path && candidate.at("sha256") == pack.sha256 &&
            whole(candidate, "size") == pack.size) {
            return &candidate;
        }
    }
    return nullptr;
}

}  // namespace

std::string cdnOrigin() { return "https://" + std::string(deployment().cdnHost); }

std::string cdnObjectName(std::string_view packSha256, std::uint64_t chunkIndex) {
    std::string index = std::to_string(chunkIndex);
    if (index.size() < 4) index.insert(0, 4 - index.size(), '0');
    return "base/" + std::string(packSha256) + "/" + index + ".bin";
}

void validateCdnIdentity(const json& identity) {
    if (!identity.is_object() || whole(identity, "format") != 1u || whole(identity, "chunk_bytes") != kCdnChunkBytes) {
        invalid();
    }
    if (text(identity, "origin") != cdnOrigin()) invalid();
    const auto packs = identity.find("packs");
    if (packs == identity.end() || !packs->is_array() || packs->empty() || packs->size() > 10) invalid();
    std::set<std::string> seen;
    std::uint64_t total = 0;
    for (const auto& pack : *packs) {
        if (!pack.is_object()) invalid();
        const std::string path = text(pack, "path");
        const std::string sha = text(pack, "sha256");
        const auto size = whole(pack, "size");
        if (!isCdnPackPath(path) || !isDigestText(sha) || !size || *size < 1 || *size > kMaxPackSize ||
            !seen.insert(path).second) {
            invalid();
        }
        const auto chunks = pack.find("chunks");
        if (chunks == pack.end() || !chunks->is_array() || chunks->empty() || chunks->size() > 16) invalid();
        std::optional<std::uint64_t> previous;
        for (const auto& chunk : *chunks) {
            if (!chunk.is_object()) invalid();
            const auto offset = whole(chunk, "offset");
            const auto chunkSize = whole(chunk, "size");
            if (!offset || *offset >= *size || *offset % kCdnChunkBytes != 0 || (previous && *offset <= *previous)) {
                invalid();
            }
            if (!chunkSize || *chunkSize != std::min(*size - *offset, kCdnChunkBytes)) invalid();
            if (!isDigestText(text(chunk, "sha256"))) invalid();
            if (text(chunk, "object") != cdnObjectName(sha, *offset / kCdnChunkBytes)) invalid();
            total += *chunkSize;
            if (total > kCdnMaxTotalBytes) invalid();
            previous = offset;
        }
    }
}

std::vector<ByteRange> packRanges(std::uint64_t size) {
    std::vector<ByteRange> ranges;
    ranges.reserve(static_cast<std::size_t>((size + kRangeBytes - 1) / kRangeBytes));
    for (std::uint64_t first = 0; first < size; first += kRangeBytes) {
        ranges.push_back({first, std::min(first + kRangeBytes, size) - 1});
    }
    return ranges;
}

std::optional<ChunkSlice> findChunk(const json& identity, const CatalogPack& pack, std::uint64_t first,
                                    std::uint64_t last) {
    if (first > last || last - first >= kRangeBytes) return std::nullopt;
    const json* listed = listedPack(identity, pack);
    if (listed == nullptr) return std::nullopt;
    for (const auto& chunk : listed->at("chunks")) {
        const std::uint64_t offset = *whole(chunk, "offset");
        const std::uint64_t size = *whole(chunk, "size");
        if (offset <= first && first < offset + size && offset <= last && last < offset + size) {
            return ChunkSlice{chunk.at("object").get<std::string>(), first - offset, last - offset, size,
                              chunk.at("sha256").get<std::string>()};
        }
    }
    return std::nullopt;
}

ConcurrentDigest::ConcurrentDigest(std::unique_ptr<StreamingHash> hash, std::span<const std::uint8_t> buffer)
    : hash_(std::move(hash)), buffer_(buffer), thread_(&ConcurrentDigest::run, this) {}

ConcurrentDigest::~ConcurrentDigest() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::size_t ConcurrentDigest::wakeAt(std::size_t hashed) const noexcept {
    return std::min(hashed + kStep, buffer_.size());
}

void ConcurrentDigest::advance(std::size_t filled) noexcept {
    filled_ = std::min(filled, buffer_.size());
    // The sleeper publishes its wake-up mark before it says it sleeps, and checks the fill level
    // after: either it sees this fill level or this call sees it sleeping.
    if (sleeping_ && filled_ >= wakeAt_) {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
    }
}

void ConcurrentDigest::run() noexcept {
    std::string digest;
    std::exception_ptr failure;
    try {
        std::size_t hashed = 0;
        while (hashed < buffer_.size()) {
            if (filled_ < wakeAt(hashed)) {
                std::unique_lock<std::mutex> lock(mutex_);
                wakeAt_ = wakeAt(hashed);
                sleeping_ = true;
                changed_.wait(lock, [&] { return abandoned_ || filled_ >= wakeAt(hashed); });
                sleeping_ = false;
            }
            if (abandoned_) return;
            // One step at a time, so that an abandoned digest stops soon.
            const std::size_t end = std::min(filled_.load(), hashed + kStep);
            hash_->update(buffer_.subspan(hashed, end - hashed));
            hashed = end;
        }
        digest = hash_->finishHex();
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        digest_ = std::move(digest);
        failure_ = failure;
        done_ = true;
    }
    changed_.notify_all();
}

std::string ConcurrentDigest::finish() {
    if (filled_ != buffer_.size()) throw std::logic_error("digest of a buffer not yet filled");
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return done_; });
    }
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    return digest_;
}

BaseCDN::BaseCDN(const json& identity, unsigned prefetchDepth)
    : depth_(std::min(prefetchDepth, kMaxPrefetchDepth)) {
    validateCdnIdentity(identity);
    identity_ = identity;
}

BaseCDN::~BaseCDN() { stopBackground(); }

void BaseCDN::stopBackground() noexcept {
    stop_ = true;
    for (auto& [name, download] : background_) {
        if (download.valid()) download.wait();
    }
    background_.clear();
}

void BaseCDN::disable() noexcept {
    disabled_ = true;
    stopBackground();
    std::vector<std::uint8_t>().swap(held_);  // pack ciphertext: nothing secret to wipe
    heldName_.clear();
}

void BaseCDN::prefetch(const CatalogPack& pack, const std::string& currentObject, std::atomic<bool>& cancel) {
    const json* listed = listedPack(identity_, pack);
    if (listed == nullptr) return;
    const auto& chunks = listed->at("chunks");
    auto current = std::find_if(chunks.begin(), chunks.end(),
                                [&](const json& chunk) { return chunk.at("object") == currentObject; });
    if (current == chunks.end()) return;
    unsigned started = 0;
    for (auto next = std::next(current); next != chunks.end() && started < depth_; ++next) {
        const std::string name = next->at("object").get<std::string>();
        if (skipped_.count(name) != 0) continue;
        ++started;
        if (background_.count(name) != 0) continue;
        const std::uint64_t size = *whole(*next, "size");
        background_.emplace(name, std::async(std::launch::async, [this, name, size, &cancel] {
                                return fetchObject(name, size, cancel, stop_);
                            }));
    }
}

bool BaseCDN::backgroundEnded(std::future<CdnObject>& download) {
    return download.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
}

bool BaseCDN::fetchRange(const CatalogPack& pack, std::uint64_t first, std::uint64_t last,
                         std::span<const std::uint8_t>& out, std::atomic<bool>& cancel) noexcept {
    out = {};
    if (disabled_) return false;
    std::optional<ChunkSlice> slice;
    try {
        slice = findChunk(identity_, pack, first, last);
    } catch (...) {
        return false;
    }
    if (!slice) return false;
    try {
        if (cancel) throw std::runtime_error("CDN preparation cancelled");
        if (heldName_ != slice->object) {
            std::future<CdnObject> download;
            if (const auto it = background_.find(slice->object); it != background_.end()) {
                download = std::move(it->second);
                background_.erase(it);
            }
            if (depth_ > 0) prefetch(pack, slice->object, cancel);
            CdnObject object;
            if (download.valid()) {
                while (!backgroundEnded(download)) {
                    if (cancel) stop_ = true;
                }
                object = download.get();
            } else {
                object = fetchObject(slice->object, slice->chunkSize, cancel, stop_);
            }
            if (object.bytes.size() != slice->chunkSize) throw std::runtime_error("CDN ciphertext identity mismatch");
            if (object.sha256.empty()) object.sha256 = objectDigest(object.bytes);
            if (object.sha256 != slice->sha256) throw std::runtime_error("CDN ciphertext identity mismatch");
            held_ = std::move(object.bytes);
            heldName_ = slice->object;
            fetchedBytes_ += held_.size();
        }
        out = std::span<const std::uint8_t>(held_).subspan(static_cast<std::size_t>(slice->start),
                                                           static_cast<std::size_t>(slice->end - slice->start + 1));
        return true;
    } catch (...) {
        disable();
        out = {};
        return false;
    }
}

}  // namespace nyra
