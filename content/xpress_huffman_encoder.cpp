#include "content/xpress_huffman.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <queue>
#include <stdexcept>
#include <utility>

namespace nyra {
namespace {

constexpr std::size_t kBlockSize = 65536;
constexpr unsigned kSymbols = 512;
constexpr unsigned kMaxCodeLength = 15;
constexpr unsigned kEndOfData = 256;
constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kMaxOffset = 65535;
// Match lengths are written as length - 3 in at most 32 bits; stay well inside that.
constexpr std::size_t kMaxMatch = 0x7FFFFFFF;

// Matcher tuning: chain depth and "good enough" length trade speed against ratio.
constexpr unsigned kHashBits = 16;
constexpr unsigned kMaxChain = 24;
constexpr std::size_t kNiceLength = 96;
// Positions inside a match longer than this are not all entered into the hash chains.
constexpr std::size_t kFullInsertLimit = 32;

struct Match {
    std::size_t length = 0;
    std::size_t offset = 0;
};

// Literal when length == 0 (value = byte), otherwise a match (value = offset).
struct Item {
    std::uint32_t length;
    std::uint32_t value;
};

void storeLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void appendLe(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// LZ77 match finder over one stream: hash chains on 3-byte prefixes, window of 65,535 bytes.
class Matcher {
public:
    // Tables shrink with small inputs, which are common (one stream per small file or chunk).
    Matcher(const std::uint8_t* data, std::size_t size)
        : data_(data),
          size_(size),
          hashShift_(
              32 - std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(size)), 8, kHashBits)),
          prevMask_(std::bit_ceil(std::clamp<std::size_t>(size, 1, kBlockSize)) - 1),
          head_(std::size_t{1} << (32 - hashShift_), 0u),
          prev_(prevMask_ + 1, 0u) {}

    // Best match at p against earlier positions; enters p into the chains. Positions before p must
    // have been entered (or deliberately skipped) already.
    Match find(std::size_t p) {
        Match best;
        if (size_ - p < kMinMatch) return best;
        insertUpTo(p + 1);
        const std::size_t maxLength = std::min(size_ - p, kMaxMatch);
        std::uint32_t candidate = prev_[p & prevMask_];
        for (unsigned depth = 0; candidate != 0 && depth < kMaxChain; ++depth) {
            const std::size_t c = candidate - 1;
            const std::size_t distance = p - c;
            if (distance > kMaxOffset) break;
            if (data_[c + best.length] == data_[p + best.length] || best.length == 0) {
                const std::size_t length = matchLength(c, p, maxLength);
                if (length > best.length) {
                    best = {length, distance};
                    if (length >= kNiceLength || length == maxLength) break;
                }
            }
            const std::uint32_t next = prev_[c & prevMask_];
            if (next >= candidate) break;
            candidate = next;
        }
        // A 3-byte match far back costs more bits than three literals.
        if (best.length < kMinMatch || (best.length == kMinMatch && best.offset > 4096)) return {};
        return best;
    }

    // Positions inside an emitted match: all of them for short matches, the tail for long ones.
    void skipTo(std::size_t end) {
        if (end - next_ > kFullInsertLimit) next_ = end - kFullInsertLimit / 2;
        insertUpTo(end);
    }

private:
    std::uint32_t hash(std::size_t p) const {
        const std::uint32_t v = static_cast<std::uint32_t>(data_[p]) |
                                (static_cast<std::uint32_t>(data_[p + 1]) << 8) |
                                (static_cast<std::uint32_t>(data_[p + 2]) << 16);
        return (v * 0x9E3779B1u) >> hashShift_;
    }

    void insertUpTo(std::size_t end) {
        const std::size_t last = std::min(end, size_ - std::min(size_, kMinMatch - 1));
        for (; next_ < last; ++next_) {
            std::uint32_t& h = head_[hash(next_)];
            prev_[next_ & prevMask_] = h;
            h = static_cast<std::uint32_t>(next_ + 1);
        }
        if (next_ < end) next_ = end;
    }

