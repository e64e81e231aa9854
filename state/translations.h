#pragma once
// The game's translation bundle: its format, the tag the game-start answer names it by, the cache
// that keeps it protected for the current Windows user in the engine folder, and the order in which
// the launcher obtains it (cache first, then the backend). The Win32 shell is
// state/win/translations.*.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nyra {

// A bundle is 13 bytes to 64 MiB; the cache holds its protected form, which is somewhat larger.
inline constexpr std::size_t kTranslationBundleLimit = 67108864;
inline constexpr std::uint64_t kTranslationCacheLimit = 100663296;

inline constexpr const char* kTranslationsUnavailableText = "Traducoes indisponiveis no servidor. Tente novamente.";
inline constexpr const char* kTranslationsInvalidText = "Traducoes recebidas invalidas. Tente novamente.";

// "NYRATRB1", a uint32 count of 1 to 64 entries, each a uint16 name length, the name (starting
// "data/db/T_", ending ".ini", at least 15 bytes), a uint32 data length of 1 to 16777216 and the
// data; nothing after the last entry (little-endian throughout).
bool isTranslationBundle(std::span<const std::uint8_t> bundle);

// Exactly 64 characters from "0123456789abcdef".
bool isBundleTag(std::string_view tag);

// "NyraTR2|" + language + "|" + tag + "|" + login name: the entropy the cache is protected with,
// so a cache opens only for the same language, bundle and account.
std::string translationCacheBinding(std::string_view language, std::string_view tag, std::string_view loginName);

// "translations.en.cache" for "en", "translations.pt-BR.cache" for every other code.
std::string translationCacheFileName(std::string_view language);

// The tag the game-start answer names for the language: `translations_sha256` for "pt-BR",
// `translation_languages[language]` otherwise. Empty when absent or not a string (the obtain step
// then refuses it).
std::string expectedTranslationTag(const nlohmann::json& gameStartAnswer, std::string_view language);

// The cache files of one engine folder, by file name.
class TranslationCache {
public:
    virtual ~TranslationCache() = default;
    // The file's bytes; nullopt when it is missing, not a plain file, too large or unreadable.
    virtual std::optional<std::vector<std::uint8_t>> read(std::string_view fileName) = 0;
    // Replaces the file's content whole; false when that failed (the old content then stays).
    virtual bool write(std::string_view fileName, std::span<const std::uint8_t> blob) = 0;
};

// Protection for the current user that takes the binding text as an additional secret input.
class UserDataProtector {
public:
    virtual ~UserDataProtector() = default;
    // nullopt when the platform refuses.
    virtual std::optional<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> plain,
                                                             std::string_view binding) = 0;
    // nullopt when the blob was altered, belongs to another user or was bound to another text.
    virtual std::optional<std::vector<std::uint8_t>> unprotect(std::span<const std::uint8_t> blob,
                                                               std::string_view binding) = 0;
};

// Asks the backend for the bundle of a language; throws the backend client's errors.
using TranslationFetch = std::function<std::vector<std::uint8_t>(std::string_view language)>;

// The bundle for the game start: a bad tag or an empty login name fails with
// kTranslationsUnavailableText before anything else; a cache that opens with the binding and holds
// a valid bundle answers; any failure of the cache (missing, unreadable, foreign, damaged) falls
// through silently to the fetch; a fetched body that is not a bundle fails with
// kTranslationsInvalidText; the fetched bundle is then protected and written to the cache, and a
// failure of that is ignored.
std::vector<std::uint8_t> obtainTranslationBundle(TranslationCache& cache, UserDataProtector& protector,
                                                  const TranslationFetch& fetch, std::string_view expectedTag,
                                                  std::string_view loginName, std::string_view language);

}  // namespace nyra
