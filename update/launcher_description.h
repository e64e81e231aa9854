#pragma once
// The signed description of a published launcher build (`launcher_update` in the package policy)
// and the rules that bind a launcher file to it.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nyra::update {

inline constexpr std::uint64_t kMinLauncherSize = 65536;
inline constexpr std::uint64_t kMaxLauncherSize = 134217728;

struct LauncherDescription {
    std::string sha256;   // 64 lower-case hex characters
    std::string version;  // digits and dots, 1 to 31 characters
    std::uint64_t size = 0;
};

// Checks an RSA-PSS signature of `message` with the embedded key; never throws.
using SignatureCheck =
    std::function<bool(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature)>;

// Reads one `launcher_update` object with its rules and messages and proves its signature.
LauncherDescription parseSignedLauncherUpdate(const nlohmann::json& value, const SignatureCheck& verify);

// The update check's first step: the policy's `launcher_update`, parsed, and its `launcher_version`
// (the description's own version when absent), which must agree with it.
LauncherDescription publishedLauncherUpdate(const nlohmann::json& policy, const SignatureCheck& verify);

// The 48 signed bytes: "NYRALCH1", the 32 digest bytes, the size as u64 little-endian.
std::array<std::uint8_t, 48> signedLauncherMessage(const LauncherDescription& description);

// major.minor.build from the two words of a fixed file version.
std::string launcherVersionText(std::uint32_t versionMs, std::uint32_t versionLs);

// The accepted origins of an update when the launcher that started the updater has already
// ended: lower-case hex SHA-256 digests of published launcher builds, compiled in per flavour.
std::span<const std::string_view> knownLauncherOrigins();
bool isKnownLauncherOrigin(std::string_view sha256, std::span<const std::string_view> origins);

}  // namespace nyra::update
