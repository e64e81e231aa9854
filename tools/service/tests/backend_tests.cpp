// The backend API over HTTPS: sign-in, cookies, CSRF, origin, download tokens, file operations,
// the game session operations and what the service records.
#include <gtest/gtest.h>

#include "tools/common/crypto.h"
#include "tools/service/tests/harness.h"

namespace nyra::service::testing {
namespace {

using nlohmann::json;

json keyArgs(const FixtureSet& set) {
    return {{"package_id", set.packageId},
            {"index_sha256", tools::sha256Hex(tools::asBytes(set.index))},
            {"launcher_sha256", set.launcherSha256}};
}

std::string setCookie(const ClientResponse& response, const std::string& name) {
    for (const auto& cookie : response.headersNamed("Set-Cookie")) {
        if (cookie.rfind(name + "=", 0) == 0) {
            return cookie;
        }
    }
    return {};
}

class BackendTest : public ::testing::Test {
protected:
    ServiceHarness harness;
};

TEST_F(BackendTest, SignInPolicyKeyIndexRangeAndSignOutOnOneConnection) {
    BackendClient client(harness);
    const auto& set = harness.set();

    auto first = client.call(0);
    ASSERT_EQ(first.status, 200);
    const auto boot = json::from_cbor(first.body);
    EXPECT_TRUE(boot.at("user").is_null());
    EXPECT_EQ(boot.at("csrf"), client.csrf);
    EXPECT_EQ(client.csrf.size(), 43u);
    const std::string csrfCookie = setCookie(first, "__Host-nyra_csrf");
    EXPECT_EQ(csrfCookie.substr(0, 60), "__Host-nyra_csrf=" + client.csrf);
    EXPECT_NE(csrfCookie.find("; Path=/; Secure"), std::string::npos);

    const auto login = client.call(1, {{"username", kUser},
                                       {"password", kPassword},
                                       {"remember", true},
                                       {"hwid", std::string(64, 'c')},
                                       {"hwid_info", "HWID v1"}});
    ASSERT_EQ(login.status, 200);
    EXPECT_EQ(client.session.size(), 43u);
    const std::string cookie = setCookie(login, "__Host-nyra_session");
    for (const char* attribute : {"; Path=/", "; Secure", "; HttpOnly", "; SameSite=Strict", "; Max-Age="}) {
        EXPECT_NE(cookie.find(attribute), std::string::npos) << attribute;
    }
    EXPECT_EQ(client.answer(0).at("user"), json({{"username", kUser}}));

    EXPECT_EQ(client.answer(3), set.policy);

    const auto key = client.answer(4, keyArgs(set));
    EXPECT_EQ(key.at("key"), set.packageKey);
    EXPECT_EQ(key.at("download_expires_in"), 600);
    client.downloadToken = key.at("download_token").get<std::string>();
    for (char c : client.downloadToken) {
        EXPECT_TRUE(c >= 33 && c <= 126);
    }

    const auto index = client.call(5);
    ASSERT_EQ(index.status, 200);
    EXPECT_EQ(*index.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(index.body, set.index);

    const auto range = client.call(6, {{"name", "nyra-000.pck"}, {"range", "bytes=4096-8191"}});
    ASSERT_EQ(range.status, 206);
    EXPECT_EQ(*range.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(range.body, set.pack.substr(4096, 4096));
    EXPECT_EQ(*range.header("Content-Range"), "bytes 4096-8191/" + std::to_string(set.pack.size()));

    const auto whole = client.call(6, {{"name", "nyra-001.pck"}});
    ASSERT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, set.smallPack);

    const auto en = client.call(26, {{"language", "en"}});
    ASSERT_EQ(en.status, 200);
    EXPECT_EQ(en.body, set.translationsEn);
    EXPECT_EQ(client.call(26, {{"language", "fr"}}).status, 404);

    const auto logout = client.call(2);
    ASSERT_EQ(logout.status, 200);
    EXPECT_TRUE(client.session.empty());
    EXPECT_EQ(setCookie(logout, "__Host-nyra_session").substr(0, 21), "__Host-nyra_session=;");
    EXPECT_TRUE(client.answer(0).at("user").is_null());
    // Signing out retires the session's download tokens.
    EXPECT_EQ(client.call(5).status, 403);

    const auto sessions = harness.service().store().query("SELECT remember, hwid, hwid_info, ended_at FROM sessions");
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].at("remember"), 1);
    EXPECT_EQ(sessions[0].at("hwid"), std::string(64, 'c'));
    EXPECT_EQ(sessions[0].at("hwid_info"), "HWID v1");
    EXPECT_FALSE(sessions[0].at("ended_at").is_null());
}

TEST_F(BackendTest, OriginAndContentTypeAreChecked) {
    BackendClient client(harness);
    client.origin = "https://portal.nyra-brasil.example";
    EXPECT_EQ(client.call(3).status, 403);
    const HeaderList noOrigin{{"Content-Type", "application/cbor"}};
    EXPECT_EQ(client.raw(envelope(3, json::object()), noOrigin).status, 403);
    const HeaderList jsonBody{{"Content-Type", "application/json"}, {"Origin", "https://localhost"}};
    EXPECT_EQ(client.raw(envelope(3, json::object()), jsonBody).status, 415);
    client.origin = "https://localhost";
    EXPECT_EQ(client.call(3).status, 200);
}

TEST_F(BackendTest, StateChangingOperationsNeedTheCsrfToken) {
    BackendClient client(harness);
    client.answer(0);
    const json credentials{{"username", kUser}, {"password", kPassword}};
    const std::string issued = client.csrf;

    const std::string body = envelope(1, credentials);
    const auto send = [&](const std::string& cookie, const std::string& header) {
        HeaderList headers{{"Content-Type", "application/cbor"}, {"Origin", "https://localhost"}};
        if (!cookie.empty()) {
            headers.emplace_back("Cookie", "__Host-nyra_csrf=" + cookie);
        }
        if (!header.empty()) {
            headers.emplace_back("X-CSRF-Token", header);
        }
        return client.raw(body, headers).status;
    };
    EXPECT_EQ(send("", ""), 403) << "no token at all";
    EXPECT_EQ(send(issued, ""), 403) << "cookie without header";
    EXPECT_EQ(send("", issued), 403) << "header without cookie";
    EXPECT_EQ(send(issued, tools::opaqueToken()), 403) << "header differs from the cookie";
    client.csrf = tools::opaqueToken();
    EXPECT_EQ(client.call(1, credentials).status, 403) << "well formed but never issued";
    client.csrf = issued;
    EXPECT_EQ(client.call(1, credentials).status, 200);
}

TEST_F(BackendTest, EnvelopeRefusalsAndOversizedBodies) {
    BackendClient client(harness);
    const HeaderList headers{{"Content-Type", "application/cbor"}, {"Origin", "https://localhost"}};
    auto trailing = envelope(3, json::object()) + std::string(1, '\0');
    const auto refused = client.raw(trailing, headers);
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(*refused.header("Content-Type"), "application/cbor");
    EXPECT_EQ(client.raw(std::string("\xc0", 1) + envelope(3, json::object()), headers).status, 400);
    EXPECT_EQ(client.call(3).status, 200) << "the connection stays usable after a 400";

    // The service refuses an oversized body without reading it: the client sees the 400, or, when
    // the refusal closes the connection before the whole body went out, a broken send.
    try {
        EXPECT_EQ(client.raw(std::string(70000, 'x'), headers).status, 400);
    } catch (const std::exception&) {
    }
    EXPECT_THROW(client.call(3), std::exception) << "an oversized body closes the connection";
}

TEST_F(BackendTest, RepeatedWrongPasswordsAreThrottled) {
    BackendClient client(harness);
    client.answer(0);
    const json wrong{{"username", kUser}, {"password", "errada"}};
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_EQ(client.call(1, wrong).status, 401) << attempt;
    }
    EXPECT_TRUE(client.session.empty());
    const json right{{"username", kUser}, {"password", kPassword}};
    EXPECT_EQ(client.call(1, right).status, 429);
    EXPECT_EQ(client.call(1, {{"username", "no.such.user"}, {"password", "x"}}).status, 429)
        << "the address is throttled too";
    harness.advanceClock(601);
    EXPECT_EQ(client.call(1, right).status, 200);
    EXPECT_EQ(client.call(1, {{"username", "no.such.user"}, {"password", "x"}}).status, 401);
}

