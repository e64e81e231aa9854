// The protected components of the published sample set, end to end against the stand-in service:
// the preparation materialises them into the engine folder, the launch check accepts them with the
// published guard, the summary lands in the protected diagnostics, and releasing the preparation
// removes the native components.
#include "content/components.h"
#include "content/win/components.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "app/win/product_services.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"
#include "state/win/protected_diagnostics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace nyra::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

class PublishedComponents : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        std::uint8_t random[8];
        win::randomBytes(random);
        const std::string hex = toHex(random);
        folder = fs::temp_directory_path() / (L"nyra-components-" + std::wstring(hex.begin(), hex.end()));
        fs::create_directories(folder);
        components.emplace(engine());
        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        writeWholeFile(folder / L"Launcher.exe", http->exchange("/api/download/launcher", "", "", 134217728));
        policy = http->call("/api/launcher/package-policy");
    }
    void TearDown() override {
        http.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        ServiceTest::TearDown();
    }

    Prepared prepareWithComponents(json& summary) {
        PrepareOptions options;
        options.summarySink = [&](const fs::path& gameFolder, const json& record) {
            summary = record;
            EXPECT_TRUE(recordVerificationSummary(gameFolder, record));
        };
        std::atomic<bool> cancel{false};
        return prepare(*http, folder, policy, false, cancel, {}, {}, *components, options);
    }

    fs::path engine() const { return folder / L".engine"; }

    WinClock clock;
    std::unique_ptr<Http> http;
    fs::path folder;
    json policy;
    std::optional<ProtectedComponents> components;
};

TEST_F(PublishedComponents, PreparedOnceCheckedAtLaunchAndRemovedWhenReleased) {
    json summary;
    std::optional<Prepared> prepared = prepareWithComponents(summary);

    const json& files = policy.at("policy").at("files");
    std::uint64_t expected = 1;  // client.ini
    for (const auto& [key, digest] : files.items()) {
        if (key == "Launcher.exe") {
            EXPECT_FALSE(fs::exists(engine() / L"Launcher.exe"));
            continue;
        }
        ++expected;
        EXPECT_EQ(sha256File(joinPackagePath(engine(), key)), digest.get<std::string>()) << key;
    }
    EXPECT_GT(fs::file_size(engine() / L"client.ini"), 0u);
    EXPECT_EQ(summary.at("local_components_prepared"), expected);
    EXPECT_EQ(readDiagnostic(folder, DiagnosticKind::Verification), summary);
    for (const char* sub : {"UserSetting", "ScreenCapture", "Temp"}) EXPECT_TRUE(fs::is_directory(engine() / sub));

    const json map = checkProtectedFiles(folder, *prepared);
    EXPECT_EQ(map, files);

    // Prepared again while the components are in place: nothing is written.
    json second;
    std::optional<Prepared> again = prepareWithComponents(second);
    EXPECT_EQ(second.at("local_components_prepared"), 0);

    // The game session ends: the native components go, the player's settings stay.
    again.reset();
    prepared.reset();
    EXPECT_FALSE(fs::exists(engine() / L"game.bin"));
    EXPECT_FALSE(fs::exists(engine() / L"NyraGuard.dll"));
    EXPECT_FALSE(fs::exists(engine() / L"nyra.guard"));
    EXPECT_FALSE(fs::exists(engine() / L"graphics" / L"reshade" / L"fx" / L"e.fx"));
    EXPECT_TRUE(fs::exists(engine() / L"client.ini"));

    // The next start writes back only what was removed.
    json third;
    prepared = prepareWithComponents(third);
    EXPECT_EQ(third.at("local_components_prepared"), expected - 1);
}

// The preparation as the launcher assembles it: components in the slot's engine folder, the
// summary in the launcher folder's protected diagnostics.
TEST_F(PublishedComponents, TheLaunchersPreparationKeepsItsSummaryAsAProtectedDiagnostic) {
    const auto preparation = makeGamePreparation(folder, folder / L".engine-3");
    std::atomic<bool> cancel{false};
    auto prepared = preparation->prepareUntilStable(*http, folder, false, cancel, {}, {});
    ASSERT_NE(prepared, nullptr);
    EXPECT_EQ(prepared->engineFolder(), folder / L".engine-3");
    EXPECT_TRUE(fs::exists(folder / L".engine-3" / L"game.bin"));
    const json summary = readDiagnostic(folder, DiagnosticKind::Verification);
    EXPECT_EQ(summary.at("local_components_prepared"), policy.at("policy").at("files").size());
    prepared.reset();
    EXPECT_FALSE(fs::exists(folder / L".engine-3" / L"game.bin"));
}

}  // namespace
}  // namespace nyra::test
