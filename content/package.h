#pragma once
// The package set as the launcher reads it: package policy, catalog container, catalog, digest
// and path rules. Portable; the Win32 side (files, CNG) lives in content/win.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/encoding.h"

namespace nyra {

inline constexpr std::uint64_t kMaxPackSize = 1073741824;         // 1 GiB
inline constexpr std::uint64_t kMaxEntrySize = 134217728;         // 128 MiB, plain and stored
inline constexpr std::uint64_t kCatalogReadLimit = 41943040;      // 40 MiB
inline constexpr std::size_t kContainerHeaderSize = 36;           // magic, nonce, tag
inline constexpr std::size_t kContainerMinSize = 37;              // at least one ciphertext byte
inline constexpr std::size_t kSignatureReadLimit = 1024;          // nyra.nidx.sig read back
inline constexpr std::size_t kMaxCatalogEntries = 99999;
inline constexpr std::size_t kMaxCatalogPacks = 99;
inline constexpr std::string_view kContainerMagic = "NYRAIDX1";
inline constexpr std::string_view kContainerName = "nyra.nidx";
inline constexpr std::string_view kContainerSignatureName = "nyra.nidx.sig";
inline constexpr std::string_view kContainerTemporaryName = "nyra.nidx.new";
inline constexpr std::string_view kContainerSignatureTemporaryName = "nyra.nidx.sig.new";

// The members of the package policy the content subsystem reads. A missing member or one of the
// wrong JSON type fails with the JSON library's text.
struct PackagePolicy {
    std::string packageId;
    std::string indexSha256;
    std::string signature;     // standard Base64
    nlohmann::json policy;     // the `policy` member: {"files": {path: digest}}
    std::string launcherSha256;  // policy.files["Launcher.exe"]
    nlohmann::json baseCdn;    // CDN identity, validated by BaseCDN
};
PackagePolicy parsePackagePolicy(const nlohmann::json& answer);

struct CatalogPack {
    std::string path;     // "nyra-" + 3 characters + ".pck"
    std::uint64_t size = 0;
    std::string sha256;   // 64 lower-case hex
};

struct CatalogEntry {
    std::string path;
    std::uint64_t plainSize = 0;
    std::string sha256;
    std::uint64_t pack = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 12> iv{};
    std::array<std::uint8_t, 16> tag{};
    bool compressed = false;
};

// The decrypted catalog: its texts are zeroed when it is dropped.
struct Catalog {
    std::vector<CatalogEntry> entries;
    std::vector<CatalogPack> packs;

    Catalog() = default;
    Catalog(const Catalog&) = default;
    Catalog(Catalog&&) noexcept = default;
    Catalog& operator=(const Catalog&) = default;
    Catalog& operator=(Catalog&&) noexcept = default;
    ~Catalog();
};

// The decrypted catalog text as a document; a discarded value when it is not JSON or nests deeper
// than the document limit (both reported as "Catalogo invalido." by the caller). Never throws for
// bad text, so the caller can wipe the plaintext before it reports.
nlohmann::json parseCatalogText(std::span<const std::uint8_t> plain);

// Validates the decrypted catalog document (format 1, fewer than 100000 entries and 100 packs:
// "Catalogo invalido.") and reads its members. Entry and pack members of the wrong type fail with
// "Catalogo invalido."; bad hex in `iv`/`tag` with "Hash invalido."; an `iv` that is not 12 bytes
// or a `tag` that is not 16 with "Pacote criptografado invalido.".
Catalog parseCatalog(const nlohmann::json& document);

// The three parts of a catalog container. The container must be at least 37 bytes and start with
// the magic, else "O catalogo do jogo foi alterado.".
struct ContainerParts {
    std::span<const std::uint8_t> nonce;
    std::span<const std::uint8_t> tag;
    std::span<const std::uint8_t> ciphertext;
};
bool containerHasValidFrame(std::span<const std::uint8_t> container) noexcept;
ContainerParts splitContainer(std::span<const std::uint8_t> container);

// A digest's text: exactly 64 characters of 0-9 and a-f (hex and Base64 texts: core/encoding.h).
bool isDigestText(std::string_view text) noexcept;

// The 32-byte package key of a package-key answer. The `key` member must be a string (else the
// JSON library's type error), decode as Base64 ("Chave invalida.") to exactly 32 bytes ("Chave de
// pacote invalida.", the decoded bytes are zeroed). The key text in `answer` is zeroed on success.
std::array<std::uint8_t, 32> takePackageKey(nlohmann::json& answer);

// The package-key request object: exactly package_id, index_sha256, launcher_sha256.
nlohmann::json packageKeyRequest(const PackagePolicy& policy, const std::string& launcherSha256);

// Path rules for catalog paths (pack and entry paths), before anything touches the disk: 1 to 229
// UTF-8 bytes, no leading "/", no NUL, none of \ : < > " | ? *, no empty, "." or ".." component,
// no component ending in a dot or a space, no control character, and no component that Windows
// reads as a device (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9 and COM/LPT with a
// superscript 1, 2 or 3, in any case, with or without an extension) ("Caminho invalido no
// pacote."); valid UTF-8 ("Texto invalido."). Returns the UTF-16 components in order.
std::vector<std::u16string> splitPackagePath(std::string_view relative);

// Overwrites bytes with zeros (volatile stores that the compiler keeps).
void wipeBytes(std::span<std::uint8_t> bytes) noexcept;
void wipeBytes(std::vector<std::uint8_t>& bytes) noexcept;  // also clears

}  // namespace nyra
