// CDN identity rules, object names, pack ranges and BaseCDN's range service over a scripted
// object source (held object, prefetch, disabling, cancellation).
#include "content/cdn.h"
#include "core/tests/failure_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace nyra {
namespace {

using nlohmann::json;
using test::failureOf;

// A stand-in digest: the tests only need the CDN to compare what the identity pins with what the
// object source delivered.
std::string fakeDigest(std::span<const std::uint8_t> bytes) {
    // Every 61st byte plus the first 4096 (a prime stride touches every byte class); enough to see
    // the tests' flipped bytes without hashing 64 MiB under the sanitizers.
    std::uint64_t h = 1469598103934665603ULL ^ bytes.size();
    for (std::size_t i = 0; i < bytes.size(); i += (i < 4096 ? 1 : 61)) h = (h ^ bytes[i]) * 1099511628211ULL;
    const std::uint8_t raw[8] = {static_cast<std::uint8_t>(h >> 56), static_cast<std::uint8_t>(h >> 48),
                                 static_cast<std::uint8_t>(h >> 40), static_cast<std::uint8_t>(h >> 32),
                                 static_cast<std::uint8_t>(h >> 24), static_cast<std::uint8_t>(h >> 16),
                                 static_cast<std::uint8_t>(h >> 8),  static_cast<std::uint8_t>(h)};
    const std::string part = toHex(raw);
    return part + part + part + part;
}

std::vector<std::uint8_t> packBytes(std::uint64_t offset, std::uint64_t size) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>((offset + i) * 7 + 3);
    return bytes;
}

const std::string kPackSha(64, 'e');

json cdnPack(const std::string& path, std::uint64_t size, const std::string& sha = kPackSha) {
    json chunks = json::array();
    for (std::uint64_t offset = 0; offset < size; offset += kCdnChunkBytes) {
        const std::uint64_t chunkSize = std::min(size - offset, kCdnChunkBytes);
        // Digests of real bytes only for small chunks; large ones get computed by tests that use them.
        chunks.push_back({{"offset", offset},
                          {"size", chunkSize},
                          {"sha256", std::string(64, '0')},
                          {"object", cdnObjectName(sha, offset / kCdnChunkBytes)}});
    }
    return {{"path", path}, {"sha256", sha}, {"size", size}, {"chunks", chunks}};
}

json identityOf(json packs) {
    return {{"format", 1}, {"origin", cdnOrigin()}, {"chunk_bytes", kCdnChunkBytes}, {"packs", std::move(packs)}};
}

bool accepted(const json& identity) {
    try {
        validateCdnIdentity(identity);
        return true;
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid CDN identity");
        return false;
    }
}

TEST(CdnIdentity, ObjectNamesCarryTheFourDigitIndex) {
    EXPECT_EQ(cdnObjectName(kPackSha, 3), "base/" + kPackSha + "/0003.bin");
    EXPECT_EQ(cdnObjectName(kPackSha, 0), "base/" + kPackSha + "/0000.bin");
    EXPECT_EQ(cdnObjectName(kPackSha, 15), "base/" + kPackSha + "/0015.bin");
}

TEST(CdnIdentity, TableOfRejectedIdentities) {
    const json good = identityOf({cdnPack("nyra-000.pck", 1000), cdnPack("nyra-001.pck", kCdnChunkBytes * 2 + 5)});
    ASSERT_TRUE(accepted(good));

    json signedNumbers = good;
    signedNumbers["format"] = static_cast<std::int64_t>(1);
    signedNumbers["chunk_bytes"] = static_cast<std::int64_t>(kCdnChunkBytes);
    EXPECT_TRUE(accepted(signedNumbers));

    std::vector<std::pair<std::string, std::function<void(json&)>>> mutations = {
        {"format 2", [](json& j) { j["format"] = 2; }},
        {"other origin", [](json& j) { j["origin"] = "https://elsewhere.example"; }},
        {"chunk bytes", [](json& j) { j["chunk_bytes"] = 1048576; }},
        {"no packs", [](json& j) { j["packs"] = json::array(); }},
        {"eleven packs",
         [](json& j) {
             j["packs"] = json::array();
             for (int i = 0; i < 11; ++i) j["packs"].push_back(cdnPack("nyra-00" + std::to_string(i % 10) + ".pck", 10));
         }},
        {"duplicate path", [](json& j) { j["packs"][1]["path"] = "nyra-000.pck"; }},
        {"pack number 10", [](json& j) { j["packs"][1]["path"] = "nyra-010.pck"; }},
        {"upper-case digest", [](json& j) { j["packs"][0]["sha256"] = std::string(64, 'E'); }},
        {"size zero", [](json& j) { j["packs"][0]["size"] = 0; }},
        {"size above 1 GiB", [](json& j) { j["packs"][0]["size"] = kMaxPackSize + 1; }},
        {"seventeen chunks",
         [](json& j) {
             for (int i = 0; i < 16; ++i) j["packs"][0]["chunks"].push_back(j["packs"][0]["chunks"][0]);
         }},
        {"offset not a multiple", [](json& j) { j["packs"][1]["chunks"][1]["offset"] = kCdnChunkBytes + 1; }},
        {"offset not increasing", [](json& j) { std::swap(j["packs"][1]["chunks"][0], j["packs"][1]["chunks"][1]); }},
        {"chunk size not min(rest, 64 MiB)", [](json& j) { j["packs"][1]["chunks"][2]["size"] = 4; }},
        {"chunk offset past the pack", [](json& j) { j["packs"][0]["chunks"][0]["offset"] = kCdnChunkBytes; }},
        {"object name", [](json& j) { j["packs"][1]["chunks"][1]["object"] = cdnObjectName(kPackSha, 2); }},
        {"chunk digest", [](json& j) { j["packs"][0]["chunks"][0]["sha256"] = "abc"; }},
        {"negative size", [](json& j) { j["packs"][0]["size"] = -1000; }},
        {"fractional size", [](json& j) { j["packs"][0]["size"] = 1000.0; }},
    };
    for (auto& [name, mutate] : mutations) {
        json copy = good;
        mutate(copy);
        EXPECT_FALSE(accepted(copy)) << name;
    }
}