TEST_F(BackendTest, DownloadTokenAndPackageKeyRefusals) {
    BackendClient client(harness);
    const auto& set = harness.set();
    client.answer(0);
    client.answer(4, keyArgs(set), 401);  // signed out
    client.signIn();

    auto stale = keyArgs(set);
    stale["index_sha256"] = std::string(64, '0');
    client.answer(4, stale, 409);
    auto oldLauncher = keyArgs(set);
    oldLauncher["launcher_sha256"] = std::string(64, '1');
    client.answer(4, oldLauncher, 426);

    client.downloadToken.clear();
    EXPECT_EQ(client.call(5).status, 401) << "missing token";
    client.downloadToken = "not-a-token-we-issued";
    EXPECT_EQ(client.call(6, {{"name", "nyra-000.pck"}}).status, 403) << "unknown token";

    client.downloadToken = client.answer(4, keyArgs(set)).at("download_token");
    EXPECT_EQ(client.call(5).status, 200);
    harness.advanceClock(601);
    EXPECT_EQ(client.call(5).status, 403) << "expired token";
}

TEST_F(BackendTest, PackageRangesFollowTheirRules) {
    BackendClient client(harness);
    client.signIn();
    const auto& set = harness.set();
    client.downloadToken = client.answer(4, keyArgs(set)).at("download_token");
    const std::string size = std::to_string(set.pack.size());
    const std::string lastByte = std::to_string(set.pack.size() - 1);

    const auto tail = client.call(6, {{"name", "nyra-000.pck"}, {"range", "bytes=" + lastByte + "-" + lastByte}});
    ASSERT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, set.pack.substr(set.pack.size() - 1));
    EXPECT_EQ(*tail.header("Content-Range"), "bytes " + lastByte + "-" + lastByte + "/" + size);

    const auto beyond = client.call(6, {{"name", "nyra-000.pck"}, {"range", "bytes=0-" + size}});
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(*beyond.header("Content-Range"), "bytes */" + size);
    EXPECT_EQ(client.call(6, {{"name", "nyra-000.pck"}, {"range", "bytes=9-3"}}).status, 400);
    EXPECT_EQ(client.call(6, {{"name", "nyra-009.pck"}, {"range", "bytes=0-9"}}).status, 404);
}

