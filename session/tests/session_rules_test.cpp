// The portable rules of a game start and of the session reports.
#include <gtest/gtest.h>

#include <optional>

#include "content/components.h"
#include "session/launch_rules.h"
#include "session/session_report.h"

namespace nyra {
namespace {

std::vector<std::u16string> entriesOf(const EnvironmentBlock& block) {
    std::vector<std::u16string> entries;
    std::u16string current;
    EXPECT_GE(block.size(), 2u);
    EXPECT_EQ(block.back(), u'\0');
    for (std::size_t i = 0; i + 1 < block.size(); ++i) {
        if (block[i] == u'\0') {
            entries.push_back(current);
            current.clear();
        } else {
            current.push_back(block[i]);
        }
    }
    EXPECT_TRUE(current.empty());
    return entries;
}

TEST(SessionRules, EnvironmentBlockReplacesGuardEntriesAndSortsIgnoringCase) {
    const std::vector<std::u16string> own{u"Path=C:\\Windows", u"NYRA_GUARD_PIPE=\\\\.\\pipe\\old",
                                          u"NYRA_GUARD_QUIET=1",  u"nyra_guard_pipe=kept",
                                          u"NYRA_GRAPHICS=high", u"=C:=C:\\game",
                                          u"ALLUSERSPROFILE=C:\\ProgramData", u"windir=C:\\Windows",
                                          u"ProgramFiles(x86)=C:\\Program Files (x86)",
                                          u"ProgramFiles=C:\\Program Files"};
    const SecretString secret(64, 'a');
    const auto entries = entriesOf(gameEnvironmentBlock(own, u"\\\\.\\pipe\\NyraBrasil-0f", secret));
    EXPECT_EQ(entries, (std::vector<std::u16string>{
                           u"=C:=C:\\game", u"ALLUSERSPROFILE=C:\\ProgramData", u"NYRA_GRAPHICS=high",
                           u"nyra_guard_pipe=kept", u"NYRA_GUARD_PIPE=\\\\.\\pipe\\NyraBrasil-0f",
                           u"NYRA_GUARD_SECRET=" + std::u16string(64, u'a'), u"Path=C:\\Windows",
                           // By name, as Windows orders them: a name before the longer names it begins.
                           u"ProgramFiles=C:\\Program Files", u"ProgramFiles(x86)=C:\\Program Files (x86)",
                           u"windir=C:\\Windows"}));
}

TEST(SessionRules, MultiClientSlotNamesAndLimits) {
    const std::string hwid = "0123456789abcdef" + std::string(48, 'e');
    EXPECT_EQ(multiClientSlotNames(hwid, 2),
              (std::vector<std::u16string>{u"Global\\NyraBrasil_MC_0123456789abcdef_0",
                                           u"Global\\NyraBrasil_MC_0123456789abcdef_1"}));
    EXPECT_EQ(multiClientSlotNames(hwid, 10).back(), u"Global\\NyraBrasil_MC_0123456789abcdef_9");
    for (const std::int64_t limit : {0, 11, -1}) {
        EXPECT_TRUE(multiClientSlotNames(hwid, limit).empty()) << limit;
    }
    EXPECT_TRUE(multiClientSlotNames(hwid.substr(1), 1).empty());

    EXPECT_EQ(multiClientLimit(nlohmann::json::object()), 1);
    EXPECT_EQ(multiClientLimit({{"multi_client_limit", 3}}), 3);
    EXPECT_EQ(multiClientLimit({{"multi_client_limit", "3"}}), 0);
    EXPECT_EQ(multiClientLimit({{"multi_client_limit", 1.5}}), 0);
    EXPECT_EQ(multiClientLimit({{"multi_client_limit", 18446744073709551615ull}}), 0);
}

TEST(SessionRules, OptionalTokensFollowTheirLengthRules) {
    EXPECT_EQ(vipTokenForGame({{"token", std::string(256, 'v')}}), std::string(256, 'v'));
    EXPECT_EQ(vipTokenForGame({{"token", std::string(257, 'v')}}), "");
    EXPECT_EQ(vipTokenForGame({{"token", 5}}), "");
    EXPECT_EQ(voiceTokenForGame({{"token", std::string(43, 't')}}), std::string(43, 't'));
    EXPECT_EQ(voiceTokenForGame({{"token", std::string(42, 't')}}), std::nullopt);
    EXPECT_EQ(voiceTokenForGame({{"token", std::string(44, 't')}}), std::nullopt);
    EXPECT_EQ(newsPageAddress("https://news.example", "T1"), "https://news.example/game-news/?ticket=T1");
}

// Every member of the start, news-ticket and policy answers read by the session: whatever the
// backend sends, the player reads one of the session's messages, never the JSON library's text.
TEST(SessionRules, AnswerMembersOfAnyTypeGiveThePlayersMessagesOrTheirDefaults) {
    using nlohmann::json;
    // nullopt: the member is left out.
    const auto with = [](const char* name, const std::optional<json>& value) {
        json answer = json::object();
        if (value) answer[name] = *value;
        return answer;
    };
    const std::optional<json> oddValues[] = {std::nullopt, json(nullptr), json(5), json(true), json::array({"x"}),
                                             json::object({{"a", "b"}})};
    for (const auto& value : oddValues) {
        SCOPED_TRACE(value ? value->dump() : "left out");
        try {
            json answer = with("token", value);
            takeSessionToken(answer);
            ADD_FAILURE() << "token accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Sessao de jogo invalida.");
        }
        try {
            newsTicket(with("ticket", value));
            ADD_FAILURE() << "ticket accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Resposta do servidor invalida.");
        }
        EXPECT_FALSE(confirmsGameTransport(with("transport", value)));
        for (const char* name : {"package_id", "index_sha256", "username"}) EXPECT_EQ(textMember(with(name, value), name), "");
        if (!value || !value->is_object()) {
            json answer = with("game_login", value);
            EXPECT_EQ(takeGameLogin(answer), json::object());
            EXPECT_EQ(itemMallText(with("itemmall", value)), "{}");
        }
    }
    // Answers that are not objects at all.
    for (json answer : {json(nullptr), json::array(), json("text")}) {
        EXPECT_THROW(takeSessionToken(answer), std::runtime_error);
        EXPECT_THROW(newsTicket(answer), std::runtime_error);
        EXPECT_FALSE(confirmsGameTransport(answer));
        EXPECT_EQ(textMember(answer, "package_id"), "");
        EXPECT_EQ(takeGameLogin(answer), json::object());
        EXPECT_EQ(itemMallText(answer), "{}");
    }

