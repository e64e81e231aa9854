#include "content/components.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "content/package.h"

namespace nyra {
namespace {

char16_t lowerAscii(char16_t c) noexcept { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool equalsIgnoringCase(std::u16string_view text, std::u16string_view lower) noexcept {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(), [](char16_t a, char16_t b) { return lowerAscii(a) == b; });
}

bool endsWithIgnoringCase(std::u16string_view text, std::u16string_view lowerSuffix) noexcept {
    return text.size() >= lowerSuffix.size() &&
           equalsIgnoringCase(text.substr(text.size() - lowerSuffix.size()), lowerSuffix);
}

}  // namespace

bool isMaterialisedPath(std::string_view path, const nlohmann::json& files) {
    if (path == kLauncherFileName) return false;
    return path == kClientIniName || files.contains(path);
}

const nlohmann::json& protectedFiles(const nlohmann::json& policy) {
    const nlohmann::json& files = policy.at("files");
    (void)files.get_ref<const nlohmann::json::object_t&>();  // the library's type error otherwise
    return files;
}

std::vector<const CatalogEntry*> materialisedEntries(const Catalog& catalog, const nlohmann::json& files) {
    std::vector<const CatalogEntry*> selected;
    for (const CatalogEntry& entry : catalog.entries) {
        if (isMaterialisedPath(entry.path, files)) selected.push_back(&entry);
    }
    return selected;
}

std::uint64_t materialisedBytes(const std::vector<const CatalogEntry*>& entries) noexcept {
    std::uint64_t total = 0;
    for (const CatalogEntry* entry : entries) {
        total = entry->plainSize > UINT64_MAX - total ? UINT64_MAX : total + entry->plainSize;
    }
    return total;
}

bool hasRoomForComponents(std::uint64_t freeBytes, std::uint64_t neededBytes) noexcept {
    if (neededBytes > UINT64_MAX - kEngineFreeSpaceMargin) return false;
    return freeBytes > neededBytes + kEngineFreeSpaceMargin;
}

ExistingComponent judgeExistingComponent(std::string_view path, bool exists, std::uint64_t existingSize,
                                         std::uint64_t plainSize) noexcept {
    if (!exists) return ExistingComponent::Write;
    if (path == kClientIniName && existingSize > 0) return ExistingComponent::Keep;
    return existingSize == plainSize ? ExistingComponent::HashToDecide : ExistingComponent::Write;
}

int componentPercent(std::uint64_t done, std::uint64_t total) noexcept {
    done = std::min(done, total);
    // Totals that 5 x done would overflow only come from absurd catalogs; scaling keeps the rule.
    while (total > UINT64_MAX / 5) {
        done >>= 1;
        total >>= 1;
    }
    return static_cast<int>(94 + 5 * done / std::max<std::uint64_t>(total, 1));
}

bool isNativeComponentName(std::u16string_view name) noexcept {
    constexpr std::u16string_view kSuffix = u".nyra-new";
    if (name.size() >= kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix) {
        name.remove_suffix(kSuffix.size());
    }
    return endsWithIgnoringCase(name, u".bin") || endsWithIgnoringCase(name, u".exe") ||
           endsWithIgnoringCase(name, u".dll") || equalsIgnoringCase(name, u"nyra.guard");
}

GuardAuthorization splitGuardAuthorization(std::span<const std::uint8_t> file) {
    if (file.size() != kGuardFileSize ||
        !std::equal(kGuardMagic.begin(), kGuardMagic.end(), file.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
        throw std::runtime_error(texts::kGuardMalformed);
    }
    return {file.first(kGuardSignedSize), file.subspan(kGuardSignedSize)};
}

void checkGuardDigests(std::span<const std::uint8_t> file, const nlohmann::json& protectedMap) {
    const GuardAuthorization guard = splitGuardAuthorization(file);
    for (const GuardDigest& digest : kGuardDigests) {
        const auto& text = protectedMap.at(std::string(digest.name)).get_ref<const std::string&>();
        const std::vector<std::uint8_t> onDisk = decodeHex(text);
        const auto recorded = guard.signedPart.subspan(digest.offset, 32);
        if (onDisk.size() != recorded.size() || !std::equal(onDisk.begin(), onDisk.end(), recorded.begin())) {
            throw std::runtime_error(texts::kGuardInconsistent);
        }
    }
}

nlohmann::json collectProtectedFiles(const nlohmann::json& files,
                                     const std::function<std::string(const std::string& key)>& hashOf) {
    nlohmann::json map = nlohmann::json::object();
    for (const auto& [key, listed] : files.items()) {
        std::string found = hashOf(key);
        if (!listed.is_string() || listed.get_ref<const std::string&>() != found) {
            throw std::runtime_error(texts::kProtectedFileAltered);
        }
        map[key] = std::move(found);
    }
    return map;
}

}  // namespace nyra
