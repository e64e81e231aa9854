// The player's choices on disk under Wine: preferences.json loaded, saved and replaced whole, the
// game's client.ini written and read back, the refresh rate, the language and its variable.
#include "core/tests/failure_text.h"
#include "content/tests/win/temporary_folder.h"
#include "state/win/game_settings.h"
#include "state/win/language.h"
#include "state/win/preferences_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace nyra {
namespace {

namespace fs = std::filesystem;

struct StillClock final : Clock {
    std::uint64_t tickMs() override { return 1000; }
    void sleepMs(std::uint32_t) override {}
};

struct NoWindow final : WindowPoster {
    void post(unsigned, std::uintptr_t) override {}
};

struct RecordedEnvironment final : ProcessEnvironment {
    void setVariable(const std::string& name, const std::string& value) override { variables[name] = value; }
    std::map<std::string, std::string> variables;
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const fs::path& file, const std::string& content) { std::ofstream(file, std::ios::binary) << content; }

int iniValue(const fs::path& ini, const wchar_t* key) {
    return static_cast<int>(::GetPrivateProfileIntW(L"Option", key, -1, ini.c_str()));
}

class GameSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::freshTemporaryFolder(L"nyra-settings-");
        engine = folder / L".engine";
        fs::create_directories(engine);
        file = std::make_unique<PreferencesFile>(folder);
        settings = std::make_unique<GameSettingsStore>(store, *file, environment, engine);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    fs::path preferencesPath() const { return folder / L"preferences.json"; }
    fs::path ini() const { return engine / L"client.ini"; }
    Preferences record() { return store.withLock([](UiState& s) { return preferencesOf(s); }); }
    void change(const Preferences& p) { store.withLock([&](UiState& s) { applyPreferences(s, p); }); }

    fs::path folder;
    fs::path engine;
    StillClock clock;
    NoWindow poster;
    UiStore store{clock, poster};
    RecordedEnvironment environment;
    std::unique_ptr<PreferencesFile> file;
    std::unique_ptr<GameSettingsStore> settings;
};

