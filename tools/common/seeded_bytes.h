#pragma once
// The seeded byte sequence of the game-server stand-ins: the stand-in sends it, and the tests and
// the benchmark on either side (Linux or Windows) regenerate it to check every byte they received.
// Header-only and dependency-free, so that the MinGW trees include it as it is.
//
// Definition: word k (k = 0, 1, ...) is splitmix64 of seed + (k + 1) * 0x9E3779B97F4A7C15; byte i
// of the sequence is byte (i mod 8) of word (i / 8), least significant byte first.
#include <cstddef>
#include <cstdint>
#include <span>

namespace nyra::tools {

// splitmix64's output for one counter value.
constexpr std::uint64_t seededWord(std::uint64_t seed, std::uint64_t wordIndex) {
    std::uint64_t z = seed + (wordIndex + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Byte `index` of the sequence of `seed` (random access, for checks at any offset).
constexpr std::uint8_t seededByteAt(std::uint64_t seed, std::uint64_t index) {
    return static_cast<std::uint8_t>(seededWord(seed, index / 8) >> (8 * (index % 8)));
}

// The sequence read from its start, or from any position, in pieces of any size.
class SeededBytes {
public:
    explicit constexpr SeededBytes(std::uint64_t seed, std::uint64_t position = 0) : seed_(seed), position_(position) {}

    // Writes the next out.size() bytes of the sequence.
    constexpr void fill(std::span<std::uint8_t> out) {
        std::size_t at = 0;
        while (at < out.size() && position_ % 8 != 0) {
            out[at++] = next();
        }
        for (; out.size() - at >= 8; at += 8) {
            const std::uint64_t word = seededWord(seed_, position_ / 8);
            for (unsigned byte = 0; byte < 8; ++byte) {
                out[at + byte] = static_cast<std::uint8_t>(word >> (8 * byte));
            }
            position_ += 8;
        }
        while (at < out.size()) {
            out[at++] = next();
        }
    }

    constexpr std::uint8_t next() {
        const std::uint8_t value = seededByteAt(seed_, position_);
        ++position_;
        return value;
    }

    // Compares `received` with the next received.size() bytes and moves past them; the index of
    // the first byte that differs (relative to `received`), or received.size() when all match.
    constexpr std::size_t match(std::span<const std::uint8_t> received) {
        std::size_t first = received.size();
        for (std::size_t at = 0; at < received.size(); ++at) {
            if (received[at] != next() && first == received.size()) {
                first = at;
            }
        }
        return first;
    }

    constexpr std::uint64_t position() const { return position_; }
    constexpr std::uint64_t seed() const { return seed_; }

private:
    std::uint64_t seed_;
    std::uint64_t position_;
};

}  // namespace nyra::tools
