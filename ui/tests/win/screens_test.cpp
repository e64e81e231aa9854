// Screens that no "--preview…" option shows, rendered from constructed states straight through the
// renderer (frozen clock, fixed star seed, the art and fonts of Launcher.exe) and compared with
// their reference pictures; and every text those screens and the previews' states draw through
// the UI language has an English form.
#include <gtest/gtest.h>

#include "core/ui_state.h"
#include "net/operations.h"
#include "ui/input.h"
#include "ui/portal.h"
#include "ui/screen_text.h"
#include "ui/translate.h"
#include "ui/win/preview.h"
#include "ui/win/renderer.h"
#include "ui_test_support.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

constexpr std::uint64_t kNowMs = 3'600'000;

class FrozenClock final : public Clock {
public:
    std::uint64_t tickMs() override { return kNowMs; }
    void sleepMs(std::uint32_t) override {}
};

class NoWindow final : public WindowPoster {
public:
    void post(unsigned, std::uintptr_t) override {}
};

NewsItem newsItem(const char* slug, const char* category, const char* title, const char* summary, const char* cover,
                  const char* date, bool pinned) {
    return {slug, category, title, summary, cover, date, pinned};
}

struct Screen {
    const char* name;  // the reference picture is <name>.png
    bool english = false;
    std::function<void(UiState&)> fill;
    float mouseX = -1, mouseY = -1;
    bool caretOn = false;
};

void base(UiState& s) {
    s.serverOnline = true;
    s.gameVersion = "1.0.412";
    s.statusText = "Seu portal para o mundo de Nyra Saga esta pronto.";
    s.progress = 100;
}

const Screen kScreens[] = {
    {"language-menu", false, [](UiState& s) {
         base(s);
         s.languageMenuOpen = true;
     }, 990, 166},  // over the English option
    {"offline", false, [](UiState& s) {
         base(s);
         s.serverOnline = false;
         s.progress = 0;
         // The longest kind of text the status line shows: a transport failure with its suffix.
         s.statusText = api::describeTransportFailure("envio", 12029);
     }},
    {"caret", false, [](UiState& s) {
         base(s);
         s.username = "aventureira";
         s.password = "segredo";
         s.focusedField = kFocusPassword;
     }, -1, -1, true},
    {"notice-en", true, [](UiState& s) {
         base(s);
         ui::showNotice(s, ui::portalPage(ui::PortalLink::Register).notice, kNowMs - 1000);
     }},
    {"news-one", false, [](UiState& s) {
         base(s);
         s.news = {newsItem("temporada-dos-cristais", "atualizacao", "Temporada dos Cristais chegou a Nyra",
                            "Nova região nas Minas de Cristal, dez missões inéditas e equipamentos de nível 85 para toda a "
                            "guilda.",
                            "cristais", "28 de nov. de 2026", true)};
     }},
    {"news-two-en", true, [](UiState& s) {
         base(s);
         s.signedIn = true;
         s.username = "GuardiaoDasRuinas_85";  // the longest name (20): drawn smaller to fit
         s.statusText = "Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.";
         s.notifications = nlohmann::json::array({{{"read", false}}});
         s.news = {newsItem("festival-das-lanternas", "evento", "Festival das Lanternas no Farol",
                            "De 5 a 19 de dezembro, acenda lanternas no Farol de Nyra e troque-as por montarias "
                            "exclusivas.",
                            "farol", "04 de dez. de 2026", false),
                   newsItem("atualizacao-5-5", "atualizacao", "Atualizacao 5.5: novas masmorras nos Jardins Suspensos", "",
                            "jardins", "02 de dez. de 2026", false)};
     }},
    {"connecting", false, [](UiState& s) {
         base(s);
         s.serverOnline = false;
         s.busy = true;
         s.busyKind = kBusyConnecting;
         s.progress = 0;  // indeterminate bar
         s.statusText = "Conectando ao servidor. Tentando novamente (2 de 4)...";
     }},
};

struct Rendered {
    std::unique_ptr<Gdiplus::Bitmap> picture;
    std::vector<std::string> translated;  // every text drawn through the UI language
    Gdiplus::Status status = Gdiplus::Ok;
};

Rendered render(const Screen& screen) {
    FrozenClock clock;
    NoWindow poster;
    UiStore store(clock, poster);
    store.splash().store(false);
    store.uiEnglish().store(screen.english);
    store.withLock([&](UiState& s) {
        screen.fill(s);
        s.languageEnglish = screen.english;
    });
    ui::Renderer renderer(UiResources::get().assets(), store, clock, 20261210);
    renderer.setLauncherVersion("5.5.27");
    renderer.setMouse(screen.mouseX, screen.mouseY);
    renderer.setCaretOn(screen.caretOn);
    Rendered out;
    renderer.setTranslationObserver([&](const std::string& text) { out.translated.push_back(text); });
    out.picture = renderer.RenderFrame(1.0, true);
    out.status = renderer.lastStatus();
    return out;
}

