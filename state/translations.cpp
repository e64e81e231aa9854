#include "state/translations.h"

#include <algorithm>
#include <stdexcept>

namespace nyra {
namespace {

constexpr std::string_view kBundleMagic = "NYRATRB1";
constexpr std::uint32_t kMaximumEntries = 64;
constexpr std::uint32_t kMaximumEntryData = 16777216;
constexpr std::size_t kMinimumBundle = 13;
constexpr std::size_t kMinimumName = 15;
constexpr std::string_view kNamePrefix = "data/db/T_";
constexpr std::string_view kNameSuffix = ".ini";

std::uint32_t readLittleEndian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i > 0; --i) value = (value << 8) | static_cast<std::uint32_t>(bytes[at + i - 1]);
    return value;
}

}  // namespace

bool isTranslationBundle(std::span<const std::uint8_t> bundle) {
    // Every length is compared with what is left (size - position, never position + length), so
    // nothing can wrap around, not even with a 32-bit size_t.
    const std::size_t size = bundle.size();
    if (size < kMinimumBundle || size > kTranslationBundleLimit) return false;
    if (!std::equal(kBundleMagic.begin(), kBundleMagic.end(), bundle.begin(),
                    [](char expected, std::uint8_t actual) { return static_cast<std::uint8_t>(expected) == actual; })) {
        return false;
    }
    std::size_t position = kBundleMagic.size();
    const std::uint32_t count = readLittleEndian(bundle, position, 4);
    position += 4;
    if (count < 1 || count > kMaximumEntries) return false;
    for (std::uint32_t entry = 0; entry < count; ++entry) {
        if (size - position < 2) return false;
        const std::size_t nameLength = readLittleEndian(bundle, position, 2);
        position += 2;
        if (nameLength == 0 || size - position < nameLength || size - position - nameLength < 4) return false;
        const std::string_view name(reinterpret_cast<const char*>(bundle.data() + position), nameLength);
        position += nameLength;
        const std::uint32_t dataLength = readLittleEndian(bundle, position, 4);
        position += 4;
        if (dataLength < 1 || dataLength > kMaximumEntryData || size - position < dataLength) return false;
        position += dataLength;
        if (!name.starts_with(kNamePrefix) || name.size() < kMinimumName || !name.ends_with(kNameSuffix)) {
            return false;
        }
    }
    return position == size;
}

bool isBundleTag(std::string_view tag) {
    return tag.size() == 64 && std::all_of(tag.begin(), tag.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string translationCacheBinding(std::string_view language, std::string_view tag, std::string_view loginName) {
    std::string binding = "NyraTR2|";
    binding.append(language).append("|").append(tag).append("|").append(loginName);
    return binding;
}

std::string translationCacheFileName(std::string_view language) {
    return language == "en" ? "translations.en.cache" : "translations.pt-BR.cache";
}

std::string expectedTranslationTag(const nlohmann::json& gameStartAnswer, std::string_view language) {
    if (!gameStartAnswer.is_object()) return {};
    const nlohmann::json* tag = nullptr;
    if (language == "pt-BR") {
        const auto found = gameStartAnswer.find("translations_sha256");
        if (found != gameStartAnswer.end()) tag = &*found;
    } else {
        const auto languages = gameStartAnswer.find("translation_languages");
        if (languages != gameStartAnswer.end() && languages->is_object()) {
            const auto found = languages->find(std::string(language));
            if (found != languages->end()) tag = &*found;
        }
    }
    return tag != nullptr && tag->is_string() ? tag->get<std::string>() : std::string();
}

std::vector<std::uint8_t> obtainTranslationBundle(TranslationCache& cache, UserDataProtector& protector,
                                                  const TranslationFetch& fetch, std::string_view expectedTag,
                                                  std::string_view loginName, std::string_view language) {
    if (!isBundleTag(expectedTag) || loginName.empty()) throw std::runtime_error(kTranslationsUnavailableText);
    const std::string binding = translationCacheBinding(language, expectedTag, loginName);
    const std::string fileName = translationCacheFileName(language);

    // A damaged, foreign or stale cache is never an error: the fetch below replaces it.
    try {
        if (const auto blob = cache.read(fileName)) {
            if (auto cached = protector.unprotect(*blob, binding); cached && isTranslationBundle(*cached)) {
                return std::move(*cached);
            }
        }
    } catch (const std::exception&) {
    }

    std::vector<std::uint8_t> bundle = fetch(language);
    if (!isTranslationBundle(bundle)) throw std::runtime_error(kTranslationsInvalidText);

    // The game can start without a cache; the next start fetches again.
    try {
        if (const auto blob = protector.protect(bundle, binding)) (void)cache.write(fileName, *blob);
    } catch (const std::exception&) {
    }
    return bundle;
}

}  // namespace nyra