TEST_F(GameSettingsTest, StartupTakesTheStoredChoicesAndTheIniOnlyWhileNothingIsPending) {
    const char* gameIni = "[Option]\r\nScreenWidth=1366\r\nScreenHeight=768\r\nFullScreenMode=1\r\n";
    const struct {
        const char* name;
        std::optional<std::string> preferences;
        std::optional<std::string> ini;
        Preferences expected;
        Preferences held = {};  // what the launcher holds before it reads the files
    } cases[] = {
        {"pending launcher change wins over the INI",
         R"({"width":2560,"height":1440,"full_screen":false,"apply_to_game":true,"language":"en","graphics_mode":"enhanced"})",
         gameIni, Preferences{2560, 1440, false, true, true, true}},
        {"nothing pending: the game's INI gives the display",
         R"({"width":2560,"height":1440,"full_screen":false,"apply_to_game":false,"language":"en","graphics_mode":"enhanced"})",
         gameIni, Preferences{1366, 768, true, false, true, true}},
        {"no preferences: the INI alone", std::nullopt, gameIni, Preferences{1366, 768, true, false, false, false}},
        {"a broken file counts as absent", std::string(R"({"width":)"), gameIni, Preferences{1366, 768, true, false, false, false}},
        {"an INI without a value keeps the one held", R"({"width":1600,"height":900})",
         std::string("[Option]\r\nScreenHeight=720\r\n"), Preferences{1600, 720, false, false, false, false}},
        {"neither file: what is held stays", std::nullopt, std::nullopt, Preferences{1600, 900, true, false, true, true},
         Preferences{1600, 900, true, false, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(preferencesPath());
        fs::remove(ini());
        if (c.preferences) put(preferencesPath(), *c.preferences);
        if (c.ini) put(ini(), *c.ini);
        change(c.held);
        environment.variables.clear();

        settings->loadPreferences();
        EXPECT_EQ(record(), c.expected);
        EXPECT_EQ(store.uiEnglish().load(), c.expected.english);
        EXPECT_EQ(environment.variables["NYRA_LANGUAGE"], c.expected.english ? "en" : "pt-BR");
        EXPECT_EQ(environment.variables["NYRA_GRAPHICS"], c.expected.enhancedGraphics ? "enhanced" : "standard");
    }
}

TEST_F(GameSettingsTest, ChangesMadeInsideTheGameAppearWhenTheIniIsReadAgain) {
    put(ini(), "[Option]\r\nScreenWidth=1280\r\nScreenHeight=720\r\nFullScreenMode=0\r\n");
    settings->loadPreferences();
    EXPECT_EQ(record().width, 1280);

    // The player picks another mode inside the game and quits.
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Option", L"ScreenWidth", L"1920", ini().c_str()));
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Option", L"ScreenHeight", L"1080", ini().c_str()));
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Option", L"FullScreenMode", L"1", ini().c_str()));
    settings->reloadGameIni();
    EXPECT_EQ(record(), (Preferences{1920, 1080, true, false, false, false}));

    // A launcher change waiting for the next start is never overwritten by the INI.
    store.withLock([](UiState& s) {
        s.resolutionWidth = 2560;
        s.applyToGame = true;
    });
    settings->reloadGameIni();
    EXPECT_EQ(record().width, 2560);
}

TEST_F(GameSettingsTest, SavingMarksTheChangePendingAndReplacesTheFileWhole) {
    put(preferencesPath(), R"({"language":"pt-BR"})");
    // A second name of the old file: a write in place would change it too.
    ASSERT_TRUE(::CreateHardLinkW((folder / L"second-name.json").c_str(), preferencesPath().c_str(), nullptr));

    change(Preferences{1600, 900, true, false, true, true});
    settings->saveSettings();
    EXPECT_TRUE(record().applyToGame);
    EXPECT_EQ(slurp(preferencesPath()),
              R"({"apply_to_game":true,"full_screen":true,"graphics_mode":"enhanced","height":900,"language":"en","width":1600})");
    EXPECT_EQ(slurp(folder / L"second-name.json"), R"({"language":"pt-BR"})");
    EXPECT_FALSE(fs::exists(folder / L"preferences.json.new"));
    EXPECT_EQ(environment.variables["NYRA_GRAPHICS"], "enhanced");
    EXPECT_EQ(environment.variables["NYRA_LANGUAGE"], "en");
}

TEST_F(GameSettingsTest, AFailedSaveSaysWhyAndKeepsTheStoredFile) {
    const std::string stored = R"({"width":1280,"height":720})";
    {
            put(preferencesPath(), stored);
        fs::create_directories(folder / L"preferences.json.new");  // the new file cannot be created
        EXPECT_EQ(test::failureOf([&] { settings->saveSettings(); }), "Nao foi possivel preparar o arquivo.");
        EXPECT_EQ(slurp(preferencesPath()), stored);
        EXPECT_TRUE(record().applyToGame);  // the change still reaches the game at the next start
        fs::remove_all(folder / L"preferences.json.new");
    }
    {
            fs::remove(preferencesPath());
        fs::create_directories(preferencesPath());  // written, but it cannot take the name
        EXPECT_EQ(test::failureOf([&] { settings->saveSettings(); }), "Falha ao gravar arquivo.");
        EXPECT_FALSE(fs::exists(folder / L"preferences.json.new"));
    }
}

TEST_F(GameSettingsTest, ApplyingWritesAPendingChangeIntoTheIniAndClearsIt) {
    put(ini(), "[Option]\r\nScreenWidth=1280\r\nScreenHeight=720\r\nFullScreenMode=1\r\nScreenFrequency=144\r\n");

    // Nothing pending: the INI is only read.
    settings->applyPendingAndReload(engine);
    EXPECT_EQ(record(), (Preferences{1280, 720, true, false, false, false}));

    change(Preferences{2560, 1440, false, true, false, false});
    settings->applyPendingAndReload(engine);
    EXPECT_EQ(iniValue(ini(), L"FullScreenMode"), 0);
    EXPECT_EQ(iniValue(ini(), L"ScreenWidth"), 2560);
    EXPECT_EQ(iniValue(ini(), L"ScreenHeight"), 1440);
    EXPECT_EQ(iniValue(ini(), L"ScreenFrequency"), 144);  // the game's other options stay
    EXPECT_EQ(record(), (Preferences{2560, 1440, false, false, false, false}));

    // Without a game folder there is nowhere to write.
    change(Preferences{1600, 900, true, true, false, false});
    settings->applyPendingAndReload({});
    EXPECT_TRUE(record().applyToGame);
}

TEST_F(GameSettingsTest, AFailedIniWriteKeepsTheChangePending) {
    fs::create_directories(ini());  // nothing can be written there
    change(Preferences{1600, 900, true, true, false, false});
    EXPECT_EQ(test::failureOf([&] { settings->applyPendingAndReload(engine); }),
              "Nao foi possivel salvar o video do jogo.");
    EXPECT_TRUE(record().applyToGame);
    EXPECT_EQ(record().width, 1600);
}

TEST_F(GameSettingsTest, AHighDisplayRateIsGivenToTheGameOnlyWhenItHasNone) {
    const struct {
        std::optional<int> stored;  // absent: no ScreenFrequency line
        std::optional<int> display;
        int expected;
    } cases[] = {
        {std::nullopt, 144, 144}, {60, 144, 144}, {120, 144, 120}, {60, 60, 60},
        {0, 59, 0},               {60, 501, 60},  {60, std::nullopt, 60},
    };
    for (const auto& c : cases) {
        put(ini(), c.stored ? "[Option]\r\nScreenFrequency=" + std::to_string(*c.stored) + "\r\n" : "[Option]\r\n");
        adjustRefreshRate(ini(), [&] { return c.display; });
        EXPECT_EQ(iniValue(ini(), L"ScreenFrequency"), c.stored || c.expected != 0 ? c.expected : -1)
            << c.stored.value_or(-1) << " Hz stored, display " << c.display.value_or(-1);
    }
    fs::remove(ini());
    adjustRefreshRate(ini(), [] { return std::optional<int>(144); });
    EXPECT_FALSE(fs::exists(ini()));  // the game writes its own INI; none is made for it
}

TEST_F(GameSettingsTest, TheChosenLanguageIsStoredBesideTheOtherChoices) {
    put(preferencesPath(), R"({"width":1280,"apply_to_game":true,"language":"pt-BR"})");
    setLanguage(store, *file, environment, true);
    EXPECT_EQ(slurp(preferencesPath()), R"({"apply_to_game":true,"language":"en","width":1280})");
    EXPECT_FALSE(fs::exists(folder / L"preferences.json.language-new"));
    EXPECT_EQ(environment.variables["NYRA_LANGUAGE"], "en");
    EXPECT_TRUE(store.uiEnglish().load());
    EXPECT_TRUE(record().english);
    EXPECT_TRUE(file->read()->english);

    // A store that cannot be written: the message, while the launcher and the game still follow the choice.
    fs::remove(preferencesPath());
    fs::create_directories(preferencesPath());
    EXPECT_EQ(test::failureOf([&] { setLanguage(store, *file, environment, false); }),
              "Nao foi possivel salvar o idioma.");
    EXPECT_EQ(environment.variables["NYRA_LANGUAGE"], "pt-BR");
    EXPECT_FALSE(store.uiEnglish().load());
}

TEST(CurrentLanguage, IsEnglishOnlyForExactlyEn) {
    const struct {
        const wchar_t* value;  // null: the variable is absent
        std::string_view language;
    } cases[] = {
        {L"en", "en"},
        {L"pt-BR", "pt-BR"},
        {L"EN", "pt-BR"},
        {L"en-US", "pt-BR"},
        {nullptr, "pt-BR"},
        {L"en\u00e9", "pt-BR"},
        // Read whole or not at all: a value cut to its first characters would read as "en".
        {L"enenenenenenene", "pt-BR"},   // 15 characters: fits the buffer
        {L"enenenenenenenen", "pt-BR"},  // 16: does not
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ::SetEnvironmentVariableW(L"NYRA_LANGUAGE", cases[i].value);
        EXPECT_EQ(currentLanguage(), cases[i].language) << "case " << i;
    }
}

}  // namespace
}  // namespace nyra
