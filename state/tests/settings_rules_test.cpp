// The language the game is told and the refresh rate it is given.
#include "state/settings_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace nyra {
namespace {

TEST(SettingsRules, OnlyExactlyEnIsEnglish) {
    const struct {
        std::optional<std::string> value;
        std::string_view language;
    } cases[] = {
        {"en", "en"},   {"pt-BR", "pt-BR"}, {"EN", "pt-BR"}, {"en-US", "pt-BR"}, {" en", "pt-BR"},
        {"", "pt-BR"},  {std::nullopt, "pt-BR"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(languageOfVariable(c.value), c.language) << c.value.value_or("(absent)");
    }
}

TEST(SettingsRules, OnlyAHighDisplayRateReplacesAStoredRateOf60OrLess) {
    const struct {
        int displayHz;
        int storedHz;
        std::optional<int> written;
    } cases[] = {
        {59, 0, std::nullopt},  {60, 0, std::nullopt},  {61, 0, 61},   {144, 0, 144},
        {500, 0, 500},          {501, 0, std::nullopt}, {0, 0, std::nullopt}, {-144, 0, std::nullopt},
        {144, 60, 144},         {61, 60, 61},           {144, 120, std::nullopt}, {500, 61, std::nullopt},
        {59, 60, std::nullopt}, {501, 60, std::nullopt}, {144, -5, 144},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(screenFrequencyToStore(c.displayHz, c.storedHz), c.written) << c.displayHz << " Hz over " << c.storedHz;
    }
}

}  // namespace
}  // namespace nyra
