// "preferences.json": reading it leniently, writing all six members, and changing only the
// language of whatever is stored.
#include "core/json_limits.h"
#include "core/preferences.h"
#include "core/tests/hostile_nesting.h"
#include "core/ui_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace nyra {
namespace {

TEST(Preferences, DocumentsLoadWithTheirDefaultsAndLenientTexts) {
    const Preferences defaults;
    const auto with = [&](auto change) {
        Preferences p = defaults;
        change(p);
        return p;
    };
    using namespace std::string_literals;
    const struct {
        std::string content;
        std::optional<Preferences> expected;
    } cases[] = {
        {R"({"width":1366,"height":768,"full_screen":true,"apply_to_game":true,"language":"en","graphics_mode":"enhanced"})",
         Preferences{1366, 768, true, true, true, true}},
        {"{}", defaults},
        // Each member absent takes its default.
        {R"({"height":768,"full_screen":true,"apply_to_game":true,"language":"en","graphics_mode":"enhanced"})",
         Preferences{1920, 768, true, true, true, true}},
        {R"({"width":1366,"full_screen":true,"apply_to_game":true,"language":"en","graphics_mode":"enhanced"})",
         Preferences{1366, 1080, true, true, true, true}},
        {R"({"width":1366,"height":768,"apply_to_game":true,"language":"en","graphics_mode":"enhanced"})",
         Preferences{1366, 768, false, true, true, true}},
        {R"({"width":1366,"height":768,"full_screen":true,"language":"en","graphics_mode":"enhanced"})",
         Preferences{1366, 768, true, false, true, true}},
        {R"({"width":1366,"height":768,"full_screen":true,"apply_to_game":true,"graphics_mode":"enhanced"})",
         Preferences{1366, 768, true, true, false, true}},
        {R"({"width":1366,"height":768,"full_screen":true,"apply_to_game":true,"language":"en"})",
         Preferences{1366, 768, true, true, true, false}},
        // Only "standard" is the standard mode; only "en" is English.
        {R"({"graphics_mode":"ENHANCED"})", with([](Preferences& p) { p.enhancedGraphics = true; })},
        {R"({"graphics_mode":"x"})", with([](Preferences& p) { p.enhancedGraphics = true; })},
        {R"({"graphics_mode":"standard"})", defaults},
        {R"({"language":"EN"})", defaults},
        {R"({"language":"en-US"})", defaults},
        {R"({"extra":[1,2],"language":"en"})", with([](Preferences& p) { p.english = true; })},
        // Not an object, malformed, or a member of the wrong type: the file is ignored whole.
        {"", std::nullopt},
        {"not json", std::nullopt},
        {"[1,2]", std::nullopt},
        {"\"text\"", std::nullopt},
        {R"({"width":1280,"height":)", std::nullopt},
        {R"({"width":"1920"})", std::nullopt},
        {R"({"width":1920.5})", std::nullopt},
        {R"({"width":1e300})", std::nullopt},
        {R"({"width":99999999999})", std::nullopt},
        {R"({"full_screen":1})", std::nullopt},
        {R"({"language":null})", std::nullopt},
        {R"({"graphics_mode":0})", std::nullopt},
        // One document, nothing after it but whitespace: the library alone would stop at a NUL.
        {"{\"language\":\"en\"} \r\n\t"s, with([](Preferences& p) { p.english = true; })},
        {"{\"language\":\"en\"}\0"s, std::nullopt},
        {"{\"language\":\"en\"}\0junk"s, std::nullopt},
        {"{\"language\":\"en\"}\0{\"language\":\"pt\"}"s, std::nullopt},
        {R"({"language":"en"}{})", std::nullopt},
        {R"({"language":"en"} x)", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parsePreferences(c.content), c.expected) << c.content.c_str();
    }
}

TEST(Preferences, DocumentsNestedTooDeepAreIgnoredWhole) {
    const auto document = [](std::size_t depth) {
        return R"({"language":"en","note":)" + test::nestedJson(depth - 1) + "}";
    };
    test::onWindowsSizedStack([&] {
        const auto atLimit = parsePreferences(document(kDocumentNestingLimit));
        ASSERT_TRUE(atLimit);
        EXPECT_TRUE(atLimit->english);
        EXPECT_FALSE(parsePreferences(document(kDocumentNestingLimit + 1)));
        EXPECT_FALSE(parsePreferences(document(test::kHostileDepth)));
        // The language is kept apart from a document that cannot be read.
        EXPECT_EQ(preferencesTextWithLanguage(document(test::kHostileDepth), true), R"({"language":"en"})");
    });
}

TEST(Preferences, FileIsReadOnlyUpTo4096Bytes) {
    const auto folder = std::filesystem::temp_directory_path() / "nyra-preferences-test";
    std::filesystem::create_directories(folder);
    const auto file = folder / "preferences.json";
    std::filesystem::remove(file);
    EXPECT_FALSE(readPreferences(folder));

    std::string padded = R"({"language":"en"})";
    padded.append(kPreferencesLimit - padded.size(), ' ');
    std::ofstream(file, std::ios::binary) << padded;
    const auto read = readPreferences(folder);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->english);

    std::ofstream(file, std::ios::binary) << padded << ' ';
    EXPECT_FALSE(readPreferences(folder));
    std::filesystem::remove_all(folder);
}

TEST(Preferences, WrittenDocumentsHoldAllSixMembersAndReadBackTheSame) {
    const Preferences chosen{2560, 1440, true, true, true, true};
    EXPECT_EQ(preferencesDocument(chosen).dump(),
              R"({"apply_to_game":true,"full_screen":true,"graphics_mode":"enhanced","height":1440,"language":"en","width":2560})");
    EXPECT_EQ(parsePreferences(preferencesDocument(chosen).dump()), chosen);
    EXPECT_EQ(parsePreferences(preferencesDocument(Preferences{}).dump()), Preferences{});

    UiState state;
    applyPreferences(state, chosen);
    EXPECT_EQ(state.graphicsMode, 1);
    EXPECT_EQ(preferencesOf(state), chosen);
    state.graphicsMode = 7;  // anything but 0 is the enhanced mode
    EXPECT_TRUE(preferencesOf(state).enhancedGraphics);
}

TEST(Preferences, ChangingTheLanguageKeepsEverythingElseThatIsStored) {
    const struct {
        std::optional<std::string> existing;
        bool english;
        const char* written;
    } cases[] = {
        {std::nullopt, true, R"({"language":"en"})"},
        {R"({"width":1280,"language":"en","future":{"a":[1]}})", false,
         R"({"future":{"a":[1]},"language":"pt-BR","width":1280})"},
        // Members of a wrong type are not this writer's business: they stay as stored.
        {R"({"width":"wide","language":7})", true, R"({"language":"en","width":"wide"})"},
        {"not json", true, R"({"language":"en"})"},
        {"[1,2]", false, R"({"language":"pt-BR"})"},
        {"", true, R"({"language":"en"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(preferencesTextWithLanguage(c.existing, c.english), c.written) << c.existing.value_or("(missing)");
    }
}

}  // namespace
}  // namespace nyra
