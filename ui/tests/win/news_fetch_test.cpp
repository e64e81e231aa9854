// The news feed over WinHTTP against the stand-in service's portal: the real transport profile,
// the development thumbprint and the service's fault injection.
#include "core/tests/failure_text.h"
#include "core/deployment.h"
#include "net/tests/win/service_fixture.h"
#include "ui/news_loader.h"
#include "ui/win/news_fetch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

namespace nyra::test {
namespace {

using nlohmann::json;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

struct NoWindow final : WindowPoster {
    void post(unsigned, std::uintptr_t) override {}
};

class NewsFeed : public ServiceTest {
protected:
    static std::vector<NewsItem> fetch() { return ui::fetchNewsFrom("https://localhost", thumbprint()); }
    static std::string_view thumbprint() { return deployment().localhostPortalThumbprint; }
};

TEST_F(NewsFeed, ReadsTheSeededItemsUpToSix) {
    const auto items = ui::fetchNews();  // this build's portal is the stand-in
    ASSERT_EQ(items.size(), 6u);         // seven are seeded
    for (const auto& item : items) {
        EXPECT_TRUE(ui::isValidSlug(item.slug)) << item.slug;
        EXPECT_FALSE(item.title.empty());
        EXPECT_FALSE(item.displayDate.empty()) << item.slug;  // "... de 2026"
    }
    EXPECT_EQ(fetch().size(), 6u);
    EXPECT_EQ(ui::fetchNewsFrom("https://localhost", thumbprint(), 2).size(), 2u);
    const std::atomic<bool> stopped{true};
    EXPECT_EQ(failureOf([&] { ui::fetchNews(&stopped); }), "Noticias indisponiveis.");
}

TEST_F(NewsFeed, FailuresCarryTheLoadersMessages) {
    const struct {
        json rule;
        const char* message;
    } cases[] = {
        {{{"target", "news"}, {"kind", "status"}, {"status", 503}}, "Resposta de noticias invalida."},
        {{{"target", "news"}, {"kind", "content-type"}, {"value", "text/html"}}, "Resposta de noticias invalida."},
        {{{"target", "news"}, {"kind", "no-content-type"}}, "Resposta de noticias invalida."},
        {{{"target", "news"}, {"kind", "oversize"}, {"bytes", 262145}}, "Resposta de noticias muito grande."},
    };
    for (const auto& c : cases) {
        service->fault(c.rule);
        EXPECT_EQ(failureOf([] { fetch(); }), c.message) << c.rule.dump();
    }
    service->fault({{"target", "news"}, {"kind", "corrupt"}, {"at", 0}});
    EXPECT_THROW(fetch(), nlohmann::json::exception);  // the JSON reader's own error
    EXPECT_EQ(fetch().size(), 6u);                      // faults were one-shot
    service->fault({{"target", "news"}, {"kind", "content-type"}, {"value", "Application/JSON"}});
    EXPECT_EQ(fetch().size(), 6u);  // media types compare without regard to case
}

TEST_F(NewsFeed, ALocalhostPortalNeedsTheThumbprint) {
    EXPECT_EQ(failureOf([] { ui::fetchNewsFrom("https://localhost", std::string(40, '0')); }),
              "Certificado do portal invalido.");
    EXPECT_EQ(failureOf([] { ui::fetchNewsFrom("https://localhost", ""); }), "Certificado do portal invalido.");
    service->certificate("reissued");  // chains to the trusted CA, but it is another certificate
    EXPECT_EQ(failureOf([] { fetch(); }), "Certificado do portal invalido.");
    EXPECT_EQ(failureOf([] { ui::fetchNewsFrom("http://localhost", thumbprint()); }), "Endereco do portal invalido.");
}

TEST_F(NewsFeed, LoaderKeepsTheEmptyStateWhenThePortalFails) {
    WinClock clock;
    NoWindow poster;
    UiStore store(clock, poster);
    ui::NewsLoader loader(store, clock, poster, [](const std::atomic<bool>& stop) { return ui::fetchNews(&stop); });

    service->fault({{"target", "news"}, {"kind", "status"}, {"status", 500}});
    ASSERT_TRUE(loader.start());
    loader.join();
    EXPECT_TRUE(store.snapshot().news.empty());  // the panel shows the built-in item
    EXPECT_EQ(loader.lastError(), "Resposta de noticias invalida.");

    ASSERT_TRUE(loader.start());
    loader.join();
    EXPECT_EQ(store.snapshot().news.size(), 6u);
    EXPECT_EQ(loader.lastError(), "");
}

}  // namespace
}  // namespace nyra::test
