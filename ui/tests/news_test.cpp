#include "core/json_limits.h"
#include "core/tests/hostile_nesting.h"
#include "ui/news.h"
#include "ui/portal.h"

#include <gtest/gtest.h>

#include <string>

namespace nyra::ui {
namespace {

using nlohmann::json;

json validEntry() {
    return json{{"slug", "nova-temporada-2026"},
                {"category", "evento"},
                {"title", "Nova temporada"},
                {"summary", "Resumo."},
                {"cover", "vulcao"},
                {"published_at", "2026-11-28T18:00:00Z"},
                {"pinned", true}};
}

TEST(NewsItemRules, ValidEntryKeepsEveryField) {
    const auto item = newsItemFromJson(validEntry());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->slug, "nova-temporada-2026");
    EXPECT_EQ(item->category, "evento");
    EXPECT_EQ(item->title, "Nova temporada");
    EXPECT_EQ(item->summary, "Resumo.");
    EXPECT_EQ(item->cover, "vulcao");
    EXPECT_EQ(item->displayDate, "28 de nov. de 2026");
    EXPECT_TRUE(item->pinned);
}

TEST(NewsItemRules, DroppedItems) {
    const struct {
        const char* name;
        const char* key;
        json value;
    } cases[] = {
        {"capital letter in the slug", "slug", "Nova"},
        {"blank in the slug", "slug", "nova temporada"},
        {"81-byte slug", "slug", std::string(81, 'a')},
        {"empty slug", "slug", ""},
        {"slug not a string", "slug", 12},
        {"slug with a dot", "slug", "a.b"},
        {"601-byte title", "title", std::string(601, 't')},
        {"empty title", "title", ""},
        {"title not a string", "title", json::array()},
        {"title not UTF-8", "title", "\xC3("},
    };
    for (const auto& c : cases) {
        json entry = validEntry();
        entry[c.key] = c.value;
        EXPECT_FALSE(newsItemFromJson(entry)) << c.name;
    }
    json noSlug = validEntry();
    noSlug.erase("slug");
    EXPECT_FALSE(newsItemFromJson(noSlug));
    EXPECT_FALSE(newsItemFromJson(json::array()));
}

TEST(NewsItemRules, LimitsAreBytesAndValuesAreNeverCut) {
    const struct {
        const char* key;
        std::size_t limit;
        std::string NewsItem::*field;
    } cases[] = {{"slug", 80, &NewsItem::slug},
                 {"title", 600, &NewsItem::title},
                 {"summary", 1300, &NewsItem::summary},
                 {"category", 20, &NewsItem::category},
                 {"cover", 20, &NewsItem::cover}};
    for (const auto& c : cases) {
        json entry = validEntry();
        entry[c.key] = std::string(c.limit, 'a');
        auto item = newsItemFromJson(entry);
        ASSERT_TRUE(item) << c.key;
        EXPECT_EQ((*item).*c.field, std::string(c.limit, 'a')) << c.key;
    }
    json entry = validEntry();
    entry["summary"] = std::string(1301, 's');
    entry["category"] = std::string(21, 'c');
    entry["cover"] = 7;
    entry["pinned"] = "yes";
    auto item = newsItemFromJson(entry);
    ASSERT_TRUE(item);  // an over-long summary empties it, the item stays
    EXPECT_EQ(item->summary, "");
    EXPECT_EQ(item->category, "");
    EXPECT_EQ(item->cover, "");
    EXPECT_FALSE(item->pinned);
    // 600 bytes of two-byte characters are 300 characters and fit; one more does not.
    entry["title"] = [] {
        std::string t;
        for (int i = 0; i < 300; ++i) t += "\xC3\xA7";
        return t;
    }();
    EXPECT_TRUE(newsItemFromJson(entry));
    entry["title"] = entry["title"].get<std::string>() + "x";
    EXPECT_FALSE(newsItemFromJson(entry));
}

TEST(NewsFeed, KeepsTheFirstSixValidItems) {
    json items = json::array();
    items.push_back(json{{"slug", "BAD"}, {"title", "skipped"}});
    for (int i = 0; i < 10; ++i) {
        json e = validEntry();
        e["slug"] = "item-" + std::to_string(i);
        items.push_back(e);
    }
    items.push_back(42);  // beyond the sixth item: never looked at
    const auto list = parseNewsFeed(json{{"items", items}}.dump());
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list.front().slug, "item-0");
    EXPECT_EQ(list.back().slug, "item-5");
}