TEST(CdnIdentity, TotalOfChunkSizesIsCappedAtNineBillionBytes) {
    // Nine full 1 GiB packs are 9663676416 bytes: use nine packs whose sizes add up exactly.
    const std::uint64_t each = 1000000000;
    json packs = json::array();
    for (int i = 0; i < 9; ++i) packs.push_back(cdnPack("nyra-00" + std::to_string(i) + ".pck", each));
    EXPECT_TRUE(accepted(identityOf(packs)));
    packs.push_back(cdnPack("nyra-009.pck", 1));
    EXPECT_FALSE(accepted(identityOf(packs)));
}

TEST(PackRanges, FourMebibytePiecesCoverThePack) {
    const auto two = packRanges(4194305);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].first, 0u);
    EXPECT_EQ(two[0].last, 4194303u);
    EXPECT_EQ(two[1].first, 4194304u);
    EXPECT_EQ(two[1].last, 4194304u);
    EXPECT_EQ(packRanges(4194304).size(), 1u);
    EXPECT_EQ(packRanges(1).size(), 1u);
    EXPECT_TRUE(packRanges(0).empty());
    EXPECT_EQ(packRanges(kMaxPackSize).size(), 256u);
}

// FNV-1a over every byte fed, in order; counts what it was fed and can be told to fail.
class CountingHash final : public StreamingHash {
public:
    struct Seen {
        std::atomic<std::size_t> fed{0};
        bool failOnUpdate = false;
    };
    explicit CountingHash(Seen& seen) : seen_(seen) {}
    void update(std::span<const std::uint8_t> bytes) override {
        if (seen_.failOnUpdate) throw std::runtime_error("Falha de integridade.");
        for (const std::uint8_t b : bytes) state_ = (state_ ^ b) * 1099511628211ULL;
        seen_.fed += bytes.size();
    }
    std::string finishHex() override { return std::to_string(state_); }
    static std::string of(std::span<const std::uint8_t> bytes) {
        Seen seen;
        CountingHash hash(seen);
        hash.update(bytes);
        return hash.finishHex();
    }

private:
    Seen& seen_;
    std::uint64_t state_ = 1469598103934665603ULL;
};

