// The CDN objects and the portal's news feed and pages.
#include <gtest/gtest.h>

#include <regex>

#include "tools/service/tests/harness.h"

namespace nyra::service::testing {
namespace {

using nlohmann::json;

class CdnPortalTest : public ::testing::Test {
protected:
    ServiceHarness harness;
};

TEST_F(CdnPortalTest, ObjectRangeIsAnsweredWithTheExactContentRange) {
    auto cdn = harness.connect();
    const auto& set = harness.set();
    const std::string size = std::to_string(set.pack.size());
    const HeaderList headers{{"Accept", "application/octet-stream"},
                             {"Accept-Encoding", "identity"},
                             {"Range", "bytes=0-" + std::to_string(set.pack.size() - 1)}};
    const auto object = cdn->request("GET", set.cdnObjectPath, headers);
    ASSERT_EQ(object.status, 206);
    EXPECT_EQ(*object.header("Content-Range"), "bytes 0-" + std::to_string(set.pack.size() - 1) + "/" + size);
    EXPECT_EQ(*object.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(object.body, set.pack);

    const auto whole = cdn->request("GET", set.cdnObjectPath, {});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, set.pack);
    EXPECT_EQ(whole.header("Content-Range"), nullptr);

    const auto suffix = cdn->request("GET", set.cdnObjectPath, {{"Range", "bytes=-100"}});
    EXPECT_EQ(suffix.status, 206);
    EXPECT_EQ(suffix.body, set.pack.substr(set.pack.size() - 100));

    const auto beyond = cdn->request("GET", set.cdnObjectPath, {{"Range", "bytes=" + size + "-"}});
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(*beyond.header("Content-Range"), "bytes */" + size);

    const auto head = cdn->request("HEAD", set.cdnObjectPath, {});
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(*head.header("Content-Length"), size);

    EXPECT_EQ(cdn->request("GET", "/base/" + std::string(64, 'a') + "/0000.bin", {}).status, 404);
    EXPECT_EQ(cdn->request("GET", "/base/../set.json", {}).status, 404);
    EXPECT_EQ(cdn->request("GET", set.cdnObjectPath.substr(0, 71) + "0001.bin", {}).status, 404);
}

// Some clients send the absolute form inside a proxy tunnel; the routes are the same.
TEST_F(CdnPortalTest, AbsoluteFormTargetsAreRoutedLikeTheirPath) {
    auto portal = harness.connect();
    for (const char* target : {"https://portal.nyra-brasil.example/api/news", "HTTPS://localhost:443/api/news"}) {
        const auto feed = portal->request("GET", target, {{"Accept", "application/json"}});
        EXPECT_EQ(feed.status, 200) << target;
        EXPECT_EQ(feed.header("Content-Type")->rfind("application/json", 0), 0u) << target;
    }
    EXPECT_EQ(portal->request("GET", "https://portal.nyra-brasil.example", {}).status, 200);  // the portal's root
    EXPECT_EQ(portal->request("GET", "https://localhost/nowhere", {}).status, 404);
}

TEST_F(CdnPortalTest, NewsFeedCarriesValidItems) {
    auto portal = harness.connect();
    const auto feed = portal->request("GET", "/api/news", {{"Accept", "application/json"}});
    ASSERT_EQ(feed.status, 200);
    EXPECT_EQ(feed.header("Content-Type")->rfind("application/json", 0), 0u);
    const auto items = json::parse(feed.body).at("items");
    ASSERT_GE(items.size(), 6u);
    const std::regex slug("[a-z0-9-]{1,80}");
    const std::regex date(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}.*)");
    const std::set<std::string> covers{"capital", "jardins", "deserto", "vulcao", "cristais", "ruinas", "vila", "farol"};
    std::set<std::string> categories;
    for (const auto& item : items) {
        EXPECT_TRUE(std::regex_match(item.at("slug").get<std::string>(), slug)) << item;
        EXPECT_FALSE(item.at("title").get<std::string>().empty());
        EXPECT_LE(item.at("title").get<std::string>().size(), 600u);
        EXPECT_LE(item.at("summary").get<std::string>().size(), 1300u);
        EXPECT_LE(item.at("category").get<std::string>().size(), 20u);
        EXPECT_TRUE(covers.count(item.at("cover").get<std::string>())) << item;
        EXPECT_TRUE(std::regex_match(item.at("published_at").get<std::string>(), date)) << item;
        EXPECT_TRUE(item.at("pinned").is_boolean());
        categories.insert(item.at("category").get<std::string>());
    }
    EXPECT_EQ(categories, (std::set<std::string>{"atualizacao", "evento", "manutencao", "comunidade"}));

    const auto article = portal->request("GET", "/noticias/" + items[0].at("slug").get<std::string>(), {});
    EXPECT_EQ(article.status, 200);
    EXPECT_EQ(portal->request("GET", "/noticias/nao-existe", {}).status, 404);
}

}  // namespace
}  // namespace nyra::service::testing