    // The usable members, and what is left of the secrets in the answer.
    json start{{"token", std::string(43, 't')},
               {"transport", "cloudflare-ws-v1"},
               {"game_login", {{"username", "ana"}, {"ticket", "secret-ticket"}}},
               {"itemmall", {{"cash", 10}}}};
    const SecretString token = takeSessionToken(start);
    EXPECT_EQ(std::string(token.begin(), token.end()), std::string(43, 't'));
    EXPECT_EQ(start.at("token"), "");
    EXPECT_TRUE(confirmsGameTransport(start));
    EXPECT_FALSE(confirmsGameTransport(with("transport", "cloudflare-ws-v2")));
    json login = takeGameLogin(start);
    EXPECT_EQ(login, (json{{"username", "ana"}, {"ticket", "secret-ticket"}}));
    EXPECT_EQ(start.find("game_login")->dump().find("secret-ticket"), std::string::npos);
    EXPECT_EQ(textMember(login, "username"), "ana");
    EXPECT_EQ(itemMallText(start), R"({"cash":10})");
    EXPECT_EQ(newsTicket(json{{"ticket", "T1"}}), "T1");

    // The login for the guard: compact, and its ticket wiped once serialised.
    const SecretBytes bytes = sessionBytesOf(login);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), R"({"ticket":"secret-ticket","username":"ana"})");
    EXPECT_EQ(login.at("ticket"), "");
}

