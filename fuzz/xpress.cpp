// The XPRESS Huffman codec of the package entries (decoder) and the publisher (encoder).
// The first input byte picks what the rest is:
//   0: a container, decoded with the plain size its own header claims (when small enough)
//   1: a raw stream preceded by a 3-byte little-endian output size
//   2: plain data (its first 16 KiB) that must survive both compression forms unchanged
#include "content/xpress_huffman.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

namespace {

// Keeps each run fast; sizes up to this still exercise many blocks and chunks.
constexpr std::uint64_t kFuzzMaxOutput = std::uint64_t{1} << 18;

void expectInvalid(const std::runtime_error& e) {
    if (std::string(e.what()) != "Pacote compactado invalido.") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            std::uint64_t plainSize = 0;
            if (rest.size() >= 16) {
                for (int i = 7; i >= 0; --i)
                    plainSize = (plainSize << 8) | rest[8 + static_cast<std::size_t>(i)];
            }
            if (plainSize > kFuzzMaxOutput) plainSize %= kFuzzMaxOutput;
            try {
                if (nyra::decompressXpressHuffman(rest, plainSize).size() != plainSize)
                    std::abort();
            } catch (const std::runtime_error& e) {
                expectInvalid(e);
            }
            break;
        }
        case 1: {
            if (rest.size() < 3) return 0;
            const std::size_t outSize = (std::size_t{rest[0]} | (std::size_t{rest[1]} << 8) |
                                         (std::size_t{rest[2]} << 16)) %
                                        (kFuzzMaxOutput + 1);
            try {
                if (nyra::decompressXpressHuffmanRaw(rest.subspan(3), outSize).size() != outSize)
                    std::abort();
            } catch (const std::runtime_error& e) {
                expectInvalid(e);
            }
            break;
        }
        default: {
            // Compression is the slow side under the sanitizers; 16 KiB still spans several chunks.
            const auto part = rest.first(std::min<std::size_t>(rest.size(), 16384));
            const std::vector<std::uint8_t> plain(part.begin(), part.end());
            if (nyra::decompressXpressHuffmanRaw(nyra::compressXpressHuffmanRaw(plain),
                                                 plain.size()) != plain) {
                std::abort();
            }
            const std::uint64_t chunkSize = 1 + (plain.empty() ? 0 : plain[0]) * 257u;
            if (nyra::decompressXpressHuffman(nyra::compressXpressHuffman(plain, chunkSize),
                                              plain.size()) != plain) {
                std::abort();
            }
            break;
        }
    }
    return 0;
}
