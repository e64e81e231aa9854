#include "home/temporary_names.h"

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace nyra::home {
namespace {

// Lower-cases ASCII letters only: the suffixes are ASCII, and other characters must not match them.
std::u32string lowerAscii(const std::filesystem::path& name) {
    std::u32string text = name.filename().u32string();
    for (auto& c : text) {
        if (c >= U'A' && c <= U'Z') c = c - U'A' + U'a';
    }
    return text;
}

bool endsWithAny(const std::filesystem::path& name, std::span<const std::u32string_view> suffixes) {
    const std::u32string text = lowerAscii(name);
    for (const auto suffix : suffixes) {
        if (text.size() >= suffix.size() && std::u32string_view(text).substr(text.size() - suffix.size()) == suffix) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool isTemporaryFileName(const std::filesystem::path& name) {
    static constexpr std::array<std::u32string_view, 6> kSuffixes{U".nyra-heal", U".nyra-old", U".update",
                                                                 U".update.json", U".ready", U".new"};
    return endsWithAny(name, kSuffixes);
}

bool isHealingLeftoverName(const std::filesystem::path& name) {
    static constexpr std::array<std::u32string_view, 2> kSuffixes{U".nyra-heal", U".nyra-old"};
    return endsWithAny(name, kSuffixes);
}

}  // namespace nyra::home