TEST(SessionRules, KeyMaterialIsTheKeyThenTheIndexHash) {
    std::array<std::uint8_t, 32> key{};
    key.fill(0x11);
    const auto material = packageKeyMaterial(key, std::string(62, '0') + "ff");
    ASSERT_EQ(material.size(), 64u);
    EXPECT_EQ(material[0], 0x11);
    EXPECT_EQ(material[62], 0x00);
    EXPECT_EQ(material[63], 0xff);
    for (const std::string& bad : {std::string(62, '0'), std::string(66, '0'), std::string(63, '0') + "g",
                                  std::string(62, '0') + "FF"}) {
        EXPECT_THROW(
            {
                try {
                    packageKeyMaterial(key, bad);
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ(e.what(), texts::kBadPackIndex);
                    throw;
                }
            },
            std::runtime_error)
            << bad;
    }
}

TEST(SessionRules, CommandLineAffinityAndExecutableNames) {
    EXPECT_EQ(gameCommandLine(u"C:\\Games\\Nyra\\engine\\"), u"\"C:\\Games\\Nyra\\engine\\game.bin\" Tollwin");
    EXPECT_EQ(gameAffinity(0b1111), 0b1110u);
    EXPECT_EQ(gameAffinity(0b0111), 0b0111u);
    EXPECT_EQ(gameAffinity(0b11110), 0b11110u);
    for (const auto* name : {u"game.bin", u"GAME.BIN", u"Game_.Exe"}) EXPECT_TRUE(isGameExecutableName(name));
    for (const auto* name : {u"game.exe", u"game.bin.exe", u"xgame.bin"}) EXPECT_FALSE(isGameExecutableName(name));
}

TEST(SessionRules, StartRequestCarriesTheWholeContract) {
    const auto files = nlohmann::json{{"Launcher.exe", "aa"}, {"game.bin", "bb"}};
    EXPECT_EQ(startRequest("p1", files, "h", "HWID v1"),
              (nlohmann::json{{"version", "p1"}, {"package_id", "p1"}, {"files", files}, {"hwid", "h"},
                              {"hwid_info", "HWID v1"}, {"transport", "cloudflare-ws-v1"}}));
}

