#pragma once
// Deeply nested documents and a thread with the stack of a Windows thread (1 MiB), for the tests
// that show hostile nesting is refused before the JSON library recurses over it: on Linux's
// default 8 MiB stack an unbounded path would survive far deeper input than on Windows.
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nyra::test {

inline constexpr std::size_t kWindowsThreadStack = std::size_t{1} << 20;

// Deep enough to exhaust a 1 MiB stack in any recursive path of the library, by far.
inline constexpr std::size_t kHostileDepth = 200000;

// Runs `action` on a thread with a 1 MiB stack and rethrows what it threw.
inline void onWindowsSizedStack(const std::function<void()>& action) {
    struct Call {
        const std::function<void()>* action;
        std::exception_ptr failure;
    } call{&action, nullptr};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kWindowsThreadStack);
    pthread_t thread;
    const int started = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            auto* c = static_cast<Call*>(argument);
            try {
                (*c->action)();
            } catch (...) {
                c->failure = std::current_exception();
            }
            return nullptr;
        },
        &call);
    pthread_attr_destroy(&attributes);
    if (started != 0) throw std::runtime_error("cannot start a test thread");
    pthread_join(thread, nullptr);
    if (call.failure) std::rethrow_exception(call.failure);
}

// `depth` nested JSON arrays around `inner`: "[[...inner...]]".
inline std::string nestedJson(std::size_t depth, const std::string& inner = "") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

// `depth` nested one-element CBOR arrays around `inner` (null unless given).
inline std::vector<std::uint8_t> nestedCbor(std::size_t depth, const std::vector<std::uint8_t>& inner = {0xF6}) {
    std::vector<std::uint8_t> bytes(depth, 0x81);
    bytes.insert(bytes.end(), inner.begin(), inner.end());
    return bytes;
}

}  // namespace nyra::test
