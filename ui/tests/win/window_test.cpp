// The window procedure driven with real window messages: clicks, keys, typed characters, the
// clipboard, the settings panel and the language menu, on a real layered window at scale 1.
#include <gtest/gtest.h>

#include "core/flow.h"
#include "app/tests/win/launcher_harness.h"
#include "core/ui_state.h"
#include "core/unavailable_services.h"
#include "core/win/shell_adapters.h"
#include "ui/win/window.h"
#include "ui_test_support.h"

#include <cstring>
#include <vector>

namespace nyra::test {
namespace {

class ManualClock final : public Clock {
public:
    std::uint64_t tickMs() override { return now; }
    void sleepMs(std::uint32_t) override {}
    std::uint64_t now = 10'000'000;
};

class RecordingActions final : public ui::ScreenActions {
public:
    void applyLanguage(UiStore&, bool english) override { languages.push_back(english); }
    void saveSettings(UiStore&) override { ++saves; }
    void reloadVideoSettings(UiStore&) override { ++reloads; }
    std::vector<bool> languages;
    int saves = 0;
    int reloads = 0;
};

class LauncherWindow : public ::testing::Test {
protected:
    LauncherWindow()
        : store_(clock_, poster_),
          services_(pending_.services()),
          flow_(store_, services_, clock_, poster_, std::filesystem::temp_directory_path()),
          renderer_(UiResources::get().assets(), store_, clock_, 7),
          context_(store_, renderer_, clock_) {
        context_.flow = &flow_;
        context_.actions = &actions_;
        context_.openBrowser = [this](HWND, const std::wstring& address) {
            opened_.push_back(address);
            return browserWorks_;
        };
        ui::registerWindowClass(::GetModuleHandleW(nullptr));
        store_.splash().store(false);
        store_.withLock([](UiState& s) { s.serverOnline = true; });
        window_ = ui::createLauncherWindow(::GetModuleHandleW(nullptr), WindowPlacement{1.0, 0, 0, 1280, 820}, context_);
        poster_.attach(window_);
        pump();
    }
    ~LauncherWindow() override {
        poster_.detach();
        ::DestroyWindow(window_);
        pump();  // the WM_QUIT of WM_DESTROY
    }

