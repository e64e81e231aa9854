#include "state/win/translations.h"

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/win/data_protection.h"
#include "platform/win/files.h"
#include "state/translations.h"

namespace nyra {
namespace {

constexpr wchar_t kDescription[] = L"Nyra Saga Brasil";

// The cache files of one engine folder; the names are ASCII.
class EngineFolderCache final : public TranslationCache {
public:
    explicit EngineFolderCache(std::filesystem::path folder) : folder_(std::move(folder)) {}

    std::optional<std::vector<std::uint8_t>> read(std::string_view fileName) override {
        std::vector<std::uint8_t> blob;
        // Never follows a reparse point; a larger file is not one this launcher wrote.
        if (win::readPlainFile(pathOf(fileName), kTranslationCacheLimit, blob) != win::ReadOutcome::Read) {
            return std::nullopt;
        }
        return blob;
    }

    bool write(std::string_view fileName, std::span<const std::uint8_t> blob) override {
        const std::filesystem::path target = pathOf(fileName);
        return win::replaceFileContent(target, target.wstring() + L".new", blob) == win::ReplaceOutcome::Replaced;
    }

private:
    std::filesystem::path pathOf(std::string_view fileName) const {
        return folder_ / std::wstring(fileName.begin(), fileName.end());
    }

    std::filesystem::path folder_;
};

class CurrentUserProtector final : public UserDataProtector {
public:
    std::optional<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> plain,
                                                     std::string_view binding) override {
        const win::DataProtectionOutput output = win::protectForCurrentUser(plain, binding, kDescription);
        if (!output) return std::nullopt;
        return output.copy();
    }
    std::optional<std::vector<std::uint8_t>> unprotect(std::span<const std::uint8_t> blob,
                                                       std::string_view binding) override {
        const win::DataProtectionOutput output = win::unprotectForCurrentUser(blob, binding);
        if (!output) return std::nullopt;
        return output.copy();
    }
};

}  // namespace

std::vector<std::uint8_t> obtainTranslationBundle(Http& client, const std::filesystem::path& engineFolder,
                                                  std::string_view expectedTag, std::string_view loginName,
                                                  std::string_view language) {
    EngineFolderCache cache(engineFolder);
    CurrentUserProtector protector;
    const TranslationFetch fetch = [&client](std::string_view code) {
        const std::string arguments = nlohmann::json{{"language", std::string(code)}}.dump();
        return client.exchange("/api/launcher/translations", arguments, "", Http::kTranslationsLimit);
    };
    return obtainTranslationBundle(cache, protector, fetch, expectedTag, loginName, language);
}

}  // namespace nyra
