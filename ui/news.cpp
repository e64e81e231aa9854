#include "ui/news.h"

#include "core/json_limits.h"
#include "core/text.h"

#include <cstdio>
#include <stdexcept>

namespace nyra::ui {
namespace {

using nlohmann::json;

constexpr std::size_t kSlugLimit = 80;
constexpr std::size_t kCategoryLimit = 20;
constexpr std::size_t kTitleLimit = 600;
constexpr std::size_t kSummaryLimit = 1300;
constexpr std::size_t kCoverLimit = 20;
constexpr std::size_t kPublishedAtLimit = 40;

constexpr std::int64_t kBrasiliaOffsetSeconds = -10800;

constexpr std::array<std::string_view, 12> kMonths{"jan.", "fev.", "mar.", "abr.", "mai.", "jun.",
                                                   "jul.", "ago.", "set.", "out.", "nov.", "dez."};

bool validUtf8(std::string_view text) {
    try {
        (void)utf8ToUtf16(text);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// The member as a string within its byte limit, else empty.
std::string limitedString(const json& entry, const char* key, std::size_t limit) {
    const auto found = entry.find(key);
    if (found == entry.end() || !found->is_string()) return {};
    const auto& value = found->get_ref<const std::string&>();
    if (value.size() > limit || !validUtf8(value)) return {};
    return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date; the day may lie outside its month (it
// simply counts on), which is what a time library's normalisation does as well.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYearStart = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYearStart;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468 + (day - 1);
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

}  // namespace

bool isValidSlug(std::string_view slug) {
    if (slug.empty() || slug.size() > kSlugLimit) return false;
    for (const char c : slug) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

std::optional<NewsItem> newsItemFromJson(const json& entry) {
    if (!entry.is_object()) return std::nullopt;
    NewsItem item;
    item.slug = limitedString(entry, "slug", kSlugLimit);
    if (!isValidSlug(item.slug)) return std::nullopt;
    item.title = limitedString(entry, "title", kTitleLimit);
    if (item.title.empty()) return std::nullopt;
    item.category = limitedString(entry, "category", kCategoryLimit);
    item.summary = limitedString(entry, "summary", kSummaryLimit);
    item.cover = limitedString(entry, "cover", kCoverLimit);
    item.displayDate = formatDisplayDate(limitedString(entry, "published_at", kPublishedAtLimit));
    const auto pinned = entry.find("pinned");
    item.pinned = pinned != entry.end() && pinned->is_boolean() && pinned->get<bool>();
    return item;
}

std::vector<NewsItem> parseNewsFeed(std::string_view body, std::size_t maxCount) {
    const json document = parseJsonText(body);
    const auto& items = document.at("items").get_ref<const json::array_t&>();
    std::vector<NewsItem> list;
    for (const auto& element : items) {
        if (list.size() >= maxCount) break;
        (void)element.get_ref<const json::object_t&>();  // a non-object fails the whole feed
        if (auto item = newsItemFromJson(element)) list.push_back(std::move(*item));
    }
    return list;
}

CategoryStyle categoryStyle(std::string_view key) {
    constexpr std::uint32_t kPrimaryText = 0xFFFCF4FF;
    if (key == "atualizacao") return {"ATUALIZAÇÃO", 0xFFC2417F, kPrimaryText};
    if (key == "evento") return {"EVENTO", 0xFFF7A8C8, 0xFF1D1230};
    if (key == "manutencao") return {"MANUTENÇÃO", 0xFFD68028, kPrimaryText};
    return {"COMUNIDADE", 0xFF30968E, kPrimaryText};
}

std::size_t coverIndex(std::string_view cover) {
    for (std::size_t i = 0; i < kCoverNames.size(); ++i) {
        if (kCoverNames[i] == cover) return i;
    }
    return 0;
}

std::string formatDisplayDate(std::string_view publishedAt) {
    const std::string text(publishedAt);  // sscanf needs the terminator
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d", &year, &month, &day, &hour, &minute) != 5) return {};
    if (month < 1 || month > 12) return {};
    const std::int64_t seconds = daysFromCivil(year, static_cast<unsigned>(month), day) * 86400 +
                                 std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + kBrasiliaOffsetSeconds;
    const CivilDate local = civilFromDays(floorDivide(seconds, 86400));
    // The date is written with a four-digit year; a time before year 1 has no such form.
    if (local.year < 1 || local.year > 9999) return {};
    char buffer[48];
    std::snprintf(buffer, sizeof(buffer), "%02u de %s de %d", local.day, kMonths[local.month - 1].data(),
                  static_cast<int>(local.year));
    return buffer;
}

NewsItem builtInNewsItem() {
    NewsItem item;
    item.category = "comunidade";
    item.title = "Bem-vindo ao Nyra Saga Brasil";
    item.summary = "As novidades da equipe aparecem aqui assim que forem publicadas no portal.";
    item.cover = "capital";
    return item;
}

std::string newsRowCaption(const NewsItem& item) {
    std::string caption(categoryStyle(item.category).label);
    if (!item.displayDate.empty()) caption.append("  \u00B7  ").append(item.displayDate);
    return caption;
}

std::size_t unreadCount(const json& notifications) {
    if (!notifications.is_array() && !notifications.is_object()) return 0;
    std::size_t unread = 0;
    for (const auto& entry : notifications) {
        if (!entry.is_object()) continue;
        const auto read = entry.find("read");
        if (read != entry.end() && read->is_boolean() && !read->get<bool>()) ++unread;
    }
    return unread;
}

}  // namespace nyra::ui
