#pragma once
// UTF-8 (protocols, files, messages) <-> UTF-16 (Windows paths and screen texts), and the tools that
// keep secrets (password, cookies, tokens, keys, decrypted documents) out of released memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nyra {

// Both throw std::runtime_error("Texto invalido.") on malformed input (bad UTF-8 sequences,
// overlong forms, surrogates encoded in UTF-8, unpaired UTF-16 surrogates). The result is sized
// before it is filled, so a converted secret never leaves a partial copy in a released buffer.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

// Overwrites `size` bytes with zeros; the compiler may not drop the stores.
void wipeMemory(void* data, std::size_t size) noexcept;

// Overwrites a secret's whole buffer (its capacity, not only the characters in use) with zeros
// and empties it; the storage itself stays with the string until it is released.
template <typename Char, typename Traits, typename Alloc>
void wipe(std::basic_string<Char, Traits, Alloc>& secret) noexcept {
    secret.resize(secret.capacity());  // within the capacity: no new buffer
    wipeMemory(secret.data(), secret.size() * sizeof(Char));
    secret.clear();
}

template <typename Alloc>
void wipe(std::vector<std::uint8_t, Alloc>& secret) noexcept {
    secret.resize(secret.capacity());
    wipeMemory(secret.data(), secret.size());
    secret.clear();
}

// Every string value of a JSON document (object members and array elements at any depth) is
// wiped; the document keeps its shape with empty strings. Member names are not secrets and stay.
template <typename Json>
    requires requires(Json& j) {
        typename Json::string_t;
        j.is_string();
        j.is_structured();
    }
void wipe(Json& document) noexcept {
    std::vector<Json*> pending{&document};  // no recursion: the depth is the document's to choose
    while (!pending.empty()) {
        Json* node = pending.back();
        pending.pop_back();
        if (node->is_string()) {
            wipe(node->template get_ref<typename Json::string_t&>());
        } else if (node->is_structured()) {
            for (auto& child : *node) pending.push_back(&child);
        }
    }
}

// Wipes `secret` however the scope ends (return or exception).
template <typename Secret>
class WipeOnExit {
public:
    explicit WipeOnExit(Secret& secret) noexcept : secret_(secret) {}
    ~WipeOnExit() { wipe(secret_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Secret& secret_;
};

// An allocator that zeroes every block before it is released, so a container of secrets leaves
// nothing behind when it grows (the old block) or dies. `Base` does the allocating.
template <typename T, typename Base = std::allocator<T>>
struct WipingAllocator : Base {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = WipingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };
    WipingAllocator() = default;
    explicit WipingAllocator(const Base& base) noexcept : Base(base) {}
    template <typename U, typename OtherBase>
    WipingAllocator(const WipingAllocator<U, OtherBase>& other) noexcept : Base(static_cast<const OtherBase&>(other)) {}
    void deallocate(T* block, std::size_t n) noexcept {
        wipeMemory(block, n * sizeof(T));
        Base::deallocate(block, n);
    }
    template <typename U, typename OtherBase>
    bool operator==(const WipingAllocator<U, OtherBase>& other) const noexcept {
        return static_cast<const Base&>(*this) == static_cast<const OtherBase&>(other);
    }
};

// Scratch storage for secrets: every block it ever releases is zeroed first.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Resizes `bytes` to `size`. When that needs a bigger block, the contents move to a new one
// (capacity at least doubling, never above `capacityCap` unless `size` is) and the old block is
// wiped before it is released: a body that grows while it is received leaves no copy behind.
template <typename Alloc>
void resizeWiping(std::vector<std::uint8_t, Alloc>& bytes, std::size_t size, std::size_t capacityCap) {
    if (size > bytes.capacity()) {
        const std::size_t doubled = bytes.capacity() > capacityCap / 2 ? capacityCap : bytes.capacity() * 2;
        std::vector<std::uint8_t, Alloc> bigger(bytes.get_allocator());
        bigger.reserve(std::max(size, std::min(doubled, capacityCap)));
        bigger.assign(bytes.begin(), bytes.end());
        wipe(bytes);
        bytes.swap(bigger);  // `bigger` now holds the wiped old block and releases it
    }
    bytes.resize(size);
}

}  // namespace nyra
