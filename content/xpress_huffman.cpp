#include "content/xpress_huffman.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace nyra {
namespace {

constexpr const char* kInvalid = "Pacote compactado invalido.";
constexpr const char* kTooLarge = "Arquivo descompactado muito grande.";

[[noreturn]] void fail() {
    throw std::runtime_error(kInvalid);
}

constexpr std::size_t kBlockSize = 65536;
constexpr std::size_t kTableBytes = 256;
constexpr unsigned kSymbols = 512;
constexpr unsigned kMaxCodeLength = 15;

// Room past the end of the output so that match copies may move whole 8-byte words; the bytes
// written there are either overwritten later or cut off by the final resize.
constexpr std::size_t kOutputSlack = 32;

std::uint16_t loadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t loadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t loadLe64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(loadLe32(p)) |
           (static_cast<std::uint64_t>(loadLe32(p + 4)) << 32);
}

// Two-level decoding table: the first 11 bits of the 15-bit look-ahead pick a primary entry; codes
// longer than 11 bits go through a 16-entry subtable indexed by the next 4 bits.
// Entry: bits 0-3 code length (0 = no code here), bits 4-12 symbol; a primary entry with kSubtable
// set holds the subtable's start index in bits 16-31 instead.
class DecodeTable {
public:
    static constexpr unsigned kPrimaryBits = 11;
    static constexpr std::uint32_t kSubtable = 0x8000;

    void build(const std::uint8_t* packedLengths) {
        std::array<std::uint8_t, kSymbols> lengths{};
        std::array<unsigned, kMaxCodeLength + 1> count{};
        for (unsigned i = 0; i < kSymbols / 2; ++i) {
            lengths[2 * i] = static_cast<std::uint8_t>(packedLengths[i] & 0x0F);
            lengths[2 * i + 1] = static_cast<std::uint8_t>(packedLengths[i] >> 4);
            ++count[lengths[2 * i]];
            ++count[lengths[2 * i + 1]];
        }
        // Kraft check: an oversubscribed table has no prefix code, an empty one decodes nothing.
        // An incomplete table is accepted; only reaching one of its unassigned codes is an error.
        std::int64_t left = 1;
        for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
            left = left * 2 - count[len];
            if (left < 0) fail();
        }
        if (count[0] == kSymbols) fail();

        std::fill(primary_.begin(), primary_.end(), 0u);
        std::uint32_t subtablesUsed = 0;
        // Canonical codes: shorter codes first, equal lengths in symbol order.
        std::uint32_t code = 0;
        for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
            for (unsigned sym = 0; sym < kSymbols; ++sym) {
                if (lengths[sym] != len) continue;
                const std::uint32_t entry = (sym << 4) | len;
                if (len <= kPrimaryBits) {
                    const std::uint32_t first = code << (kPrimaryBits - len);
                    const std::uint32_t n = 1u << (kPrimaryBits - len);
                    std::fill_n(primary_.begin() + first, n, entry);
                } else {
                    const unsigned extra = len - kPrimaryBits;
                    std::uint32_t& slot = primary_[code >> extra];
                    if ((slot & kSubtable) == 0) {
                        slot = kSubtable | (subtablesUsed << 16);
                        std::fill_n(sub_.begin() + subtablesUsed, 16, 0u);
                        subtablesUsed += 16;
                    }
                    const std::uint32_t base = slot >> 16;
                    const std::uint32_t low = code & ((1u << extra) - 1);
                    const std::uint32_t first = base + (low << (4 - extra));
                    std::fill_n(sub_.begin() + first, 1u << (4 - extra), entry);
                }
                ++code;
            }
            code <<= 1;
        }
    }

    // look15: the next 15 bits of the stream. Returns the entry (length 0 = undecodable).
    std::uint32_t lookup(std::uint32_t look15) const {
        const std::uint32_t e = primary_[look15 >> 4];
        if ((e & kSubtable) == 0) return e;
        return sub_[(e >> 16) + (look15 & 15)];
    }

private:
    std::array<std::uint32_t, 1u << kPrimaryBits> primary_;  // filled by build()
    // At most one subtable per symbol longer than 11 bits.
    std::array<std::uint32_t, kSymbols * 16> sub_;  // filled per subtable by build()
};

// Reads one raw stream into out[start, end). out must be writable up to cap (>= end + slack for
// the fast copies; shorter tails fall back to byte copies). Offsets may reach back to start only.
class StreamDecoder {
public:
    StreamDecoder(const std::uint8_t* in, std::size_t inSize) : in_(in), inSize_(inSize) {}

