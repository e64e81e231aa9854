#include "update/launcher_description.h"

#include <stdexcept>

#include "core/encoding.h"
#include "core/json_limits.h"
#include "core/text.h"

namespace nyra::update {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

LauncherDescription parseSignedLauncherUpdate(const nlohmann::json& value, const SignatureCheck& verify) {
    const bool complete = value.is_object() && value.contains("sha256") && value.contains("version") &&
                          value.contains("size") && value.contains("signature");
    if (!complete) fail("O servidor ainda nao publicou uma atualizacao assinada do launcher.");
    const auto& sha256 = value.at("sha256");
    const auto& version = value.at("version");
    const auto& signature = value.at("signature");
    // A fraction, a negative number or 1e300 is as unusable as a size out of range.
    const auto size = unsignedUpTo(value.at("size"), kMaxLauncherSize);
    if (!sha256.is_string() || !version.is_string() || !signature.is_string() || !size ||
        *size < kMinLauncherSize || sha256.get_ref<const std::string&>().size() != 64 ||
        version.get_ref<const std::string&>().empty() || version.get_ref<const std::string&>().size() > 31) {
        fail("Metadados da atualizacao do launcher invalidos.");
    }
    LauncherDescription description{sha256.get<std::string>(), version.get<std::string>(), *size};
    if (description.version.find_first_not_of("0123456789.") != std::string::npos) {
        fail("Versao da atualizacao invalida.");
    }
    const auto message = signedLauncherMessage(description);  // "Hash invalido." for a digest that is no hex
    const auto signatureBytes = decodeBase64(signature.get<std::string>());
    if (!verify || !verify(message, signatureBytes)) {
        fail("A assinatura da atualizacao do launcher e invalida. O jogo nao sera iniciado.");
    }
    return description;
}

LauncherDescription publishedLauncherUpdate(const nlohmann::json& policy, const SignatureCheck& verify) {
    const auto found = policy.is_object() ? policy.find("launcher_update") : policy.end();
    if (found == policy.end()) {
        fail("O servidor ainda nao publicou a atualizacao assinada do launcher. Tente novamente em instantes.");
    }
    LauncherDescription description = parseSignedLauncherUpdate(*found, verify);
    const auto published = policy.find("launcher_version");
    if (published != policy.end() &&
        (!published->is_string() || published->get_ref<const std::string&>() != description.version)) {
        fail("A versao publicada do launcher esta inconsistente. O jogo nao sera iniciado.");
    }
    return description;
}

std::array<std::uint8_t, 48> signedLauncherMessage(const LauncherDescription& description) {
    std::array<std::uint8_t, 48> message{'N', 'Y', 'R', 'A', 'L', 'C', 'H', '1'};
    const auto digest = decodeHex(description.sha256);
    for (std::size_t i = 0; i < 32; ++i) message[8 + i] = digest[i];
    for (std::size_t i = 0; i < 8; ++i) message[40 + i] = static_cast<std::uint8_t>(description.size >> (8 * i));
    return message;
}

std::string launcherVersionText(std::uint32_t versionMs, std::uint32_t versionLs) {
    return std::to_string(versionMs >> 16) + "." + std::to_string(versionMs & 0xFFFF) + "." +
           std::to_string(versionLs >> 16);
}

std::span<const std::string_view> knownLauncherOrigins() {
    // Release data: the digests of earlier published builds, filled in when a build is released.
    // Empty, the updater has no fallback and accepts only a starting launcher it can still see.
    static constexpr std::array<std::string_view, 0> kOrigins{};
    return kOrigins;
}

bool isKnownLauncherOrigin(std::string_view sha256, std::span<const std::string_view> origins) {
    if (sha256.size() != 64) return false;
    for (const auto origin : origins) {
        if (origin == sha256) return true;
    }
    return false;
}

}  // namespace nyra::update