template <typename Condition>
bool eventually(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(ConcurrentDigest, HashesWhileTheBufferFillsAndMatchesOnePass) {
    const std::vector<std::uint8_t> source = packBytes(11, 3 * ConcurrentDigest::kStep + 5);
    std::vector<std::uint8_t> buffer(source.size());
    CountingHash::Seen seen;
    ConcurrentDigest digest(std::make_unique<CountingHash>(seen), buffer);
    std::size_t filled = 0;
    for (const std::size_t piece : {std::size_t{300000}, ConcurrentDigest::kStep, std::size_t{1}, ConcurrentDigest::kStep}) {
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(filled), piece,
                    buffer.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += piece;
        digest.advance(filled);
    }
    // Two whole steps are there: the hashing runs before the buffer is full.
    ASSERT_TRUE(eventually([&] { return seen.fed >= 2 * ConcurrentDigest::kStep; }));
    EXPECT_LT(seen.fed.load(), source.size());
    std::copy(source.begin() + static_cast<std::ptrdiff_t>(filled), source.end(),
              buffer.begin() + static_cast<std::ptrdiff_t>(filled));
    digest.advance(source.size());
    EXPECT_EQ(digest.finish(), CountingHash::of(source));
    EXPECT_EQ(seen.fed.load(), source.size());
}

TEST(ConcurrentDigest, AnAbandonedDigestStopsAndAFailedHashReachesFinish) {
    std::vector<std::uint8_t> buffer(2 * ConcurrentDigest::kStep);
    {
        CountingHash::Seen seen;
        ConcurrentDigest digest(std::make_unique<CountingHash>(seen), buffer);
        digest.advance(ConcurrentDigest::kStep);
        ASSERT_TRUE(eventually([&] { return seen.fed == ConcurrentDigest::kStep; }));
        // Destroyed while it waits for the rest (a failed download): joins without hashing more.
    }
    CountingHash::Seen failing;
    failing.failOnUpdate = true;
    ConcurrentDigest digest(std::make_unique<CountingHash>(failing), buffer);
    digest.advance(buffer.size());
    EXPECT_EQ(failureOf([&] { digest.finish(); }), "Falha de integridade.");
}

// Objects come from the tests' scripted source; every request is logged.
class ScriptedCdn final : public BaseCDN {
public:
    using Source = std::function<std::vector<std::uint8_t>(const std::string&, std::uint64_t, std::atomic<bool>&,
                                                            std::atomic<bool>&)>;
    ScriptedCdn(const json& identity, Source source) : BaseCDN(identity, 1), source_(std::move(source)) {}
    ~ScriptedCdn() override { stopBackground(); }

    CdnObject fetchObject(const std::string& object, std::uint64_t size, std::atomic<bool>& cancel,
                          std::atomic<bool>& stop) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requested_.push_back(object);
        }
        return {source_(object, size, cancel, stop), {}};
    }
    std::vector<std::string> requested() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requested_;
    }
    // Replaces the 100-ms slices of the wait for a background download.
    std::function<bool(std::future<CdnObject>&)> waitSlice;

protected:
    std::string objectDigest(std::span<const std::uint8_t> bytes) override { return fakeDigest(bytes); }
    bool backgroundEnded(std::future<CdnObject>& download) override {
        return waitSlice ? waitSlice(download) : BaseCDN::backgroundEnded(download);
    }

private:
    Source source_;
    std::mutex mutex_;
    std::vector<std::string> requested_;
};

class BaseCdnRanges : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSize = kCdnChunkBytes + 1;
    void SetUp() override {
        pack = {"nyra-001.pck", kSize, kPackSha};
        json listed = cdnPack(pack.path, kSize);
        listed["chunks"][0]["sha256"] = fakeDigest(packBytes(0, kCdnChunkBytes));
        listed["chunks"][1]["sha256"] = fakeDigest(packBytes(kCdnChunkBytes, 1));
        identity = identityOf({listed, cdnPack("nyra-000.pck", 100)});
    }
    static std::vector<std::uint8_t> serve(const std::string& object, std::uint64_t size) {
        const std::uint64_t index = object.ends_with("0001.bin") ? 1 : 0;
        return packBytes(index * kCdnChunkBytes, size);
    }
    CatalogPack pack;
    json identity;
    std::atomic<bool> cancel{false};
};

TEST_F(BaseCdnRanges, SixteenRangesFromTheFirstObjectThenThePrefetchedSecond) {
    ScriptedCdn cdn(identity, [](const std::string& object, std::uint64_t size, auto&, auto&) {
        return serve(object, size);
    });
    std::span<const std::uint8_t> out;
    const auto ranges = packRanges(kSize);
    ASSERT_EQ(ranges.size(), 17u);
    for (const auto& range : ranges) {
        ASSERT_TRUE(cdn.fetchRange(pack, range.first, range.last, out, cancel));
        ASSERT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()), packBytes(range.first, range.last - range.first + 1));
    }
    // The successor starts in the background before the first object is awaited, so the two
    // requests may arrive in either order; each object is fetched once.
    auto requested = cdn.requested();
    std::sort(requested.begin(), requested.end());
    EXPECT_EQ(requested, (std::vector<std::string>{cdnObjectName(kPackSha, 0), cdnObjectName(kPackSha, 1)}));
    EXPECT_EQ(cdn.fetchedBytes(), kSize);
    EXPECT_FALSE(cdn.disabled());
}

// A successor whose bytes the disk already holds is not downloaded in the background.
TEST_F(BaseCdnRanges, ASkippedSuccessorIsNotPrefetched) {
    std::mutex mutex;
    std::vector<std::string> served;
    {
        ScriptedCdn cdn(identity, [&](const std::string& object, std::uint64_t size, auto&, auto&) {
            std::lock_guard<std::mutex> lock(mutex);
            served.push_back(object);
            return serve(object, size);
        });
        cdn.skipObject(cdnObjectName(kPackSha, 1));
        std::span<const std::uint8_t> out;
        for (const auto& range : packRanges(kCdnChunkBytes)) {
            ASSERT_TRUE(cdn.fetchRange(pack, range.first, range.last, out, cancel));
        }
    }  // every background download has ended here
    EXPECT_EQ(served, std::vector<std::string>{cdnObjectName(kPackSha, 0)});
}

