#pragma once
// The portal's news feed as the launcher shows it: item validation with byte limits, categories,
// covers, the Brasília-time display date, the built-in item of the empty state, and the count of
// unread portal notifications.
#include "core/ui_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nyra::ui {

inline constexpr std::size_t kNewsMaxItems = 6;
inline constexpr std::uint64_t kNewsBodyLimit = 262144;  // 256 KiB

// 1-80 bytes of a-z, 0-9 and "-".
bool isValidSlug(std::string_view slug);

// One feed entry (a JSON object) as a NewsItem, or nothing when its slug or title fails. Strings
// that are missing, not strings, over their byte limit or not valid UTF-8 count as empty; values
// are never cut short.
std::optional<NewsItem> newsItemFromJson(const nlohmann::json& entry);

// The feed body {"items": [...]}: at most `maxCount` valid items, in order. Throws the JSON
// library's own error when the body is not JSON, has no `items` array, or an element used before
// the list is full is not an object.
std::vector<NewsItem> parseNewsFeed(std::string_view body, std::size_t maxCount = kNewsMaxItems);

struct CategoryStyle {
    std::string_view label;       // drawn through TranslateForDisplay
    std::uint32_t badgeColour;    // ARGB
    std::uint32_t textColour;     // ARGB
};
// `atualizacao`, `evento`, `manutencao`, and "COMUNIDADE" for anything else.
CategoryStyle categoryStyle(std::string_view key);

// The built-in covers, pictures 110-117 in this order.
inline constexpr std::array<std::string_view, 8> kCoverNames{"capital", "jardins", "deserto", "vulcao",
                                                             "cristais", "ruinas", "vila", "farol"};
inline constexpr int kFirstCoverResource = 110;
// Index into kCoverNames; unknown and empty names use "capital" (0).
std::size_t coverIndex(std::string_view cover);

// "2026-03-01T01:30..." (UTC) -> "28 de fev. de 2026" (three hours earlier, Brasília time);
// empty for anything that does not read as year-month-dayThour:minute with a month of 1-12.
std::string formatDisplayDate(std::string_view publishedAt);

// Shown while the list is empty.
NewsItem builtInNewsItem();

// "EVENTO  ·  28 de fev. de 2026", or the label alone when the item has no date (list rows).
std::string newsRowCaption(const NewsItem& item);

// The entries of the stored /api/notifications data that are objects with a boolean `read` equal
// to false.
std::size_t unreadCount(const nlohmann::json& notifications);

}  // namespace nyra::ui
