// The translation bundle against the stand-in service: fetched with the download token, cached
// with the platform's data protection in the engine folder, refetched when the account changes or
// the cache was tampered with, and refused when the tag or the answer is wrong.
#include "core/clock.h"
#include "core/tests/failure_text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"
#include "state/translations.h"
#include "state/win/translations.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class Translations : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        wchar_t temporary[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH + 1, temporary);
        engineFolder = fs::path(temporary) / (L"nyra-translations-" + std::to_wstring(::GetCurrentProcessId()));
        fs::remove_all(engineFolder);
        fs::create_directories(engineFolder);

        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        // The download token, the way the preparation gets it before the game starts.
        const json policy = http->call("/api/launcher/package-policy");
        http->call("/api/launcher/package-key",
                   {{"package_id", policy.at("package_id")},
                    {"index_sha256", policy.at("index_sha256")},
                    {"launcher_sha256", policy.at("policy").at("files").at("Launcher.exe")}});
        start = http->call("/api/launcher/start", {{"version", policy.at("package_id")},
                                                   {"package_id", policy.at("package_id")},
                                                   {"files", policy.at("policy").at("files")},
                                                   {"transport", "cloudflare-ws-v1"}});
        login = start.at("game_login").at("username").get<std::string>();
        logStart = translationRequests();
    }
    void TearDown() override {
        http.reset();
        std::error_code ignored;
        fs::remove_all(engineFolder, ignored);
        ServiceTest::TearDown();
    }

    Bytes obtain(const std::string& language, const std::string& loginName) {
        return obtainTranslationBundle(*http, engineFolder, expectedTranslationTag(start, language), loginName, language);
    }
    Bytes obtain(const std::string& language) { return obtain(language, login); }

    // The op-26 requests the service has logged.
    std::int64_t translationRequests() const {
        return service->query("SELECT COUNT(*) AS n FROM request_log WHERE target = 'op:26'").at(0).at("n").get<std::int64_t>();
    }
    std::int64_t fetchesSinceSetUp() const { return translationRequests() - logStart; }

    // The bundle file of the set the service publishes (its folder as Wine sees it through Z:).
    Bytes publishedBundle(const std::string& language) const {
        std::string folder = service->request("GET", "/state").at("set").at("folder").get<std::string>();
        std::replace(folder.begin(), folder.end(), '/', '\\');
        return readFile(fs::path("Z:" + folder) / "translations" / (language + ".bin"));
    }
    fs::path cacheFile(const std::string& language) const { return engineFolder / translationCacheFileName(language); }

    WinClock clock;
    std::unique_ptr<Http> http;
    fs::path engineFolder;
    json start;
    std::string login;
    std::int64_t logStart = 0;
};

TEST_F(Translations, FetchedOncePerLanguageThenServedFromTheCache) {
    for (const std::string language : {"en", "pt-BR"}) {
        const Bytes published = publishedBundle(language);
        ASSERT_TRUE(isTranslationBundle(published)) << language;
        EXPECT_EQ(win::sha256Hex(published.data(), published.size()), expectedTranslationTag(start, language))
            << "the start answer names the published bundle";

        EXPECT_EQ(obtain(language), published) << language;
        const auto fetched = fetchesSinceSetUp();
        EXPECT_TRUE(fs::is_regular_file(cacheFile(language))) << language;
        EXPECT_FALSE(fs::exists(cacheFile(language).wstring() + L".new"));
        EXPECT_EQ(obtain(language), published) << language;
        EXPECT_EQ(fetchesSinceSetUp(), fetched) << language << " came from the cache";
    }
    EXPECT_EQ(fetchesSinceSetUp(), 2);
}

TEST_F(Translations, AnotherLoginNameRefetchesOnceThenHits) {
    const Bytes published = publishedBundle("en");
    obtain("en");
    EXPECT_EQ(obtain("en", "outra-conta"), published);
    EXPECT_EQ(fetchesSinceSetUp(), 2);
    EXPECT_EQ(obtain("en", "outra-conta"), published);
    EXPECT_EQ(fetchesSinceSetUp(), 2);
}

TEST_F(Translations, TamperedCacheIsSilentlyReplaced) {
    const Bytes published = publishedBundle("en");
    obtain("en");
    Bytes tampered = readFile(cacheFile("en"));
    ASSERT_FALSE(tampered.empty());
    tampered[tampered.size() / 2] = static_cast<std::uint8_t>(tampered[tampered.size() / 2] ^ 0x01);
    std::ofstream(cacheFile("en"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(tampered.data()), static_cast<std::streamsize>(tampered.size()));

    EXPECT_EQ(obtain("en"), published);
    EXPECT_EQ(fetchesSinceSetUp(), 2);
    EXPECT_NE(readFile(cacheFile("en")), tampered);
    EXPECT_EQ(obtain("en"), published);
    EXPECT_EQ(fetchesSinceSetUp(), 2) << "the replaced cache opens";
}

TEST_F(Translations, BadTagOrLoginIsRefusedBeforeAnyRequest) {
    std::string upper = expectedTranslationTag(start, "en");
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    ASSERT_NE(upper, expectedTranslationTag(start, "en"));
    EXPECT_EQ(failureOf([&] { obtainTranslationBundle(*http, engineFolder, upper, login, "en"); }),
              "Traducoes indisponiveis no servidor. Tente novamente.");
    EXPECT_EQ(failureOf([&] { obtain("en", ""); }), "Traducoes indisponiveis no servidor. Tente novamente.");
    EXPECT_EQ(fetchesSinceSetUp(), 0);
}

TEST_F(Translations, InvalidAnswersAreRefusedAndNothingIsCached) {
    const struct {
        json fault;
        const char* text;
    } cases[] = {
        {{{"kind", "oversize"}, {"bytes", 1}}, "Traducoes recebidas invalidas. Tente novamente."},
        {{{"kind", "short-entry-name"}}, "Traducoes recebidas invalidas. Tente novamente."},
        // Past the 64 MiB the client accepts: the body is not read to its end.
        {{{"kind", "oversize"}, {"bytes", kTranslationBundleLimit}}, "Resposta do servidor muito grande."},
    };
    for (const auto& c : cases) {
        json fault = c.fault;
        fault["target"] = "translations";
        service->fault(fault);
        EXPECT_EQ(failureOf([&] { obtain("en"); }), c.text) << fault;
        EXPECT_FALSE(fs::exists(cacheFile("en"))) << fault;
    }
    EXPECT_EQ(obtain("en"), publishedBundle("en")) << "the faults are used up";
}

}  // namespace
}  // namespace nyra::test