    std::size_t matchLength(std::size_t c, std::size_t p, std::size_t maxLength) const {
        std::size_t n = 0;
        if constexpr (std::endian::native == std::endian::little) {
            while (maxLength - n >= 8) {
                std::uint64_t a;
                std::uint64_t b;
                std::memcpy(&a, data_ + c + n, 8);
                std::memcpy(&b, data_ + p + n, 8);
                if (a != b) return n + static_cast<std::size_t>(std::countr_zero(a ^ b) / 8);
                n += 8;
            }
        }
        while (n < maxLength && data_[c + n] == data_[p + n]) ++n;
        return n;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    unsigned hashShift_;
    std::size_t prevMask_;             // positions mod 64 KiB, or mod the input size rounded up
    std::size_t next_ = 0;             // first position not yet entered
    std::vector<std::uint32_t> head_;  // position + 1 of the newest entry per hash, 0 = none
    std::vector<std::uint32_t> prev_;  // position + 1 of the previous entry with the same hash
};

// Huffman code lengths limited to 15 bits. Frequencies are flattened until the tree is shallow
// enough; with 512 symbols that takes at most a few rounds.
std::array<std::uint8_t, kSymbols> codeLengths(std::array<std::uint32_t, kSymbols> freq) {
    std::array<std::uint8_t, kSymbols> lengths{};
    std::vector<unsigned> used;
    for (unsigned s = 0; s < kSymbols; ++s) {
        if (freq[s] != 0) used.push_back(s);
    }
    if (used.size() == 1) {
        // A lone code still gets a complete one-bit code (a partner symbol that is never sent).
        lengths[used[0]] = 1;
        lengths[used[0] == 0 ? 1 : 0] = 1;
        return lengths;
    }
    for (;;) {
        const std::size_t m = used.size();
        std::vector<std::uint64_t> weight(2 * m - 1);
        std::vector<std::size_t> parent(2 * m - 1, 0);
        using Node = std::pair<std::uint64_t, std::size_t>;
        std::priority_queue<Node, std::vector<Node>, std::greater<>> queue;
        for (std::size_t i = 0; i < m; ++i) {
            weight[i] = freq[used[i]];
            queue.emplace(weight[i], i);
        }
        for (std::size_t next = m; next < 2 * m - 1; ++next) {
            const Node a = queue.top();
            queue.pop();
            const Node b = queue.top();
            queue.pop();
            weight[next] = a.first + b.first;
            parent[a.second] = next;
            parent[b.second] = next;
            queue.emplace(weight[next], next);
        }
        // Parents are created after their children, so walking down from the root sees each parent
        // before its children.
        std::vector<unsigned> depth(2 * m - 1, 0);
        unsigned deepest = 0;
        for (std::size_t i = 2 * m - 1; i-- > 0;) {
            if (i != 2 * m - 2) depth[i] = depth[parent[i]] + 1;
            if (i < m) deepest = std::max(deepest, depth[i]);
        }
        if (deepest <= kMaxCodeLength) {
            for (std::size_t i = 0; i < m; ++i)
                lengths[used[i]] = static_cast<std::uint8_t>(depth[i]);
            return lengths;
        }
        for (unsigned s : used) freq[s] = (freq[s] >> 1) | 1u;
    }
}

// Canonical codes in the order the decoder assigns them: by length, then by symbol.
std::array<std::uint16_t, kSymbols> canonicalCodes(
    const std::array<std::uint8_t, kSymbols>& lengths) {
    std::array<std::uint16_t, kSymbols> codes{};
    std::uint32_t code = 0;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
        for (unsigned s = 0; s < kSymbols; ++s) {
            if (lengths[s] == len) codes[s] = static_cast<std::uint16_t>(code++);
        }
        code <<= 1;
    }
    return codes;
}

// Bits go out in 16-bit little-endian words, most significant bit first. The decoder keeps two
// words of look-ahead, so a word slot is reserved one word ahead and bytes written in between
// (long match lengths) land after both reserved slots, exactly where the decoder reads them.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {
        first_ = out_.size();
        second_ = first_ + 2;
        out_.resize(out_.size() + 4, 0);
    }

    void bits(std::uint32_t value, unsigned count) {
        if (count == 0) return;
        buffer_ = (buffer_ << count) | value;
        count_ += count;
        // A word is handed over once a bit past it exists: that is when the decoder reads the next.
        if (count_ > 16) {
            count_ -= 16;
            storeLe16(out_.data() + first_, buffer_ >> count_);
            first_ = second_;
            second_ = out_.size();
            out_.resize(out_.size() + 2, 0);
        }
    }

    void byte(std::uint32_t v) { out_.push_back(static_cast<std::uint8_t>(v)); }

    void finish() { storeLe16(out_.data() + first_, count_ == 0 ? 0 : buffer_ << (16 - count_)); }

private:
    std::vector<std::uint8_t>& out_;
    std::size_t first_;
    std::size_t second_;
    std::uint32_t buffer_ = 0;
    unsigned count_ = 0;
};

unsigned highestBit(std::size_t v) {
    return static_cast<unsigned>(std::bit_width(v)) - 1;
}

unsigned matchSymbol(const Item& item) {
    const std::uint32_t l = item.length - std::uint32_t{kMinMatch};
    return 256 + (highestBit(item.value) << 4) + std::min<std::uint32_t>(l, 15);
}