TEST_F(BackendTest, GameSessionIsRecorded) {
    BackendClient client(harness);
    client.signIn();
    const auto& set = harness.set();
    const json files{{"Launcher.exe", set.launcherSha256}, {"game.bin", tools::sha256Hex(tools::asBytes("game"))}};
    const json startArgs{{"version", set.packageId}, {"package_id", set.packageId}, {"files", files},
                         {"hwid", std::string(64, 'd')}, {"hwid_info", "HWID v1"}, {"transport", "cloudflare-ws-v1"}};

    auto changed = startArgs;
    changed["files"]["game.bin"] = std::string(64, 'e');
    client.answer(7, changed, 409);

    const auto start = client.answer(7, startArgs);
    const std::string token = start.at("token");
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(start.at("transport"), "cloudflare-ws-v1");
    EXPECT_EQ(start.at("game_login").at("username"), kUser);
    EXPECT_EQ(start.at("translations_sha256"), tools::sha256Hex(tools::asBytes(set.translationsPt)));
    EXPECT_EQ(start.at("translation_languages").at("en"), tools::sha256Hex(tools::asBytes(set.translationsEn)));
    EXPECT_TRUE(start.at("itemmall").is_object());
    EXPECT_TRUE(start.at("multi_client_limit").is_number_unsigned());

    const std::string ticket = client.answer(12, {{"package_id", set.packageId}, {"token", token}}).at("ticket");
    EXPECT_EQ(ticket.size(), 43u);
    auto page = harness.connect();
    EXPECT_EQ(page->request("GET", "/game-news/?ticket=" + ticket, {}).status, 200);
    EXPECT_EQ(page->request("GET", "/game-news/?ticket=" + std::string(43, 'x'), {}).status, 403);
    EXPECT_EQ(page->request("GET", "/game-news/", {}).status, 403);

    EXPECT_EQ(client.answer(18).at("token").get<std::string>().size(), 43u);
    EXPECT_EQ(client.answer(19).at("token").get<std::string>().size(), 43u);

    const HeaderList bearer{{"Authorization", "Bearer " + token}};
    client.answer(8, {{"sequence", 1}, {"version", set.packageId}}, 401);  // no bearer
    const auto beat = client.answer(8, {{"sequence", 1}, {"version", set.packageId}}, 200, bearer);
    EXPECT_EQ(beat.at("sequence"), 1);
    EXPECT_TRUE(beat.at("itemmall").is_object());
    client.answer(8, {{"sequence", 2}, {"version", set.packageId}}, 200, bearer);
    client.answer(10, {{"kind", "game_crash"}, {"token", token}, {"detail", "game_closed exit=0xC0000005"}});
    client.answer(10, {{"kind", "game_crash"}, {"token", tools::opaqueToken()}, {"detail", "x"}}, 403);
    client.answer(9, json::object(), 200, bearer);
    client.answer(8, {{"sequence", 3}, {"version", set.packageId}}, 401, bearer);

    auto& store = harness.service().store();
    EXPECT_EQ(store.query("SELECT sequence FROM heartbeats ORDER BY id"), json::parse(R"([{"sequence":1},{"sequence":2}])"));
    const auto events = store.query("SELECT kind, detail, game_session_id FROM events");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].at("detail"), "game_closed exit=0xC0000005");
    const auto games = store.query("SELECT hwid, last_sequence, stopped_at FROM game_sessions");
    ASSERT_EQ(games.size(), 1u);
    EXPECT_EQ(games[0].at("last_sequence"), 2);
    EXPECT_FALSE(games[0].at("stopped_at").is_null());
}

