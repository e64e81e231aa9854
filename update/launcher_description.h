#pragma once
// The signed description of a published launcher build (`launcher_update` in the package policy).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace nyra::update {

struct LauncherDescription {
    std::string sha256;   // 64 lower-case hex characters
    std::string version;  // major.minor.build
    std::uint64_t size = 0;
    std::vector<std::uint8_t> signature;
};

// Reads `launcher_update` and `launcher_version` from the policy with their rules and messages.
LauncherDescription readLauncherDescription(const nlohmann::json& policy);

// The 48 signed bytes: "NYRALCH1", the 32 digest bytes, the size as u64 little-endian.
std::array<std::uint8_t, 48> signedLauncherMessage(const LauncherDescription& description);

// major.minor.build from the two words of a fixed file version.
std::string launcherVersionText(std::uint32_t versionMs, std::uint32_t versionLs);

// Lower-case hex only ("Hash invalido." otherwise), two characters per byte.
std::vector<std::uint8_t> decodeHex(const std::string& text);
// Standard Base64 ("Chave invalida." otherwise).
std::vector<std::uint8_t> decodeBase64(const std::string& text);

}  // namespace nyra::update