    // Handles what is queued, except timer 1: the animation clock would keep the queue busy forever.
    void pump() {
        MSG message;
        for (;;) {
            if (!::PeekMessageW(&message, nullptr, 0, WM_TIMER - 1, PM_REMOVE) &&
                !::PeekMessageW(&message, nullptr, WM_TIMER + 1, 0xFFFF, PM_REMOVE)) {
                return;
            }
            if (message.message == WM_QUIT) continue;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    void click(int x, int y) {
        ::SendMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        pump();
    }
    void key(unsigned virtualKey) {
        ::SendMessageW(window_, WM_KEYDOWN, virtualKey, 0);
        pump();
    }
    void type(std::u16string_view text) {
        for (const char16_t c : text) ::SendMessageW(window_, WM_CHAR, c, 0);
        pump();
    }
    // The record itself: the frame snapshot keeps a hidden password's characters out.
    UiState state() {
        return store_.withLock([](UiState& s) { return s; });
    }

    ManualClock clock_;
    WindowMessagePoster poster_;
    UiStore store_;
    UnavailableServices pending_;
    FlowServices services_;
    FlowController flow_;
    ui::Renderer renderer_;
    RecordingActions actions_;
    ui::WindowContext context_;
    std::vector<std::wstring> opened_;
    bool browserWorks_ = true;
    HWND window_ = nullptr;
};

TEST_F(LauncherWindow, PlayWithEmptyFieldsAsksForTheAccountAndFocusesTheEmptyField) {
    click(1016, 580);
    EXPECT_EQ(state().statusText, "Informe seu usuario e senha do Nyra Saga Brasil.");
    EXPECT_EQ(state().focusedField, kFocusUsername);

    type(u"heroina");
    key(VK_RETURN);  // Enter is Play too
    EXPECT_EQ(state().username, "heroina");
    EXPECT_EQ(state().focusedField, kFocusPassword);
    EXPECT_FALSE(state().busy);
}

TEST_F(LauncherWindow, TypingKeepsPrintableAsciiWithinTheFieldLimits) {
    click(1000, 440);  // username field
    ASSERT_EQ(state().focusedField, kFocusUsername);
    type(u"a b\u00e9c\x01");
    EXPECT_EQ(state().username, "abc");
    type(u"\b");
    EXPECT_EQ(state().username, "ab");
    type(u"cdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(state().username, "abcdefghijklmnopqrst");  // 20 characters

    key(VK_TAB);
    EXPECT_EQ(state().focusedField, kFocusPassword);
    type(u"s3nh@!");
    EXPECT_EQ(state().password, "s3nh@!");
    key(VK_TAB);
    EXPECT_EQ(state().focusedField, kFocusUsername);

    EXPECT_FALSE(state().passwordShown);
    click(1116, 512);  // show/hide inside the password field
    EXPECT_TRUE(state().passwordShown);
    EXPECT_EQ(state().focusedField, kFocusUsername);  // the toggle does not move the focus
}

TEST_F(LauncherWindow, CtrlVPastesTheClipboardTextThroughTheFieldRules) {
    ASSERT_TRUE(::OpenClipboard(window_));
    ::EmptyClipboard();
    const std::u16string text = u"pa ss\tw\u00f6rd";
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(char16_t));
    std::memcpy(::GlobalLock(memory), text.c_str(), (text.size() + 1) * sizeof(char16_t));
    ::GlobalUnlock(memory);
    ASSERT_NE(::SetClipboardData(CF_UNICODETEXT, memory), nullptr);
    ::CloseClipboard();

    BYTE keys[256] = {};
    ::GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    ::SetKeyboardState(keys);
    key('V');
    EXPECT_EQ(state().password, "");  // no field focused: nothing happens

    click(1000, 512);
    key('V');
    keys[VK_CONTROL] = 0;
    ::SetKeyboardState(keys);
    EXPECT_EQ(state().password, "passwrd");
}

TEST_F(LauncherWindow, SettingsPanelCyclesItsValuesAndKeepsClicksFromTheHomeScreen) {
    store_.withLock([](UiState& s) {
        s.resolutionWidth = 1440;
        s.resolutionHeight = 900;
        s.graphicsMode = 3;
    });
    click(1109, 641);  // options
    ASSERT_TRUE(state().settingsOpen);

    click(640, 292);  // resolution
    EXPECT_EQ(state().resolutionWidth, 1280);
    EXPECT_EQ(state().resolutionHeight, 720);
    click(640, 292);
    EXPECT_EQ(state().resolutionWidth, 1366);
    click(640, 370);  // display mode
    EXPECT_TRUE(state().fullScreen);
    click(640, 448);  // graphics: 3 is shown as enhanced, so it flips to standard
    EXPECT_EQ(state().graphicsMode, 0);

    click(1016, 580);  // where Play is: the panel keeps it
    EXPECT_TRUE(state().statusText.empty());

    click(640, 606);  // save and back
    EXPECT_FALSE(state().settingsOpen);
    EXPECT_EQ(actions_.saves, 1);
}

TEST_F(LauncherWindow, EnterAndEscapeActOnTheOpenPanelOrMenuNeverOnPlay) {
    store_.withLock([](UiState& s) {
        s.username = "heroina";
        s.password = "s3nh@";  // Enter on the bare home screen would sign in and play
    });
    click(1050, 41);  // the language switch
    ASSERT_TRUE(state().languageMenuOpen);
    key(VK_RETURN);
    EXPECT_TRUE(state().languageMenuOpen);  // the menu has no chosen entry: nothing happens
    EXPECT_FALSE(state().busy);
    key(VK_ESCAPE);
    EXPECT_FALSE(state().languageMenuOpen);

    click(1000, 440);  // the username field takes the focus
    click(1109, 641);  // options
    ASSERT_TRUE(state().settingsOpen);
    click(640, 526);  // the game language row opens the menu over the panel
    ASSERT_TRUE(state().languageMenuOpen);
    key(VK_ESCAPE);  // the topmost first
    EXPECT_FALSE(state().languageMenuOpen);
    EXPECT_TRUE(state().settingsOpen);
    key(VK_TAB);
    type(u"x");  // the form under the panel takes no keys
    EXPECT_EQ(state().username, "heroina");
    EXPECT_EQ(state().focusedField, kFocusUsername);
    key(VK_RETURN);  // the panel's button: save and back
    EXPECT_FALSE(state().settingsOpen);
    EXPECT_EQ(actions_.saves, 1);
    EXPECT_FALSE(state().busy);

    click(1109, 641);
    key(VK_ESCAPE);  // leaving by Escape stores the values shown, as the button does
    EXPECT_FALSE(state().settingsOpen);
    EXPECT_EQ(actions_.saves, 2);
    EXPECT_FALSE(state().busy);
}

TEST_F(LauncherWindow, TextCursorOnlyOverAFieldThatIsDrawn) {
    const HCURSOR beam = ::LoadCursorW(nullptr, IDC_IBEAM);
    const auto cursorAt = [&](int x, int y) {
        ::SendMessageW(window_, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
        pump();
        ::SendMessageW(window_, WM_SETCURSOR, reinterpret_cast<WPARAM>(window_), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        return ::GetCursor();
    };
    EXPECT_EQ(cursorAt(1000, 440), beam);  // username field
    EXPECT_NE(cursorAt(1116, 512), beam);  // show/hide
    store_.withLock([](UiState& s) { s.signedIn = true; });
    EXPECT_NE(cursorAt(1000, 440), beam);  // the welcome text stands there now
    EXPECT_NE(cursorAt(1000, 530), beam);  // the sign-out button
}

TEST_F(LauncherWindow, LanguageMenuSwitchesTheScreenToEnglish) {
    const auto portuguese = renderer_.RenderFrame(1.0, false);
    click(1050, 41);  // the switch
    ASSERT_TRUE(state().languageMenuOpen);
    click(989, 166);  // English
    EXPECT_FALSE(state().languageMenuOpen);
    EXPECT_TRUE(state().languageEnglish);
    EXPECT_TRUE(store_.uiEnglish().load());
    EXPECT_EQ(actions_.languages, std::vector<bool>{true});
    EXPECT_EQ(state().noticeText, "Idioma aplicado ao launcher e ao próximo início do jogo.");

    // The English frame differs from the Portuguese one where the texts are, not elsewhere.
    const auto english = renderer_.RenderFrame(1.0, false);
    Gdiplus::Rect playButton(880, 552, 272, 56);
    std::unique_ptr<Gdiplus::Bitmap> before(portuguese->Clone(playButton, PixelFormat32bppPARGB));
    std::unique_ptr<Gdiplus::Bitmap> after(english->Clone(playButton, PixelFormat32bppPARGB));
    EXPECT_GT(comparePictures(*after, *before).differingShare, 0.01);

    click(1050, 41);
    click(600, 400);  // anywhere else only closes the menu
    EXPECT_FALSE(state().languageMenuOpen);
    EXPECT_TRUE(state().languageEnglish);
}

TEST_F(LauncherWindow, PortalLinksOpenTheBrowserAndSayWhatHappened) {
    click(1016, 641);  // portal
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].back(), L'/');
    EXPECT_EQ(state().noticeText, "Portal aberto no navegador.");

    browserWorks_ = false;
    click(946, 688);  // register
    ASSERT_EQ(opened_.size(), 2u);
    EXPECT_TRUE(opened_[1].ends_with(L"/cadastro"));
    EXPECT_EQ(state().noticeText, "Nao foi possivel abrir o navegador. Acesse o portal manualmente.");
}

TEST_F(LauncherWindow, BusyDisablesPlayVerifyAndOptionsButNotThePortal) {
    store_.withLock([](UiState& s) { s.busy = true; });
    click(1016, 580);
    click(923, 641);
    click(1109, 641);
    EXPECT_FALSE(state().settingsOpen);
    EXPECT_TRUE(state().statusText.empty());
    click(1016, 641);
    EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(LauncherWindow, TheGameSettingsAreReadAgainWhenTheWindowComesBackAfterTheGame) {
    ::SendMessageW(window_, kMsgShowHide, 1, 0);
    EXPECT_FALSE(::IsWindowVisible(window_));
    EXPECT_EQ(actions_.reloads, 0);
    ::SendMessageW(window_, kMsgShowHide, 0, 0);
    pump();
    EXPECT_TRUE(::IsWindowVisible(window_));
    EXPECT_EQ(actions_.reloads, 1);
}

TEST_F(LauncherWindow, WheelAndRowClicksChangeTheFeaturedNews) {
    store_.withLock([](UiState& s) {
        s.news = {{"a", "evento", "Primeira", "", "", "", false},
                  {"b", "evento", "Segunda", "", "", "", false},
                  {"c", "evento", "Terceira", "", "", "", false}};
    });
    ::SendMessageW(window_, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), MAKELPARAM(600, 400));
    pump();
    EXPECT_EQ(state().newsIndex, 1);
    click(600, 608);  // row 1: two places further on
    EXPECT_EQ(state().newsIndex, 0);
}

TEST(RealLauncherWindow, CloseButtonEndsTheLauncher) {
    LauncherFolder folder;
    LauncherProcess launcher(folder, L"");
    HWND window = launcher.waitForWindow(ui::kWindowClassName);
    ASSERT_NE(window, nullptr);
    RECT client{};
    ::GetClientRect(window, &client);
    const double scale = static_cast<double>(client.right) / 1280.0;
    ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON,
                   MAKELPARAM(static_cast<int>(1181 * scale), static_cast<int>(41 * scale)));
    EXPECT_EQ(launcher.waitForExit(), 0u);
}

}  // namespace
}  // namespace nyra::test