TEST_F(BackendTest, NotificationsLauncherAndOperationsNotProvided) {
    BackendClient client(harness);
    client.answer(11, json::object(), 401);
    client.signIn();
    const auto notifications = client.answer(11);
    ASSERT_TRUE(notifications.is_array());
    int unread = 0;
    for (const auto& entry : notifications) {
        unread += entry.at("read") == false ? 1 : 0;
    }
    EXPECT_EQ(unread, 1);

    const auto launcher = client.call(13);
    ASSERT_EQ(launcher.status, 200);
    EXPECT_EQ(launcher.body, harness.set().launcher);
    EXPECT_EQ(*launcher.header("Content-Type"), "application/octet-stream");

    client.answer(14, json::object(), 404);
    client.answer(20, {{"room", "guild"}}, 404);
    client.answer(17, {{"character_id", 0}}, 400);
}

TEST_F(BackendTest, UnknownSessionCookieIsClearedByBootstrapAndBySignedOutRefusals) {
    BackendClient client(harness);
    client.session = tools::opaqueToken();
    const auto boot = client.call(0);
    ASSERT_EQ(boot.status, 200);
    EXPECT_TRUE(json::from_cbor(boot.body).at("user").is_null());
    EXPECT_TRUE(client.session.empty());

    client.session = tools::opaqueToken();
    EXPECT_EQ(client.call(11).status, 401);
    EXPECT_TRUE(client.session.empty());
}

}  // namespace
}  // namespace nyra::service::testing