TEST(SessionReport, ExitClassesAndSessionEndDetail) {
    struct Case {
        std::uint32_t code;
        const char* name;
    } cases[] = {{1, "ended_by_task_manager_or_error"}, {3, "runtime_abort"}, {0x40010004u, "closed_by_system"},
                 {0xC0000005u, "access_violation"}, {0xC0000017u, "no_memory"}, {0xC000001Du, "illegal_instruction"},
                 {0xC0000094u, "divide_by_zero"}, {0xC00000FDu, "stack_overflow"}, {0xC0000135u, "dll_not_found"},
                 {0xC000013Au, "closed_by_console"}, {0xC0000142u, "dll_init_failed"}, {0xC0000374u, "heap_corruption"},
                 {0xC0000409u, "stack_buffer_overrun"}, {0, "unknown"}, {2, "unknown"}};
    for (const auto& c : cases) EXPECT_EQ(exitCodeClass(c.code), c.name) << c.code;

    EXPECT_EQ(describeSessionEnd("game_closed", 0xC0000005u, 61'999, 4, "win=1"),
              "game_closed exit=0xC0000005 (access_violation) t=61s ch=4 v=5.5.27 | win=1");
    EXPECT_EQ(describeSessionEnd("not_responding_45s", 259, 100'000, 0, "win=1"),
              "not_responding_45s t=100s ch=0 v=5.5.27 | win=1");
    const std::string cut = describeSessionEnd("x", 259, 0, 0, std::string(700, 'y'));
    EXPECT_EQ(cut.size(), 600u);
    // The limit counts characters: a summary of accented letters keeps 600 of them.
    const std::string prefix = describeSessionEnd("x", 259, 0, 0, "");
    std::string accented;
    for (int i = 0; i < 700; ++i) accented += "\xC3\xA9";
    EXPECT_EQ(describeSessionEnd("x", 259, 0, 0, accented), prefix + accented.substr(0, 2 * (600 - prefix.size())));
}

TEST(SessionReport, TextsAreCutAtACharacterCount) {
    const std::string e = "\xC3\xA9";              // two bytes
    const std::string euro = "\xE2\x82\xAC";       // three
    const std::string clef = "\xF0\x9D\x84\x9E";  // four
    struct Case {
        std::string text;
        std::size_t limit;
        std::string kept;
    } cases[] = {
        {"abc", 3, "abc"},
        {"abcd", 3, "abc"},
        {e + e + e, 2, e + e},
        {e + e, 2, e + e},
        {"a" + euro + clef + "b", 3, "a" + euro + clef},
        {clef + clef, 1, clef},
        {euro, 0, ""},
        {"", 5, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(cutText(c.text, c.limit), c.kept) << c.text << " " << c.limit;

    // Every limit of the system summary counts characters too.
    SystemFacts facts;
    std::string accented;
    for (int i = 0; i < 60; ++i) accented += e;
    facts.currentBuild = accented;
    facts.hasDisplayVersion = true;
    facts.displayVersion = accented;
    facts.processorName = accented;
    facts.displayAdapter = accented;
    facts.graphics = accented;
    const auto first = [&](std::size_t n) { return accented.substr(0, 2 * n); };
    EXPECT_EQ(describeSystem(facts), "win=" + first(8) + "/" + first(8) + " ram=0MB free=0MB load=0% cpu=" + first(48) +
                                         " x0 gpu=" + first(48) + " res=0x0 gfx=" + first(12));
}

TEST(SessionReport, SystemSummaryFormatAndLimits) {
    SystemFacts facts;
    facts.currentBuild = "19045";
    facts.displayVersion = "22H2";
    facts.hasDisplayVersion = true;
    facts.totalMemoryMb = 16303;
    facts.availableMemoryMb = 9001;
    facts.memoryLoadPercent = 44;
    facts.processorName = "Example CPU @ 3.60GHz";
    facts.logicalProcessors = 8;
    facts.displayAdapter = "Example Graphics";
    facts.screenWidth = 1920;
    facts.screenHeight = 1080;
    facts.graphics = "high";
    EXPECT_EQ(describeSystem(facts), "win=19045/22H2 ram=16303MB free=9001MB load=44% cpu=Example CPU @ 3.60GHz x8 "
                                     "gpu=Example Graphics res=1920x1080 gfx=high");
    facts.hasDisplayVersion = false;
    facts.currentBuild = "123456789";
    facts.processorName = std::string(60, 'c');
    facts.displayAdapter = std::string(60, 'g');
    facts.graphics = "abcdefghijklmnop";
    EXPECT_EQ(describeSystem(facts), "win=12345678 ram=16303MB free=9001MB load=44% cpu=" + std::string(48, 'c') +
                                         " x8 gpu=" + std::string(48, 'g') + " res=1920x1080 gfx=abcdefghijkl");
}

TEST(SessionReport, LaunchOutcomeRecordHasEveryMember) {
    LaunchOutcome outcome;
    outcome.packageId = "p";
    outcome.outcome = "blocked";
    outcome.reason = "r";
    outcome.exitCode = 0xE002;
    const auto record = launchOutcomeRecord(outcome);
    EXPECT_EQ(record.size(), 9u);
    EXPECT_EQ(record.at("exit_code"), 0xE002);
    EXPECT_EQ(record.at("channel_failure"), 0);
    EXPECT_EQ(record.at("guard_startup_failure"), 0);
}

}  // namespace
}  // namespace nyra
