#include "content/xpress_huffman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(NYRA_HAVE_WIMLIB)
#include <wimlib.h>
#endif

namespace nyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kInvalid = "Pacote compactado invalido.";
const std::string kTooLarge = "Arquivo descompactado muito grande.";

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("missing test file " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

// Words from a small vocabulary: compresses well, many short and medium matches.
Bytes textLike(std::size_t n, std::uint32_t seed) {
    static const char* const words[] = {"nyra ",     "saga ", "brasil ", "pacote ",    "arquivo ",
                                        "launcher ", "\n",    "0123 ",   "verificar ", "jogo. "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < n) {
        const std::string w = words[rng() % std::size(words)];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(n);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Text, then runs long enough for the 8-, 16- and 32-bit length forms, each crossing a 64 KiB
// block end, with more text after them so that the following tables are actually used.
Bytes runsAcrossBlocks() {
    return concat({textLike(60000, 1), Bytes(200, 'x'), Bytes(9000, 0), textLike(70000, 2),
                   Bytes(150000, 0xAB), textLike(30000, 3), Bytes(65536 * 3, 7),
                   textLike(5000, 4)});
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

// Builds a container from chunk bodies the way buffer mode lays them out.
Bytes containerOf(std::initializer_list<Bytes> chunks, std::uint64_t plainSize,
                  std::uint64_t chunkSize) {
    Bytes out = {0x0A, 0x51, 0xE5, 0xC0, 24, 0, 0, 4};
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(plainSize >> (8 * i)));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(chunkSize >> (8 * i)));
    out[6] = xpress_detail::headerCheckByte(std::span<const std::uint8_t, 24>(out.data(), 24));
    for (const Bytes& c : chunks) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(c.size() >> (8 * i)));
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

// A tiny hand-made raw stream: literal 'A' (code 0) and symbol 256 = match of length 3 at offset
// 1 (code 1), both one bit long.
Bytes twoSymbolStream(std::uint16_t firstWord) {
    Bytes s(256, 0);
    s[0x41 / 2] = 0x10;  // 'A' is odd: high nibble
    s[256 / 2] = 0x01;   // symbol 256 is even: low nibble
    s.push_back(static_cast<std::uint8_t>(firstWord));
    s.push_back(static_cast<std::uint8_t>(firstWord >> 8));
    s.push_back(0);
    s.push_back(0);
    return s;
}

void resealHeader(Bytes& container) {
    container[6] =
        xpress_detail::headerCheckByte(std::span<const std::uint8_t, 24>(container.data(), 24));
}

TEST(XpressHuffman, DecodesStreamsMadeByWindows) {
    const std::string dir = std::string(NYRA_SOURCE_DIR) + "/content/tests/data/xpress-raw/";
    for (const char* name :
         {"samba_64k_plus_one_zeros", "samba_fuzzing_3591f9dc", "samba_trigram_128k_more"}) {
        SCOPED_TRACE(name);
        const Bytes stream = readFile(dir + name + ".compressed");
        const Bytes expected = readFile(dir + name + ".expected");
        EXPECT_EQ(decompressXpressHuffmanRaw(stream, expected.size()), expected);
        EXPECT_EQ(decompressXpressHuffman(containerOf({stream}, expected.size(), 1 << 20),
                                          expected.size()),
                  expected);
    }
}

TEST(XpressHuffman, ContainerHeaderLayoutAndCheckByte) {
    // Check byte 0x64 = low byte of zlib.crc32 over bytes 0-5 then 7-23 (computed independently).
    const Bytes expected = {0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00, 0x64, 0x04, 0x01, 0x00, 0x01, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    const Bytes container = compressXpressHuffman(Bytes(65537, 0));
    ASSERT_GE(container.size(), 24u);
    EXPECT_EQ(Bytes(container.begin(), container.begin() + 24), expected);

    // The empty input is the header alone (check byte 0x83 for total 0).
    const Bytes empty = compressXpressHuffman({});
    ASSERT_EQ(empty.size(), 24u);
    EXPECT_EQ(empty[6], 0x83);
    EXPECT_TRUE(decompressXpressHuffman(empty, 0).empty());

    // Every header byte is covered: any single change is refused.
    for (std::size_t i = 0; i < 24; ++i) {
        Bytes bad = container;
        bad[i] ^= 0x20;
        EXPECT_EQ(messageOf([&] { decompressXpressHuffman(bad, 65537); }), kInvalid) << i;
    }
}

TEST(XpressHuffman, RoundTripsThroughBothForms) {
    const struct {
        const char* name;
        Bytes plain;
        std::uint64_t chunkSize;
    } cases[] = {
        {"empty", {}, kXpressDefaultChunkSize},
        {"one byte", {0x5A}, kXpressDefaultChunkSize},
        {"zeros 64 KiB + 1", Bytes(65537, 0), kXpressDefaultChunkSize},
        {"exactly one block", textLike(65536, 5), kXpressDefaultChunkSize},
        {"random", randomBytes(200000, 6), kXpressDefaultChunkSize},
        {"text", textLike(300000, 7), kXpressDefaultChunkSize},
        {"runs across blocks", runsAcrossBlocks(), kXpressDefaultChunkSize},
        {"many chunks, odd size", runsAcrossBlocks(), 100003},
        {"mixed chunks", concat({randomBytes(70000, 8), textLike(70000, 9), randomBytes(10, 10)}),
         65536},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes raw = compressXpressHuffmanRaw(c.plain);
        EXPECT_EQ(decompressXpressHuffmanRaw(raw, c.plain.size()), c.plain);
        const Bytes container = compressXpressHuffman(c.plain, c.chunkSize);
        EXPECT_EQ(decompressXpressHuffman(container, c.plain.size()), c.plain);
    }
}

TEST(XpressHuffman, EncoderUsesLongMatchesAndStoresIncompressibleChunks) {
    // One literal and one match (16-bit length form) after a single table, byte for byte what
    // Windows writes for the same input.
    EXPECT_EQ(compressXpressHuffmanRaw(Bytes(65537, 0)),
              readFile(std::string(NYRA_SOURCE_DIR) +
                       "/content/tests/data/xpress-raw/samba_64k_plus_one_zeros.compressed"));
    // 1 MiB of zeros: one literal and one 32-bit-length match running through 16 block ends.
    EXPECT_LE(compressXpressHuffmanRaw(Bytes(1 << 20, 0)).size(), 270u);

    // Random data: every chunk stored as it is (stored size == chunk size), the last one short.
    const Bytes plain = randomBytes(150000, 11);
    const Bytes container = compressXpressHuffman(plain, 65536);
    ASSERT_EQ(container.size(), 24 + 3 * 4 + plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 65536, container.begin() + 28));
    EXPECT_EQ(container[24 + 4 + 65536], 0x00);  // second chunk size, 65536 = 00 00 01 00
    EXPECT_EQ(container[24 + 4 + 65536 + 2], 0x01);

    // Text: much smaller than the input.
    const Bytes text = textLike(1 << 20, 12);
    EXPECT_LT(compressXpressHuffman(text).size(), text.size() / 4);
}

TEST(XpressHuffman, RefusesMalformedContainers) {
    const Bytes plain = concat({textLike(100000, 13), randomBytes(40000, 14)});
    const Bytes good = compressXpressHuffman(plain, 65536);
    ASSERT_EQ(decompressXpressHuffman(good, plain.size()), plain);
    ASSERT_EQ(decompressXpressHuffman(
                  containerOf({twoSymbolStream(0x4000), twoSymbolStream(0x4000)}, 8, 4), 8),
              Bytes(8, 'A'));
    const std::uint64_t n = plain.size();

    auto patched = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes, bool reseal) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        if (reseal) resealHeader(b);
        return b;
    };
    const struct {
        const char* name;
        Bytes data;
        std::uint64_t plainSize;
        const std::string& message;
    } cases[] = {
        {"bad magic", patched(0, {0x0B}, true), n, kInvalid},
        {"bad check byte", patched(6, {static_cast<std::uint8_t>(good[6] ^ 1)}, false), n,
         kInvalid},
        {"header size 25", patched(4, {25}, true), n, kInvalid},
        {"plain XPRESS algorithm", patched(7, {3}, true), n, kInvalid},
        {"total differs from plain size", patched(8, {0x01}, true), n, kInvalid},
        {"plain size differs from total", good, n - 1, kInvalid},
        {"chunk size 0", patched(16, {0, 0, 0, 0}, true), n, kInvalid},
        {"chunk size changed", patched(16, {0, 0, 2, 0}, true), n, kInvalid},
        {"header only", Bytes(good.begin(), good.begin() + 24), n, kInvalid},
        {"short header", Bytes(good.begin(), good.begin() + 23), n, kInvalid},
        {"last byte missing", Bytes(good.begin(), good.end() - 1), n, kInvalid},
        {"trailing byte", concat({good, {0}}), n, kInvalid},
        {"chunk size field past the end", patched(24, {0xFF, 0xFF, 0xFF, 0x7F}, false), n,
         kInvalid},
        {"plain size over the limit", good, kXpressMaxPlainSize + 1, kTooLarge},
        {"limit itself is only checked", Bytes(24, 0), kXpressMaxPlainSize, kInvalid},
        // Chunks share no history: the second chunk's first match may not reach into the first.
        {"match reaching into the previous chunk",
         containerOf({twoSymbolStream(0x4000), twoSymbolStream(0x8000)}, 8, 4), 8, kInvalid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(messageOf([&] { decompressXpressHuffman(c.data, c.plainSize); }), c.message)
            << c.name;
    }
}

TEST(XpressHuffman, RefusesMalformedRawStreams) {
    const Bytes aThenMatch = twoSymbolStream(0x4000);  // bits 0 1
    ASSERT_EQ(decompressXpressHuffmanRaw(aThenMatch, 4), Bytes(4, 'A'));

    Bytes onlyA(256, 0);
    onlyA[0x41 / 2] = 0x10;  // incomplete code: just '0'
    Bytes onlyAValid = concat({onlyA, {0x00, 0x00, 0x00, 0x00}});
    ASSERT_EQ(decompressXpressHuffmanRaw(onlyAValid, 3), Bytes(3, 'A'));

    Bytes oversubscribed(256, 0x11);
    oversubscribed.resize(260, 0);
    Bytes allZero(260, 0);
    const Bytes windows = readFile(std::string(NYRA_SOURCE_DIR) +
                                   "/content/tests/data/xpress-raw/samba_trigram_128k_more.compressed");

    const struct {
        const char* name;
        Bytes stream;
        std::size_t size;
        const std::string& message;
    } cases[] = {
        {"offset before the start", twoSymbolStream(0x8000), 4, kInvalid},
        {"match past the end of the output", aThenMatch, 3, kInvalid},
        {"more output than bits", aThenMatch, 40, kInvalid},
        {"unassigned code of an incomplete table", concat({onlyA, {0x00, 0x80, 0, 0}}), 3,
         kInvalid},
        {"all code lengths zero", allZero, 1, kInvalid},
        {"oversubscribed code lengths", oversubscribed, 1, kInvalid},
        {"table cut short", Bytes(100, 0x44), 1, kInvalid},
        {"stream cut in half", Bytes(windows.begin(), windows.begin() + 20000), 131095, kInvalid},
        {"over the size limit", aThenMatch, kXpressMaxPlainSize + 1, kTooLarge},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(messageOf([&] { decompressXpressHuffmanRaw(c.stream, c.size); }), c.message)
            << c.name;
    }
}

TEST(XpressHuffman, RandomCorruptionNeverEscapesTheMessage) {
    const Bytes plain = concat({textLike(90000, 15), Bytes(70000, 0), randomBytes(3000, 16)});
    const Bytes container = compressXpressHuffman(plain, 80000);
    const Bytes raw = compressXpressHuffmanRaw(plain);
    std::mt19937 rng(17);
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        const bool useContainer = round % 2 == 0;
        Bytes b = useContainer ? container : raw;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            // Mostly hit the tables and early bits, where damage changes the most.
            const std::size_t span =
                rng() % 3 == 0 ? b.size() : std::min<std::size_t>(b.size(), 1200);
            b[rng() % span] = static_cast<std::uint8_t>(rng());
        }
        if (rng() % 8 == 0) b.resize(rng() % b.size());
        if (useContainer && b.size() >= 24 && rng() % 2 == 0) resealHeader(b);
        try {
            const Bytes out = useContainer ? decompressXpressHuffman(b, plain.size())
                                           : decompressXpressHuffmanRaw(b, plain.size());
            ASSERT_EQ(out.size(), plain.size());
            ++decoded;
        } catch (const std::runtime_error& e) {
            ASSERT_EQ(std::string(e.what()), kInvalid) << "round " << round;
        }
    }
    RecordProperty("decoded", decoded);
}

