// What a repair takes from the disk before it fetches: the kept ".download"'s record, the chunks
// the CDN identity proves, where a range-only pack resumes and the free-space rule.
#include "content/repair_plan.h"

#include <gtest/gtest.h>

namespace nyra {
namespace {

using nlohmann::json;

constexpr std::uint64_t kMiB = 1048576;

json listedPack(const std::string& path, const std::string& sha, std::uint64_t size, json chunks) {
    return {{"path", path}, {"sha256", sha}, {"size", size}, {"chunks", std::move(chunks)}};
}

json chunk(std::uint64_t offset, std::uint64_t size, char digit) {
    return {{"offset", offset}, {"size", size}, {"sha256", std::string(64, digit)}, {"object", "o"}};
}

TEST(RepairPlan, RecordNamesTheCatalogDigestAndSizeOfOnePackVersion) {
    const CatalogPack pack{"nyra-001.pck", 75497472, std::string(64, 'a')};
    EXPECT_EQ(downloadRecord(pack), "NYRADL01 " + std::string(64, 'a') + " 75497472\n");
    CatalogPack other = pack;
    other.size += 1;
    EXPECT_NE(downloadRecord(other), downloadRecord(pack));
    other = pack;
    other.sha256 = std::string(64, 'b');
    EXPECT_NE(downloadRecord(other), downloadRecord(pack));
}

TEST(RepairPlan, ChunksOnlyForTheListedVersionAndOnlyWhenTheyCoverThePackEndToEnd) {
    const std::uint64_t size = 2 * kCdnChunkBytes + 5;
    const std::string sha(64, 'c');
    const json chunks = {chunk(0, kCdnChunkBytes, '1'), chunk(kCdnChunkBytes, kCdnChunkBytes, '2'),
                         chunk(2 * kCdnChunkBytes, 5, '3')};
    const json identity = {{"packs", {listedPack("nyra-000.pck", std::string(64, 'd'), 9, {chunk(0, 9, '9')}),
                                      listedPack("nyra-001.pck", sha, size, chunks)}}};
    const auto found = packChunks(identity, {"nyra-001.pck", size, sha});
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[1].offset, kCdnChunkBytes);
    EXPECT_EQ(found[1].size, kCdnChunkBytes);
    EXPECT_EQ(found[1].sha256, std::string(64, '2'));
    EXPECT_EQ(found[2].size, 5u);

    // Another version of the pack (digest or size), an unlisted pack: nothing to prove slices with.
    EXPECT_TRUE(packChunks(identity, {"nyra-001.pck", size, std::string(64, 'e')}).empty());
    EXPECT_TRUE(packChunks(identity, {"nyra-001.pck", size + 1, sha}).empty());
    EXPECT_TRUE(packChunks(identity, {"nyra-002.pck", size, sha}).empty());
    // A gap, an overlap or a short cover proves nothing either.
    for (const json& broken : {json{chunk(0, kCdnChunkBytes, '1'), chunk(kCdnChunkBytes + 1, kCdnChunkBytes + 4, '2')},
                               json{chunk(0, kCdnChunkBytes, '1'), chunk(kCdnChunkBytes - 1, kCdnChunkBytes + 6, '2')},
                               json{chunk(0, kCdnChunkBytes, '1'), chunk(kCdnChunkBytes, kCdnChunkBytes, '2')}}) {
        const json other = {{"packs", {listedPack("nyra-001.pck", sha, size, broken)}}};
        EXPECT_TRUE(packChunks(other, {"nyra-001.pck", size, sha}).empty()) << broken.dump();
    }
    EXPECT_TRUE(packChunks(json::object(), {"nyra-001.pck", size, sha}).empty());
}

TEST(RepairPlan, RangesOfAChunkOrOfAResumedTailFollowTheWholePacksCut) {
    const std::uint64_t size = kCdnChunkBytes + 4 * kMiB + 1;
    const auto all = packRanges(size);
    const auto first = rangesBetween(size, 0, kCdnChunkBytes);
    const auto rest = rangesBetween(size, kCdnChunkBytes, size);
    ASSERT_EQ(first.size(), 16u);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(first.size() + rest.size(), all.size());
    EXPECT_EQ(rest[0].first, kCdnChunkBytes);
    EXPECT_EQ(rest[1].first, kCdnChunkBytes + 4 * kMiB);
    EXPECT_EQ(rest[1].last, size - 1);
    EXPECT_TRUE(rangesBetween(size, size, size).empty());
}

TEST(RepairPlan, ResumeAfterTheLastWholeRangeKept) {
    struct Case {
        std::uint64_t kept, size, expected;
    } cases[] = {
        {0, 10 * kMiB, 0},
        {4 * kMiB - 1, 10 * kMiB, 0},
        {4 * kMiB, 10 * kMiB, 4 * kMiB},
        {9 * kMiB, 10 * kMiB, 8 * kMiB},
        {10 * kMiB, 10 * kMiB, 8 * kMiB},  // the last range is fetched again, so that it is written whole
        {10 * kMiB + 1, 10 * kMiB, 0},     // longer than the pack: not this pack's file
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resumeOffset(c.kept, c.size), c.expected) << c.kept;
    }
}

TEST(RepairPlan, FreeSpaceCountsKeptBytesOnceAndTheMarginOnce) {
    struct Case {
        std::uint64_t available, size, kept;
        bool room;
    } cases[] = {
        {100 * kMiB + kRepairMarginBytes, 100 * kMiB, 0, false},  // strictly more than pack + margin
        {100 * kMiB + kRepairMarginBytes + 1, 100 * kMiB, 0, true},
        {10 * kMiB + kRepairMarginBytes + 1, 100 * kMiB, 90 * kMiB, true},  // 90 MiB are already there
        {10 * kMiB + kRepairMarginBytes, 100 * kMiB, 90 * kMiB, false},
        {kRepairMarginBytes + 1, 100 * kMiB, 200 * kMiB, true},  // never below the margin itself
        {UINT64_MAX, UINT64_MAX, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(roomForRepair(c.available, c.size, c.kept), c.room) << c.available << " " << c.kept;
    }
}

}  // namespace
}  // namespace nyra
