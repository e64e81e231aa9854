#include "state/settings_rules.h"

namespace nyra {

std::string_view languageOfVariable(std::optional<std::string_view> value) {
    return value == std::string_view("en") ? "en" : "pt-BR";
}

std::optional<int> screenFrequencyToStore(int displayHz, int storedHz) {
    constexpr int kStandardHz = 60;
    constexpr int kHighestHz = 500;
    if (displayHz <= kStandardHz || displayHz > kHighestHz) return std::nullopt;
    if (storedHz > kStandardHz) return std::nullopt;
    return displayHz;
}

}  // namespace nyra
