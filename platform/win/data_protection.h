#pragma once
// The platform's per-user data protection (CryptProtectData / CryptUnprotectData) for every
// protected file the launcher keeps: the current Windows user only, never any UI.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win/handles.h"

namespace nyra::win {

// What the platform returned: zeroed (it may be a secret) and freed when it goes.
class DataProtectionOutput {
public:
    DataProtectionOutput() = default;
    DataProtectionOutput(DataProtectionOutput&& other) noexcept
        : memory_(std::move(other.memory_)), size_(std::exchange(other.size_, 0)),
          granted_(std::exchange(other.granted_, false)) {}
    DataProtectionOutput& operator=(DataProtectionOutput&& other) noexcept;
    ~DataProtectionOutput();

    // False when the platform refused.
    explicit operator bool() const noexcept { return granted_; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept;
    [[nodiscard]] std::string text() const { return {reinterpret_cast<const char*>(bytes().data()), bytes().size()}; }
    [[nodiscard]] std::vector<std::uint8_t> copy() const { return {bytes().begin(), bytes().end()}; }

private:
    friend DataProtectionOutput protectForCurrentUser(std::span<const std::uint8_t>, std::optional<std::string_view>,
                                                      const wchar_t*);
    friend DataProtectionOutput unprotectForCurrentUser(std::span<const std::uint8_t>, std::optional<std::string_view>);
    void wipe() noexcept;

    UniqueLocalMemory memory_;
    DWORD size_ = 0;
    bool granted_ = false;
};

// The bytes of a text, for the functions below.
[[nodiscard]] inline std::span<const std::uint8_t> bytesOf(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Protects `plain` for the current user with `entropy`, when given, as an additional secret input,
// and the description stored beside it. An empty output on failure, or when
// an input does not fit the platform's 32-bit sizes.
[[nodiscard]] DataProtectionOutput protectForCurrentUser(std::span<const std::uint8_t> plain, std::optional<std::string_view> entropy,
                                                         const wchar_t* description);

// Opens a blob of protectForCurrentUser with the same entropy. An empty output when it was altered,
// belongs to another user or was protected with another entropy.
[[nodiscard]] DataProtectionOutput unprotectForCurrentUser(std::span<const std::uint8_t> blob, std::optional<std::string_view> entropy);

}  // namespace nyra::win