TEST(NewsFeed, MalformedFeedsFailWithTheJsonError) {
    const char* bodies[] = {"", "not json", "{}", R"({"items": 3})", R"({"items": {"a": {}}})",
                            R"({"items": [{"slug": "a", "title": "t"}, 5]})", "[]"};
    for (const char* body : bodies) {
        EXPECT_THROW(parseNewsFeed(body), nlohmann::json::exception) << body;
    }
    EXPECT_TRUE(parseNewsFeed(R"({"items": []})").empty());
    EXPECT_TRUE(parseNewsFeed(R"({"items": [{"slug": "x"}]})").empty());
}

TEST(NewsFeed, FeedsNestedTooDeepFailWithTheJsonError) {
    // The feed object, its items, the item: three levels around the extra member.
    const auto feed = [](std::size_t depth) {
        json item = validEntry();
        item["note"] = "@";
        std::string text = json{{"items", json::array({item})}}.dump();
        text.replace(text.find("\"@\""), 3, test::nestedJson(depth - 3));
        return text;
    };
    test::onWindowsSizedStack([&] {
        EXPECT_EQ(parseNewsFeed(feed(kDocumentNestingLimit)).size(), 1u);
        EXPECT_THROW(parseNewsFeed(feed(kDocumentNestingLimit + 1)), nlohmann::json::parse_error);
        EXPECT_THROW(parseNewsFeed(feed(test::kHostileDepth)), nlohmann::json::parse_error);
    });
}

TEST(DisplayDate, BrasiliaTime) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"2026-03-01T01:30", "28 de fev. de 2026"},  // three hours earlier: the previous day
        {"2024-03-01T02:59:59Z", "29 de fev. de 2024"},  // leap year
        {"2026-01-01T02:00:00Z", "31 de dez. de 2025"},
        {"2026-01-01T03:00:00Z", "01 de jan. de 2026"},
        {"2026-11-28T18:00:00Z", "28 de nov. de 2026"},
        {"2026-05-09T12:00", "09 de mai. de 2026"},
        {"2026-12-31T23:59", "31 de dez. de 2026"},
        {"2026-13-01T10:00", ""},
        {"2026-00-01T10:00", ""},
        {"2026-03-01", ""},
        {"2026-03-01 10:00", ""},
        {"", ""},
        {"ontem", ""},
        {"0001-01-01T01:00", ""},  // before year 1 once moved back
    };
    for (const auto& c : cases) EXPECT_EQ(formatDisplayDate(c.in), c.out) << c.in;

    json entry = validEntry();
    entry["published_at"] = std::string("2026-03-01T01:30") + std::string(25, 'Z');  // 41 bytes
    EXPECT_EQ(newsItemFromJson(entry)->displayDate, "");
}

TEST(Categories, LabelsAndColours) {
    EXPECT_EQ(categoryStyle("atualizacao").label, "ATUALIZAÇÃO");
    EXPECT_EQ(categoryStyle("atualizacao").badgeColour, 0xFFC2417Fu);
    EXPECT_EQ(categoryStyle("evento").label, "EVENTO");
    EXPECT_EQ(categoryStyle("evento").textColour, 0xFF1D1230u);
    EXPECT_EQ(categoryStyle("manutencao").badgeColour, 0xFFD68028u);
    EXPECT_EQ(categoryStyle("Evento").label, "COMUNIDADE");  // compared exactly
    EXPECT_EQ(categoryStyle("").label, "COMUNIDADE");
    EXPECT_EQ(categoryStyle("comunidade").badgeColour, 0xFF30968Eu);
}

