#include "platform/win/data_protection.h"

#include <wincrypt.h>

#include <limits>
#include <optional>
#include <utility>

namespace nyra::win {
namespace {

// The API takes non-const pointers but only reads its inputs. Nothing when the size does not fit.
std::optional<DATA_BLOB> viewOf(std::span<const std::uint8_t> bytes) {
    if constexpr (sizeof(std::size_t) > sizeof(DWORD)) {
        if (bytes.size() > std::numeric_limits<DWORD>::max()) return std::nullopt;
    }
    return DATA_BLOB{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

}  // namespace

DataProtectionOutput& DataProtectionOutput::operator=(DataProtectionOutput&& other) noexcept {
    if (this != &other) {
        wipe();
        memory_ = std::move(other.memory_);
        size_ = std::exchange(other.size_, 0);
        granted_ = std::exchange(other.granted_, false);
    }
    return *this;
}

DataProtectionOutput::~DataProtectionOutput() { wipe(); }

void DataProtectionOutput::wipe() noexcept {
    if (memory_) ::SecureZeroMemory(memory_.get(), size_);
    memory_.reset();
    size_ = 0;
    granted_ = false;
}

std::span<const std::uint8_t> DataProtectionOutput::bytes() const noexcept {
    if (!memory_) return {};
    return {static_cast<const std::uint8_t*>(memory_.get()), size_};
}

DataProtectionOutput protectForCurrentUser(std::span<const std::uint8_t> plain, std::optional<std::string_view> entropy,
                                           const wchar_t* description) {
    DataProtectionOutput output;
    auto input = viewOf(plain);
    auto extra = viewOf(bytesOf(entropy.value_or(std::string_view())));
    if (!input || !extra) return output;
    DATA_BLOB result{};
    if (::CryptProtectData(&*input, description, entropy ? &*extra : nullptr, nullptr, nullptr,
                           CRYPTPROTECT_UI_FORBIDDEN, &result)) {
        output.memory_.reset(result.pbData);
        output.size_ = result.cbData;
        output.granted_ = true;
    }
    return output;
}

DataProtectionOutput unprotectForCurrentUser(std::span<const std::uint8_t> blob, std::optional<std::string_view> entropy) {
    DataProtectionOutput output;
    auto input = viewOf(blob);
    auto extra = viewOf(bytesOf(entropy.value_or(std::string_view())));
    if (!input || !extra) return output;
    DATA_BLOB result{};
    if (::CryptUnprotectData(&*input, nullptr, entropy ? &*extra : nullptr, nullptr, nullptr,
                             CRYPTPROTECT_UI_FORBIDDEN, &result)) {
        output.memory_.reset(result.pbData);
        output.size_ = result.cbData;
        output.granted_ = true;
    }
    return output;
}

}  // namespace nyra::win