TEST_F(BaseCdnRanges, AnUnlistedPackIsNotServedAndLeavesTheCdnEnabled) {
    ScriptedCdn cdn(identity, [](const std::string& object, std::uint64_t size, auto&, auto&) {
        return serve(object, size);
    });
    const std::uint8_t stale = 1;
    std::span<const std::uint8_t> out(&stale, 1);
    for (const CatalogPack& other : {CatalogPack{"nyra-002.pck", kSize, kPackSha},
                                     CatalogPack{"nyra-001.pck", kSize + 1, kPackSha},
                                     CatalogPack{"nyra-001.pck", kSize, std::string(64, 'f')}}) {
        EXPECT_FALSE(cdn.fetchRange(other, 0, 99, out, cancel));
        EXPECT_TRUE(out.empty());
    }
    // A range across two chunks has no one object to come from.
    EXPECT_FALSE(cdn.fetchRange(pack, kCdnChunkBytes - 1, kCdnChunkBytes, out, cancel));
    EXPECT_FALSE(cdn.disabled());
    EXPECT_TRUE(cdn.requested().empty());
}

TEST_F(BaseCdnRanges, AnyObjectFailureDisablesTheCdnForGood) {
    struct Case {
        const char* name;
        ScriptedCdn::Source source;
    };
    const Case cases[] = {
        {"digest", [](const std::string& o, std::uint64_t s, auto&, auto&) {
             auto bytes = serve(o, s);
             bytes[0] ^= 1;
             return bytes;
         }},
        {"short", [](const std::string& o, std::uint64_t s, auto&, auto&) { return serve(o, s - 1); }},
        {"transport", [](const std::string&, std::uint64_t, auto&, auto&) -> std::vector<std::uint8_t> {
             throw std::runtime_error("CDN transport failed");
         }},
    };
    for (const auto& c : cases) {
        ScriptedCdn cdn(identity, c.source);
        std::span<const std::uint8_t> out;
        EXPECT_FALSE(cdn.fetchRange(pack, 0, 99, out, cancel)) << c.name;
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(cdn.disabled()) << c.name;
        const auto asked = cdn.requested().size();
        EXPECT_FALSE(cdn.fetchRange(pack, 0, 99, out, cancel)) << c.name;
        EXPECT_EQ(cdn.requested().size(), asked) << c.name;
    }
}

TEST_F(BaseCdnRanges, ACancelDuringABackgroundDownloadStopsItThroughTheStopFlag) {
    // The second object's download notices only the stop flag, so it ends only if the wait turns
    // the cancel into the stop flag.
    std::atomic<bool> secondStarted{false};
    std::atomic<bool> sawStop{false};
    ScriptedCdn cdn(identity, [&](const std::string& object, std::uint64_t size, std::atomic<bool>&,
                                  std::atomic<bool>& stop) -> std::vector<std::uint8_t> {
        if (object.ends_with("0000.bin")) return serve(object, size);
        secondStarted = true;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
        if (!stop) return serve(object, size);
        sawStop = true;
        throw std::runtime_error("CDN preparation cancelled");
    });
    std::span<const std::uint8_t> out;
    ASSERT_TRUE(cdn.fetchRange(pack, 0, 99, out, cancel));

    int slices = 0;
    cdn.waitSlice = [&](std::future<CdnObject>& download) {
        if (++slices == 1) {
            // The player cancels while the wait is under way and the download is running.
            while (!secondStarted) std::this_thread::yield();
            cancel = true;
            return false;
        }
        return download.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    };
    EXPECT_FALSE(cdn.fetchRange(pack, kCdnChunkBytes, kCdnChunkBytes, out, cancel));
    EXPECT_GE(slices, 2);
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(cdn.disabled());
    EXPECT_EQ(cdn.fetchedBytes(), kCdnChunkBytes);
}

TEST_F(BaseCdnRanges, ACancelledCallNeverFetches) {
    ScriptedCdn cdn(identity, [](const std::string& o, std::uint64_t s, auto&, auto&) { return serve(o, s); });
    cancel = true;
    std::span<const std::uint8_t> out;
    EXPECT_FALSE(cdn.fetchRange(pack, 0, 99, out, cancel));
    EXPECT_TRUE(cdn.requested().empty());
    EXPECT_TRUE(cdn.disabled());
}

}  // namespace
}  // namespace nyra