TEST(Covers, NamesToPictures) {
    EXPECT_EQ(coverIndex("capital"), 0u);
    EXPECT_EQ(coverIndex("vulcao"), 3u);  // the fourth picture
    EXPECT_EQ(coverIndex("farol"), 7u);
    EXPECT_EQ(coverIndex("Vulcao"), 0u);
    EXPECT_EQ(coverIndex(""), 0u);
}

TEST(EmptyState, BuiltInItem) {
    const NewsItem item = builtInNewsItem();
    EXPECT_EQ(item.category, "comunidade");
    EXPECT_EQ(item.title, "Bem-vindo ao Nyra Saga Brasil");
    EXPECT_EQ(item.cover, "capital");
    EXPECT_TRUE(item.slug.empty());
    EXPECT_TRUE(item.displayDate.empty());
    EXPECT_FALSE(item.pinned);
    EXPECT_EQ(newsRowCaption(item), "COMUNIDADE");
    NewsItem dated = item;
    dated.category = "evento";
    dated.displayDate = "28 de fev. de 2026";
    EXPECT_EQ(newsRowCaption(dated), "EVENTO  \u00B7  28 de fev. de 2026");
}

TEST(Notifications, UnreadCount) {
    const struct {
        const char* data;
        std::size_t unread;
    } cases[] = {
        {"[]", 0},
        {R"([{"read": false}, {"read": true}, {"read": false}])", 2},
        {R"([{"read": 0}, {"read": "false"}, {"id": 1}, 5, null, {"read": false}])", 1},
        {"null", 0},
        {"{}", 0},
        {R"("x")", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(unreadCount(json::parse(c.data)), c.unread) << c.data;
}

TEST(Portal, PagesAndNotices) {
    EXPECT_EQ(portalPage(PortalLink::Home).path, "/");
    EXPECT_EQ(portalPage(PortalLink::AllNews).notice, "Notícias abertas no navegador.");
    EXPECT_EQ(portalPage(PortalLink::NewsItem, "nova-era").path, "/noticias/nova-era");
    EXPECT_EQ(portalPage(PortalLink::NewsItem, "nova-era").notice, "Notícia aberta no navegador.");
    EXPECT_EQ(portalPage(PortalLink::NewsItem, "").path, "/noticias");  // the built-in item
    EXPECT_EQ(portalPage(PortalLink::NewsItem, "../x?y").path, "/noticias");
    EXPECT_EQ(portalPage(PortalLink::Register).path, "/cadastro");
    EXPECT_EQ(portalPage(PortalLink::ForgotPassword).notice, "Recuperacao de senha aberta no navegador.");
    EXPECT_EQ(portalBaseAddress().rfind("https://", 0), 0u);
}

TEST(Portal, GameNewsAddressTakesOnlyAnOpaqueTicket) {
    const std::string ticket = "AbCdEfGhIjKlMnOpQrStUvWxYz0123456789-_abcde";
    ASSERT_EQ(ticket.size(), 43u);
    const auto address = gameNewsAddress(ticket);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->rfind("https://", 0), 0u);
    EXPECT_TRUE(address->ends_with("/game-news/?ticket=" + ticket));
    EXPECT_FALSE(gameNewsAddress(""));
    EXPECT_FALSE(gameNewsAddress(ticket.substr(1)));
    EXPECT_FALSE(gameNewsAddress(ticket.substr(1) + "&"));
}

TEST(Portal, SplitHttpsAddress) {
    EXPECT_EQ(splitHttpsAddress("https://localhost").host, "localhost");
    EXPECT_EQ(splitHttpsAddress("https://localhost").port, 443);
    EXPECT_EQ(splitHttpsAddress("HTTPS://portal.example:8443/x").port, 8443);
    EXPECT_EQ(splitHttpsAddress("https://portal.example/").host, "portal.example");
    for (const char* bad : {"http://portal.example", "https://", "https://:443", "https://a:0", "https://a:65536",
                            "https://a:x", "https://user@host", "ftp://a", "portal.example"}) {
        try {
            splitHttpsAddress(bad);
            ADD_FAILURE() << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Endereco do portal invalido.") << bad;
        }
    }
}

}  // namespace
}  // namespace nyra::ui
