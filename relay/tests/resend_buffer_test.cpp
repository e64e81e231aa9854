// The resend buffer's arithmetic: what acknowledgements and resumption offsets drop, what they
// refuse, and that the bytes come out in order across the ring's wrap and growth.
#include "relay/resend_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

namespace nyra {
namespace {

std::vector<std::uint8_t> sequence(std::size_t size, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

std::vector<std::uint8_t> contents(const ResendBuffer& buffer, std::size_t piece = 7) {
    std::vector<std::uint8_t> out;
    buffer.forEachPiece(piece, [&](std::span<const std::uint8_t> bytes) {
        EXPECT_LE(bytes.size(), piece);
        out.insert(out.end(), bytes.begin(), bytes.end());
        return true;
    });
    return out;
}

// ackedBase 100, bytes 0..9 buffered (offsets 100..110).
ResendBuffer bufferAt100() {
    ResendBuffer buffer(1024);
    EXPECT_TRUE(buffer.append(sequence(100, 0)));
    EXPECT_EQ(buffer.acknowledge(100), ResendBuffer::Acknowledged::Dropped);
    EXPECT_TRUE(buffer.append(sequence(10, 0)));
    return buffer;
}

TEST(ResendBuffer, AcknowledgementsBelowAtAndAboveTheBase) {
    using A = ResendBuffer::Acknowledged;
    const struct {
        std::uint64_t total;
        A result;
        std::uint64_t base;
        std::size_t firstKept;  // value of the first byte left (the bytes are 0..9)
        std::size_t size;
    } cases[] = {
        {0, A::Ignored, 100, 0, 10},
        {99, A::Ignored, 100, 0, 10},   // lower than one already received
        {100, A::Ignored, 100, 0, 10},  // equal to the base
        {101, A::Dropped, 101, 1, 9},
        {110, A::Dropped, 110, 0, 0},   // everything
        {111, A::Impossible, 100, 0, 10},
        {std::numeric_limits<std::uint64_t>::max(), A::Impossible, 100, 0, 10},
    };
    for (const auto& c : cases) {
        ResendBuffer buffer = bufferAt100();
        EXPECT_EQ(buffer.acknowledge(c.total), c.result) << c.total;
        EXPECT_EQ(buffer.ackedBase(), c.base) << c.total;
        ASSERT_EQ(buffer.size(), c.size) << c.total;
        if (c.size > 0) {
            EXPECT_EQ(contents(buffer).front(), c.firstKept) << c.total;
        }
    }
}

TEST(ResendBuffer, ResumptionOffsetMustLieWithinWhatWasSentAndUnacknowledged) {
    const struct {
        std::uint64_t received;
        bool accepted;
        std::size_t resent;
    } cases[] = {
        {99, false, 10},   // below the acknowledged base
        {100, true, 10},   // the server holds only what it acknowledged: everything again
        {104, true, 6},
        {110, true, 0},
        {111, false, 10},  // more than was ever sent
    };
    for (const auto& c : cases) {
        ResendBuffer buffer = bufferAt100();
        EXPECT_EQ(buffer.resumeFrom(c.received), c.accepted) << c.received;
        ASSERT_EQ(buffer.size(), c.resent) << c.received;
        EXPECT_EQ(buffer.ackedBase(), c.accepted ? c.received : 100u) << c.received;
        const auto left = contents(buffer);
        EXPECT_TRUE(std::equal(left.begin(), left.end(), sequence(10, 0).end() - static_cast<std::ptrdiff_t>(c.resent)));
    }
}

TEST(ResendBuffer, HoldsExactlyItsLimit) {
    constexpr std::size_t kLimit = 70000;
    ResendBuffer buffer(kLimit);
    EXPECT_TRUE(buffer.append(sequence(kLimit - 1, 0)));
    EXPECT_TRUE(buffer.append(sequence(1, 0)));
    EXPECT_FALSE(buffer.append(sequence(1, 0)));
    EXPECT_EQ(buffer.size(), kLimit);
    EXPECT_EQ(buffer.acknowledge(1), ResendBuffer::Acknowledged::Dropped);
    EXPECT_TRUE(buffer.append(sequence(1, 0)));
    EXPECT_FALSE(buffer.append(sequence(1, 0)));
    // A finished connection gives the ring back at once.
    EXPECT_EQ(buffer.capacity(), kLimit);
    buffer.release();
    EXPECT_EQ(buffer.capacity(), 0u);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(ResendBuffer, KeepsOrderAcrossTheWrapAndGrowth) {
    ResendBuffer buffer(300000);
    std::vector<std::uint8_t> expected;
    std::uint64_t acknowledged = 0;
    std::uint8_t next = 0;
    // Appends of odd sizes with acknowledgements between them wrap the 64 KiB ring, then grow it.
    for (int round = 0; round < 40; ++round) {
        const auto bytes = sequence(static_cast<std::size_t>(3001 + round * 997), next);
        next = static_cast<std::uint8_t>(next + bytes.size());
        ASSERT_TRUE(buffer.append(bytes));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        const std::size_t drop = round % 3 == 0 ? expected.size() / 2 : expected.size() / 5;
        acknowledged += drop;
        ASSERT_EQ(buffer.acknowledge(acknowledged), ResendBuffer::Acknowledged::Dropped);
        expected.erase(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(drop));
        ASSERT_EQ(contents(buffer, 32768), expected) << round;
    }
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.ackedBase(), acknowledged);
    EXPECT_TRUE(contents(buffer).empty());
}

TEST(ResendBuffer, ResendStopsAtTheFirstRefusedPiece) {
    ResendBuffer buffer(1024);
    ASSERT_TRUE(buffer.append(sequence(20, 0)));
    int offered = 0;
    EXPECT_FALSE(buffer.forEachPiece(8, [&](std::span<const std::uint8_t>) { return ++offered < 2; }));
    EXPECT_EQ(offered, 2);
    EXPECT_EQ(buffer.size(), 20u);  // nothing leaves until the server acknowledges it
}

}  // namespace
}  // namespace nyra