#if defined(NYRA_HAVE_WIMLIB)
struct WimDecompressor {
    wimlib_decompressor* d = nullptr;
    WimDecompressor() {
        if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_XPRESS, 65536, &d) != 0) d = nullptr;
    }
    ~WimDecompressor() { wimlib_free_decompressor(d); }
    WimDecompressor(const WimDecompressor&) = delete;
    WimDecompressor& operator=(const WimDecompressor&) = delete;
};
struct WimCompressor {
    wimlib_compressor* c = nullptr;
    WimCompressor() {
        if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_XPRESS, 65536, 50, &c) != 0)
            c = nullptr;
    }
    ~WimCompressor() { wimlib_free_compressor(c); }
    WimCompressor(const WimCompressor&) = delete;
    WimCompressor& operator=(const WimCompressor&) = delete;
};
#endif

// wimlib's XPRESS is an independent implementation of the same stream format for inputs of at
// most 64 KiB (one block): each side must read what the other writes.
TEST(XpressHuffman, AgreesWithWimlibOnSingleBlocks) {
#if !defined(NYRA_HAVE_WIMLIB)
    GTEST_SKIP() << "SKIPPED: libwim (wimlib) not found at configure time; install libwim-dev";
#else
    WimDecompressor dec;
    WimCompressor enc;
    ASSERT_NE(dec.d, nullptr);
    ASSERT_NE(enc.c, nullptr);
    const Bytes inputs[] = {
        {0x5A},
        Bytes(65536, 0),
        textLike(65536, 18),
        textLike(1000, 19),
        concat({textLike(30000, 20), Bytes(300, 1), randomBytes(5000, 21), Bytes(20000, 2)}),
        randomBytes(65536, 22),
        concat({randomBytes(256, 23), randomBytes(256, 23), Bytes(70, 9)}),
    };
    for (const auto& plain : inputs) {
        SCOPED_TRACE(plain.size());
        const Bytes ours = compressXpressHuffmanRaw(plain);
        Bytes back(plain.size());
        ASSERT_EQ(wimlib_decompress(ours.data(), ours.size(), back.data(), back.size(), dec.d), 0);
        EXPECT_EQ(back, plain);

        Bytes theirs(plain.size() + 1024);
        const std::size_t n =
            wimlib_compress(plain.data(), plain.size(), theirs.data(), theirs.size(), enc.c);
        if (n == 0) continue;  // wimlib declines when it cannot shrink the input
        theirs.resize(n);
        EXPECT_EQ(decompressXpressHuffmanRaw(theirs, plain.size()), plain);
    }
#endif
}

}  // namespace
}  // namespace nyra
