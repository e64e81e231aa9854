// The portal's news feed body ({"items": [...]}) as the news worker reads it, each item's texts
// as the screens show them, and the notifications count (the same bytes read as the stored
// /api/notifications data).
#include <cstdint>

#include "core/json_limits.h"
#include "core/text.h"
#include "fuzz/fuzz_support.h"
#include "ui/news.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > nyra::ui::kNewsBodyLimit) return 0;
    const std::string_view body = nyra::fuzz::textOf(data, size);
    std::vector<nyra::NewsItem> items;
    if (accepts([&] { items = nyra::ui::parseNewsFeed(body); })) {
        check(items.size() <= nyra::ui::kNewsMaxItems, "more news items than the screen holds");
        for (const auto& item : items) {
            check(nyra::ui::isValidSlug(item.slug) && !item.title.empty(), "an item without slug or title");
            // Everything shown is converted for drawing; it must convert.
            for (const auto* text : {&item.title, &item.summary, &item.category, &item.cover, &item.displayDate}) {
                (void)nyra::utf8ToUtf16(*text);
            }
            (void)nyra::utf8ToUtf16(nyra::ui::newsRowCaption(item));
            check(nyra::ui::coverIndex(item.cover) < nyra::ui::kCoverNames.size(), "a cover out of the list");
        }
    }
    accepts([&] { (void)nyra::ui::unreadCount(nyra::parseJsonText(body)); });
    return 0;
}