void writeBlock(std::vector<std::uint8_t>& out, const std::vector<Item>& items, bool last) {
    std::array<std::uint32_t, kSymbols> freq{};
    for (const Item& item : items) ++freq[item.length == 0 ? item.value : matchSymbol(item)];
    if (last) ++freq[kEndOfData];
    const auto lengths = codeLengths(freq);
    const auto codes = canonicalCodes(lengths);
    for (unsigned i = 0; i < kSymbols / 2; ++i) {
        out.push_back(static_cast<std::uint8_t>(lengths[2 * i] | (lengths[2 * i + 1] << 4)));
    }
    BitWriter w(out);
    for (const Item& item : items) {
        if (item.length == 0) {
            w.bits(codes[item.value], lengths[item.value]);
            continue;
        }
        const unsigned sym = matchSymbol(item);
        w.bits(codes[sym], lengths[sym]);
        const std::uint32_t l = item.length - std::uint32_t{kMinMatch};
        if (l >= 15) {
            if (l - 15 < 255) {
                w.byte(l - 15);
            } else {
                w.byte(255);
                if (l <= 0xFFFF) {
                    w.byte(l);
                    w.byte(l >> 8);
                } else {
                    w.byte(0);
                    w.byte(0);
                    for (int i = 0; i < 4; ++i) w.byte(l >> (8 * i));
                }
            }
        }
        const unsigned offsetBits = highestBit(item.value);
        w.bits(item.value - (1u << offsetBits), offsetBits);
    }
    if (last) w.bits(codes[kEndOfData], lengths[kEndOfData]);
    w.finish();
}

}  // namespace

std::vector<std::uint8_t> compressXpressHuffmanRaw(std::span<const std::uint8_t> plain) {
    std::vector<std::uint8_t> out;
    out.reserve(plain.size() / 2 + 512);
    const std::uint8_t* data = plain.data();
    const std::size_t n = plain.size();
    Matcher matcher(data, n);
    std::vector<Item> items;
    items.reserve(std::min(n, kBlockSize) + 1);

    std::size_t p = 0;
    Match pending;  // match already found at p by the lazy look-ahead
    bool havePending = false;
    for (;;) {
        // A block covers at least 65,536 output bytes; a match may carry it past that mark and the
        // next block then starts where that match ends.
        const std::size_t blockEnd = p + std::min(kBlockSize, n - p);
        items.clear();
        while (p < blockEnd) {
            Match m = havePending ? pending : matcher.find(p);
            havePending = false;
            if (m.length >= kMinMatch && m.length < kNiceLength && p + 1 < n) {
                const Match next = matcher.find(p + 1);
                if (next.length > m.length) {
                    items.push_back({0, data[p]});
                    ++p;
                    pending = next;
                    havePending = true;
                    continue;
                }
            }
            if (m.length < kMinMatch) {
                items.push_back({0, data[p]});
                ++p;
                continue;
            }
            items.push_back(
                {static_cast<std::uint32_t>(m.length), static_cast<std::uint32_t>(m.offset)});
            p += m.length;
            matcher.skipTo(p);
        }
        const bool last = p >= n;
        writeBlock(out, items, last);
        if (last) break;
    }
    return out;
}

std::vector<std::uint8_t> compressXpressHuffman(std::span<const std::uint8_t> plain,
                                                std::uint64_t chunkSize) {
    using namespace xpress_detail;
    if (chunkSize == 0) throw std::invalid_argument("XPRESS chunk size must be positive");
    std::vector<std::uint8_t> out(kHeaderSize, 0);
    static constexpr std::uint8_t kMagic[4] = {0x0A, 0x51, 0xE5, 0xC0};
    std::memcpy(out.data(), kMagic, 4);
    storeLe16(out.data() + 4, kHeaderSize);
    out[7] = kAlgorithmXpressHuffman;
    for (int i = 0; i < 8; ++i) {
        out[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(plain.size() >> (8 * i));
        out[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(chunkSize >> (8 * i));
    }
    out[6] = headerCheckByte(std::span<const std::uint8_t, kHeaderSize>(out.data(), kHeaderSize));

    for (std::size_t pos = 0; pos < plain.size();) {
        const auto take =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, plain.size() - pos));
        if (take > std::numeric_limits<std::uint32_t>::max()) {
            throw std::invalid_argument("XPRESS chunk larger than 4 GiB");
        }
        const auto chunk = plain.subspan(pos, take);
        const std::vector<std::uint8_t> packed = compressXpressHuffmanRaw(chunk);
        // Equal sizes would read back as a stored chunk, so only a strictly smaller stream is kept.
        if (packed.size() < take) {
            appendLe(out, packed.size(), 4);
            out.insert(out.end(), packed.begin(), packed.end());
        } else {
            appendLe(out, take, 4);
            out.insert(out.end(), chunk.begin(), chunk.end());
        }
        pos += take;
    }
    return out;
}

}  // namespace nyra
