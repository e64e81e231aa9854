#include "content/package.h"

#include <algorithm>
#include <stdexcept>

#include "core/json_limits.h"
#include "core/text.h"

namespace nyra {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

std::uint64_t unsignedMember(const json& object, const char* name) {
    const auto value = unsignedUpTo(object.at(name));
    if (!value) fail("Catalogo invalido.");
    return *value;
}

// A reference into the decrypted document, which the caller wipes: no loose copies.
const std::string& stringMember(const json& object, const char* name) {
    const auto& value = object.at(name);
    if (!value.is_string()) fail("Catalogo invalido.");
    return value.get_ref<const std::string&>();
}

template <std::size_t N>
std::array<std::uint8_t, N> fixedHex(const std::string& text) {
    std::vector<std::uint8_t> bytes = decodeHex(text);
    const WipeOnExit wipeBytes(bytes);
    if (bytes.size() != N) fail("Pacote criptografado invalido.");
    std::array<std::uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

}  // namespace

PackagePolicy parsePackagePolicy(const json& answer) {
    PackagePolicy policy;
    policy.packageId = answer.at("package_id").get<std::string>();
    policy.indexSha256 = answer.at("index_sha256").get<std::string>();
    policy.signature = answer.at("signature").get<std::string>();
    policy.policy = answer.at("policy");
    if (!policy.policy.is_object()) policy.policy.at("files");  // the library's type error
    const auto& files = policy.policy.at("files");
    if (!files.is_object()) files.at("Launcher.exe");
    policy.launcherSha256 = files.at("Launcher.exe").get<std::string>();
    policy.baseCdn = answer.at("base_cdn");
    if (!policy.baseCdn.is_object()) policy.baseCdn.at("format");
    return policy;
}

json parseCatalogText(std::span<const std::uint8_t> plain) {
    return readJsonText(plain);
}

Catalog parseCatalog(const json& document) {
    if (!document.is_object()) fail("Catalogo invalido.");
    const auto format = document.find("format");
    const auto entries = document.find("entries");
    const auto packs = document.find("packs");
    if (format == document.end() || !format->is_number_integer() || *format != 1 || entries == document.end() ||
        !entries->is_array() || entries->size() > kMaxCatalogEntries || packs == document.end() ||
        !packs->is_array() || packs->size() > kMaxCatalogPacks) {
        fail("Catalogo invalido.");
    }
    Catalog catalog;
    catalog.packs.reserve(packs->size());
    for (const auto& item : *packs) {
        if (!item.is_object()) fail("Catalogo invalido.");
        catalog.packs.push_back({stringMember(item, "path"), unsignedMember(item, "size"), stringMember(item, "sha256")});
    }
    catalog.entries.reserve(entries->size());
    for (const auto& item : *entries) {
        if (!item.is_object()) fail("Catalogo invalido.");
        CatalogEntry entry;
        entry.path = stringMember(item, "path");
        entry.plainSize = unsignedMember(item, "plain_size");
        entry.sha256 = stringMember(item, "sha256");
        entry.pack = unsignedMember(item, "pack");
        entry.offset = unsignedMember(item, "offset");
        entry.size = unsignedMember(item, "size");
        entry.iv = fixedHex<12>(stringMember(item, "iv"));
        entry.tag = fixedHex<16>(stringMember(item, "tag"));
        const auto& compressed = item.at("compressed");
        if (!compressed.is_boolean()) fail("Catalogo invalido.");
        entry.compressed = compressed.get<bool>();
        catalog.entries.push_back(std::move(entry));
    }
    return catalog;
}

Catalog::~Catalog() {
    for (auto& entry : entries) {
        wipe(entry.path);
        wipe(entry.sha256);
        wipeBytes(entry.iv);
        wipeBytes(entry.tag);
    }
    for (auto& pack : packs) {
        wipe(pack.path);
        wipe(pack.sha256);
    }
}

bool containerHasValidFrame(std::span<const std::uint8_t> container) noexcept {
    return container.size() >= kContainerMinSize &&
           std::equal(kContainerMagic.begin(), kContainerMagic.end(), container.begin(),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

ContainerParts splitContainer(std::span<const std::uint8_t> container) {
    if (!containerHasValidFrame(container)) fail("O catalogo do jogo foi alterado.");
    return {container.subspan(8, 12), container.subspan(20, 16), container.subspan(kContainerHeaderSize)};
}

bool isDigestText(std::string_view text) noexcept {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::array<std::uint8_t, 32> takePackageKey(json& answer) {
    auto& text = answer.at("key").get_ref<std::string&>();  // type error for a non-string
    std::vector<std::uint8_t> decoded = decodeBase64(text);  // no copy of the text
    if (decoded.size() != 32) {
        wipeBytes(decoded);
        fail("Chave de pacote invalida.");
    }
    std::array<std::uint8_t, 32> key{};
    std::copy(decoded.begin(), decoded.end(), key.begin());
    wipeBytes(decoded);
    wipe(text);
    return key;
}

json packageKeyRequest(const PackagePolicy& policy, const std::string& launcherSha256) {
    return {{"package_id", policy.packageId},
            {"index_sha256", policy.indexSha256},
            {"launcher_sha256", launcherSha256}};
}

namespace {

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool equalsIgnoringAsciiCase(std::u16string_view text, std::u16string_view upper) {
    return text.size() == upper.size() &&
           std::equal(text.begin(), text.end(), upper.begin(), [](char16_t a, char16_t b) { return asciiUpper(a) == b; });
}

// The names Windows resolves to a device in any folder: "data/aux.ini" would open the auxiliary
// port, not a file. The name counts up to its first dot, spaces around it dropped ("nul .txt";
// leading ones too, which is stricter than every Windows version needs).
bool isReservedDeviceName(std::u16string_view component) {
    std::u16string_view base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
    while (!base.empty() && base.front() == u' ') base.remove_prefix(1);
    for (const std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (equalsIgnoringAsciiCase(base, name)) return true;
    }
    if (base.size() != 4) return false;
    const bool port = equalsIgnoringAsciiCase(base.substr(0, 3), u"COM") || equalsIgnoringAsciiCase(base.substr(0, 3), u"LPT");
    const char16_t digit = base[3];
    // Superscript one, two and three count as digits here too.
    return port && ((digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3');
}

// A component Windows stores under exactly this name: not "." or "..", no trailing dot or space
// (Windows drops them, so "a." and "a" are one file), no control character, no device name.
bool isPlainWindowsName(std::u16string_view component) {
    if (component.back() == u'.' || component.back() == u' ') return false;  // also "." and ".."
    if (std::any_of(component.begin(), component.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; })) return false;
    return !isReservedDeviceName(component);
}

}  // namespace

std::vector<std::u16string> splitPackagePath(std::string_view relative) {
    static constexpr std::string_view kForbidden{"\\:<>\"|?*\0", 9};
    if (relative.empty() || relative.size() > 229 || relative.front() == '/' ||
        relative.find_first_of(kForbidden) != std::string_view::npos) {
        fail("Caminho invalido no pacote.");
    }
    const std::u16string wide = utf8ToUtf16(relative);
    std::vector<std::u16string> components;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = wide.find(u'/', start);
        std::u16string part = wide.substr(start, slash == std::u16string::npos ? std::u16string::npos : slash - start);
        // An empty component ("a//b", "a/") names nothing on disk; refuse it like the dot forms.
        if (part.empty() || !isPlainWindowsName(part)) fail("Caminho invalido no pacote.");
        components.push_back(std::move(part));
        if (slash == std::u16string::npos) break;
        start = slash + 1;
    }
    return components;
}

void wipeBytes(std::span<std::uint8_t> bytes) noexcept {
    volatile std::uint8_t* data = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) data[i] = 0;
}

void wipeBytes(std::vector<std::uint8_t>& bytes) noexcept {
    wipeBytes(std::span<std::uint8_t>(bytes));
    bytes.clear();
}

}  // namespace nyra
