// Throughput of the XPRESS Huffman codec on 64 MiB inputs (see README.md in this folder).
#include "content/xpress_huffman.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSize = 64u << 20;

// Log-like text: words from a vocabulary of a few hundred, numbers and separators.
Bytes compressibleData() {
    std::mt19937 rng(1);
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 400; ++i) {
        std::string w;
        const int len = 3 + static_cast<int>(rng() % 8);
        for (int k = 0; k < len; ++k) w.push_back(static_cast<char>('a' + rng() % 26));
        vocabulary.push_back(w);
    }
    Bytes out;
    out.reserve(kSize + 64);
    while (out.size() < kSize) {
        std::string piece = vocabulary[rng() % 40 + (rng() % 4 == 0 ? rng() % 360 : 0)];
        if (rng() % 6 == 0) piece += std::to_string(rng() % 100000);
        piece.push_back(rng() % 12 == 0 ? '\n' : ' ');
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.resize(kSize);
    return out;
}

Bytes randomData() {
    std::mt19937_64 rng(2);
    Bytes out(kSize);
    for (std::size_t i = 0; i < kSize; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            out[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return out;
}

template <typename F>
double bestSeconds(int runs, F&& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

void measure(const char* name, const Bytes& plain) {
    Bytes container;
    const double encode = bestSeconds(1, [&] { container = nyra::compressXpressHuffman(plain); });
    const double mib = static_cast<double>(plain.size()) / (1 << 20);
    Bytes back;
    const double decode =
        bestSeconds(5, [&] { back = nyra::decompressXpressHuffman(container, plain.size()); });
    if (back != plain) {
        std::printf("%s: ROUND TRIP MISMATCH\n", name);
        return;
    }
    std::printf("%-13s %6.1f MiB -> %6.2f MiB (%.3f)  encode %7.1f MiB/s  decode %7.1f MiB/s\n",
                name, mib, static_cast<double>(container.size()) / (1 << 20),
                static_cast<double>(container.size()) / static_cast<double>(plain.size()),
                mib / encode, mib / decode);
}

}  // namespace

int main() {
    measure("compressible", compressibleData());
    measure("random", randomData());
    measure("zeros", Bytes(kSize, 0));
    return 0;
}