    void run(std::uint8_t* out, std::size_t start, std::size_t end, std::size_t cap) {
        std::size_t op = start;
        while (op < end) {
            if (inSize_ - ip_ < kTableBytes) fail();
            table_.build(in_ + ip_);
            ip_ += kTableBytes;
            // [MS-XCA]: each block starts a fresh 32-bit window of two words; bits left over from
            // the previous block are dropped.
            phantom_ = 0;
            bits_ = static_cast<std::uint32_t>(readWord()) << 16;
            bits_ |= readWord();
            extra_ = 16;
            const std::size_t blockEnd = op + std::min(kBlockSize, end - op);
            while (op < blockEnd) {
                const std::uint32_t entry = table_.lookup(bits_ >> 17);
                const unsigned length = entry & 15;
                if (length == 0) fail();
                consume(length);
                const unsigned symbol = (entry >> 4) & 0x1FF;
                if (symbol < 256) {
                    out[op++] = static_cast<std::uint8_t>(symbol);
                    continue;
                }
                // Symbol 256 is the end-of-data mark only once the whole output exists, which the
                // loop condition already covers; before that it is an ordinary match (length 3,
                // offset 1).
                const unsigned header = symbol - 256;
                std::uint64_t matchLength = header & 15;
                const unsigned offsetBits = header >> 4;
                if (matchLength == 15) {
                    matchLength = readByte();
                    if (matchLength == 255) {
                        matchLength = readLe16();
                        if (matchLength == 0) matchLength = readLe32();
                        if (matchLength < 15) fail();
                        matchLength -= 15;
                    }
                    matchLength += 15;
                }
                matchLength += 3;
                std::size_t offset = std::size_t{1} << offsetBits;
                if (offsetBits != 0) {
                    offset += bits_ >> (32 - offsetBits);
                    consume(offsetBits);
                }
                if (offset > op - start || matchLength > end - op) fail();
                copyMatch(out, op, offset, static_cast<std::size_t>(matchLength), cap);
                op += static_cast<std::size_t>(matchLength);
            }
        }
    }

private:
    // Input past the end reads as zero bits so that the 15-bit look-ahead near the end of a stream
    // works; actually consuming any of those bits is an error.
    std::uint16_t readWord() {
        if (inSize_ - ip_ >= 2) {
            const std::uint16_t w = loadLe16(in_ + ip_);
            ip_ += 2;
            return w;
        }
        phantom_ += 16;
        return 0;
    }

    void consume(unsigned n) {
        bits_ <<= n;
        extra_ -= static_cast<int>(n);
        if (phantom_ > 16 + extra_) fail();
        if (extra_ < 0) {
            bits_ |= static_cast<std::uint32_t>(readWord()) << -extra_;
            extra_ += 16;
        }
    }

    // Length bytes sit between the bit words, at the current input position.
    void needBytes(std::size_t n) {
        if (phantom_ != 0 || inSize_ - ip_ < n) fail();
    }
    std::uint32_t readByte() {
        needBytes(1);
        return in_[ip_++];
    }
    std::uint32_t readLe16() {
        needBytes(2);
        const std::uint32_t v = loadLe16(in_ + ip_);
        ip_ += 2;
        return v;
    }
    std::uint32_t readLe32() {
        needBytes(4);
        const std::uint32_t v = loadLe32(in_ + ip_);
        ip_ += 4;
        return v;
    }

    static void copyMatch(std::uint8_t* out, std::size_t op, std::size_t offset, std::size_t length,
                          std::size_t cap) {
        std::uint8_t* dst = out + op;
        const std::uint8_t* src = dst - offset;
        if (offset >= 8 && cap - op >= length + 8) {
            // Each 8-byte step reads bytes at least 8 behind the write position, all already final.
            std::uint8_t* const stop = dst + length;
            do {
                std::memcpy(dst, src, 8);
                dst += 8;
                src += 8;
            } while (dst < stop);
        } else if (offset == 1) {
            std::memset(dst, *src, length);
        } else {
            for (std::size_t i = 0; i < length; ++i) dst[i] = src[i];
        }
    }

    const std::uint8_t* in_;
    std::size_t inSize_;
    std::size_t ip_ = 0;
    std::uint32_t bits_ = 0;
    int extra_ = 0;
    int phantom_ = 0;
    DecodeTable table_;
};

void checkPlainSize(std::uint64_t plainSize) {
    if (plainSize > kXpressMaxPlainSize) throw std::runtime_error(kTooLarge);
}

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}

}  // namespace

std::uint8_t xpress_detail::headerCheckByte(std::span<const std::uint8_t, kHeaderSize> header) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < kHeaderSize; ++i) {
        if (i == 6) continue;
        crc = table[(crc ^ header[i]) & 0xFF] ^ (crc >> 8);
    }
    return static_cast<std::uint8_t>(~crc & 0xFF);
}

std::vector<std::uint8_t> decompressXpressHuffmanRaw(std::span<const std::uint8_t> stream,
                                                     std::size_t outputSize) {
    checkPlainSize(outputSize);
    std::vector<std::uint8_t> out(outputSize + kOutputSlack);
    StreamDecoder(stream.data(), stream.size()).run(out.data(), 0, outputSize, out.size());
    out.resize(outputSize);
    return out;
}

std::vector<std::uint8_t> decompressXpressHuffman(std::span<const std::uint8_t> data,
                                                  std::uint64_t plainSize) {
    using namespace xpress_detail;
    checkPlainSize(plainSize);
    if (data.size() < kHeaderSize) fail();
    const std::uint8_t* p = data.data();
    static constexpr std::uint8_t kMagic[4] = {0x0A, 0x51, 0xE5, 0xC0};
    if (std::memcmp(p, kMagic, 4) != 0 || loadLe16(p + 4) != kHeaderSize ||
        p[6] != headerCheckByte(data.first<kHeaderSize>()) || p[7] != kAlgorithmXpressHuffman) {
        fail();
    }
    const std::uint64_t total = loadLe64(p + 8);
    const std::uint64_t chunkSize = loadLe64(p + 16);
    if (total != plainSize || chunkSize == 0) fail();

    const auto size = static_cast<std::size_t>(plainSize);
    std::vector<std::uint8_t> out(size + kOutputSlack);
    std::size_t pos = kHeaderSize;
    std::size_t produced = 0;
    while (produced < size) {
        if (data.size() - pos < 4) fail();
        const std::uint32_t stored = loadLe32(p + pos);
        pos += 4;
        if (data.size() - pos < stored) fail();
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, size - produced));
        if (stored == want) {
            std::memcpy(out.data() + produced, p + pos, want);
        } else {
            StreamDecoder(p + pos, stored).run(out.data(), produced, produced + want, out.size());
        }
        pos += stored;
        produced += want;
    }
    if (pos != data.size()) fail();
    out.resize(size);
    return out;
}

}  // namespace nyra
