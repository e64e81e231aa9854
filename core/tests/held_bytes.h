#pragma once
// What a wiped secret still holds: its whole storage (capacity, not only the characters in use),
// read while the container still owns it. A secret that was only emptied keeps its bytes there.
#include <algorithm>
#include <cstddef>

namespace nyra::test {

template <typename Container>
bool heldBytesAreZero(const Container& secret) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(secret.data());
    const std::size_t size = secret.capacity() * sizeof(*secret.data());
    return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
}

}  // namespace nyra::test