void PrintTo(const Screen& screen, std::ostream* out) { *out << screen.name; }

class Screens : public ::testing::TestWithParam<Screen> {};

TEST_P(Screens, MatchTheirReferencePictures) {
    const Screen& screen = GetParam();
    const Rendered rendered = render(screen);
    ASSERT_NE(rendered.picture, nullptr);
    EXPECT_EQ(rendered.status, Gdiplus::Ok);
    const auto picture = testFolder() / (std::string(screen.name) + ".rendered.png");
    ASSERT_TRUE(ui::writePng(*rendered.picture, picture));
    expectMatchesReference(picture, std::string(screen.name) + ".png");
    std::filesystem::remove(picture);
}

INSTANTIATE_TEST_SUITE_P(Constructed, Screens, ::testing::ValuesIn(kScreens),
                         [](const ::testing::TestParamInfo<Screen>& param) {
                             std::string name = param.param.name;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

// The same state drawn twice, and by two renderers, gives the same picture: what lets the
// references be compared exactly.
TEST(Screens, RendersAreDeterministic) {
    const Screen& screen = kScreens[5];
    const Rendered first = render(screen);
    const Rendered second = render(screen);
    const PictureDifference difference = comparePictures(*first.picture, *second.picture);
    ASSERT_TRUE(difference.sameSize);
    EXPECT_EQ(difference.largestChannelError, 0);
}

// Texts the screens draw in Portuguese that rightly stay as they are in English: values the
// state brings (names, versions, news from the portal) and words that are the same.
bool staysAsItIs(const std::string& text, const UiState& s) {
    // The game language row names each language in its own words.
    static const std::set<std::string> same{"PORTAL", "Português (Brasil)   \u203A", "English   \u203A"};
    if (same.contains(text)) return true;
    // The settings panel picks these values in the UI language itself.
    for (const int mode : {0, 1}) {
        if (text == ui::graphicsValueText(mode, false)) return ui::graphicsValueText(mode, true) != text;
    }
    if (text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") == std::string::npos) return true;
    for (const NewsItem& item : s.news) {
        if (text == item.title || text == item.summary) return true;
    }
    for (const InstallEntry& entry : s.installEntries) {
        if (text == entry.reason) return true;
    }
    // Failures are shown in the player's message as the failing step wrote it.
    return text == api::describeTransportFailure("envio", 12029);
}

TEST(Screens, EveryTextDrawnThroughTheLanguageHasAnEnglishForm) {
    std::vector<Screen> screens(std::begin(kScreens), std::end(kScreens));
    // The other screens' states: settings (both graphics modes), signed in and busy for every
    // kind, the install panel with a usable and an unusable drive, and while installing.
    screens.push_back({"settings", false, [](UiState& s) {
                           base(s);
                           s.settingsOpen = true;
                       }});
    for (const int kind : {kBusyConnecting, kBusyChecking, kBusyDownloading, kBusyPreparing, kBusyFinished}) {
        screens.push_back({"busy", false, [kind](UiState& s) {
                               base(s);
                               s.signedIn = true;
                               s.username = "Aventureira";
                               s.busy = true;
                               s.busyKind = kind;
                               s.notifications = nlohmann::json::array({{{"read", false}}, {{"read", false}}});
                           }});
    }
    for (const bool installing : {false, true}) {
        screens.push_back({"install", false, [installing](UiState& s) {
                               base(s);
                               s.installPanelOpen = true;
                               s.installEntries = {{"C:\\Jogos\\NyraBrasil", "C:\\Jogos\\NyraBrasil", "", 212ull << 30, true},
                                                   {"E:\\NyraBrasil", "E:\\NyraBrasil", "Espaco livre insuficiente.", 0,
                                                    false}};
                               s.selectedEntry = installing ? 0 : 1;
                               s.installing = installing;
                           }});
    }
    for (Screen screen : screens) {
        screen.english = false;  // what is drawn, in the language it is written in
        const Rendered rendered = render(screen);
        UiState state;
        screen.fill(state);
        ASSERT_FALSE(rendered.translated.empty()) << screen.name;
        for (const std::string& text : rendered.translated) {
            if (staysAsItIs(text, state)) continue;
            EXPECT_NE(TranslateForDisplay(text, true), text) << screen.name << ": " << text;
        }
    }
}

}  // namespace
}  // namespace nyra::test
