#include "ui/input.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace nyra::ui {
namespace {

NewsItem item(const std::string& slug) {
    NewsItem n;
    n.slug = slug;
    n.title = "T " + slug;
    return n;
}

UiState homeSignedOut() {
    UiState s;
    s.serverOnline = true;
    return s;
}

struct ClickCase {
    const char* name;
    std::function<void(UiState&)> setup;
    bool splash;
    Point at;
    ClickKind expected;
};

const Point kPlay{900, 570};
const Point kClose{1180, 40};
const Point kSwitch{1000, 40};
const Point kEmpty{300, 400};

const ClickCase kClicks[] = {
    {"splash drags even on close", [](UiState&) {}, true, kClose, ClickKind::Drag},
    {"close", [](UiState&) {}, false, kClose, ClickKind::Close},
    {"minimize", [](UiState&) {}, false, {1130, 30}, ClickKind::Minimize},
    {"close works over the install panel", [](UiState& s) { s.installPanelOpen = true; }, false, kClose,
     ClickKind::Close},
    {"install panel takes its inside", [](UiState& s) { s.installPanelOpen = true; }, false, {840, 668},
     ClickKind::InstallPanel},
    {"install panel: outside drags", [](UiState& s) { s.installPanelOpen = true; }, false, kPlay, ClickKind::Drag},
    {"language switch", [](UiState&) {}, false, kSwitch, ClickKind::ToggleLanguageMenu},
    {"language switch while busy does nothing", [](UiState& s) { s.busy = true; }, false, kSwitch,
     ClickKind::Drag},
    {"language switch while the game runs", [](UiState& s) { s.gameRunning = true; }, false, kSwitch,
     ClickKind::Drag},
    {"game language row opens the menu", [](UiState& s) { s.settingsOpen = true; }, false, {600, 520},
     ClickKind::ToggleLanguageMenu},
    {"menu: English", [](UiState& s) { s.languageMenuOpen = true; }, false, {900, 160}, ClickKind::ChooseLanguage},
    {"menu: any other click closes", [](UiState& s) { s.languageMenuOpen = true; }, false, kPlay,
     ClickKind::CloseLanguageMenu},
    {"settings: resolution", [](UiState& s) { s.settingsOpen = true; }, false, {500, 280},
     ClickKind::CycleResolution},
    {"settings: display mode over the news card", [](UiState& s) { s.settingsOpen = true; }, false, {600, 360},
     ClickKind::ToggleFullScreen},
    {"settings: graphics", [](UiState& s) { s.settingsOpen = true; }, false, {600, 450}, ClickKind::FlipGraphics},
    {"settings: save", [](UiState& s) { s.settingsOpen = true; }, false, {600, 600}, ClickKind::SaveSettings},
    {"settings: play position only refreshes", [](UiState& s) { s.settingsOpen = true; }, false, kPlay,
     ClickKind::Refresh},
    {"settings: empty spot does not drag", [](UiState& s) { s.settingsOpen = true; }, false, kEmpty,
     ClickKind::Refresh},
    {"portal works while busy", [](UiState& s) { s.busy = true; }, false, {1000, 640}, ClickKind::OpenPortal},
    {"news link", [](UiState&) {}, false, {770, 310}, ClickKind::OpenPortal},
    {"featured card", [](UiState&) {}, false, {600, 400}, ClickKind::OpenPortal},
    {"row 0 with one item drags", [](UiState& s) { s.news = {item("a")}; }, false, {600, 560}, ClickKind::Drag},
    {"row 0 with two items", [](UiState& s) { s.news = {item("a"), item("b")}; }, false, {600, 560},
     ClickKind::SelectNewsRow},
    {"row 1 with two items drags", [](UiState& s) { s.news = {item("a"), item("b")}; }, false, {600, 600},
     ClickKind::Drag},
    {"sign out", [](UiState& s) { s.signedIn = true; }, false, {1000, 530}, ClickKind::SignOut},
    {"signed out: the sign-out spot is the password field", [](UiState&) {}, false, {1000, 530},
     ClickKind::FocusField},
    {"register", [](UiState&) {}, false, {900, 690}, ClickKind::OpenPortal},
    {"signed in: register spot drags", [](UiState& s) { s.signedIn = true; }, false, {900, 690}, ClickKind::Drag},
    {"play", [](UiState&) {}, false, kPlay, ClickKind::Play},
    {"verify", [](UiState&) {}, false, {900, 640}, ClickKind::Verify},
    {"options", [](UiState&) {}, false, {1100, 640}, ClickKind::OpenSettings},
    {"options while busy refreshes", [](UiState& s) { s.busy = true; }, false, {1100, 640}, ClickKind::Refresh},
    {"show/hide", [](UiState&) {}, false, {1100, 510}, ClickKind::TogglePasswordShown},
    {"show/hide while signed in", [](UiState& s) { s.signedIn = true; }, false, {1100, 510}, ClickKind::Refresh},
    {"username field", [](UiState&) {}, false, {900, 430}, ClickKind::FocusField},
    {"username field while busy", [](UiState& s) { s.busy = true; }, false, {900, 430}, ClickKind::Refresh},
    {"anything else drags", [](UiState&) {}, false, kEmpty, ClickKind::Drag},
};

TEST(ClickRules, FirstMatchingRuleWins) {
    for (const auto& c : kClicks) {
        UiState s = homeSignedOut();
        c.setup(s);
        EXPECT_EQ(resolveClick(s, c.splash, c.at).kind, c.expected) << c.name;
    }
}

TEST(ClickRules, ActionDetails) {
    UiState s = homeSignedOut();
    s.languageMenuOpen = true;
    EXPECT_TRUE(resolveClick(s, false, {900, 160}).english);
    EXPECT_FALSE(resolveClick(s, false, {900, 110}).english);

    s = homeSignedOut();
    EXPECT_EQ(resolveClick(s, false, {600, 400}).link, PortalLink::AllNews);  // built-in item only
    s.news = {item("a"), item("b"), item("c")};
    EXPECT_EQ(resolveClick(s, false, {600, 400}).link, PortalLink::NewsItem);
    EXPECT_EQ(resolveClick(s, false, {770, 310}).link, PortalLink::AllNews);
    EXPECT_EQ(resolveClick(s, false, {600, 600}).row, 1);
    EXPECT_EQ(resolveClick(s, false, {900, 510}).field, kFocusPassword);
    EXPECT_EQ(resolveClick(s, false, {1040, 690}).link, PortalLink::ForgotPassword);
}

TEST(ClickRules, ApplyChangesOnlyWhatTheRuleSays) {
    UiState s = homeSignedOut();
    s.news = {item("a"), item("b"), item("c")};
    applyClick(s, resolveClick(s, false, {600, 600}), 5000);  // row 1: two places further on
    EXPECT_EQ(s.newsIndex, 2);
    EXPECT_EQ(s.newsRotatedMs, 5000u);
    applyClick(s, resolveClick(s, false, {600, 560}), 6000);  // row 0 of the rotated list wraps
    EXPECT_EQ(s.newsIndex, 0);

    s.settingsOpen = true;
    s.graphicsMode = 7;
    applyClick(s, {.kind = ClickKind::FlipGraphics}, 0);
    EXPECT_EQ(s.graphicsMode, 0);  // shown as 1, flipped
    s.graphicsMode = -3;
    applyClick(s, {.kind = ClickKind::FlipGraphics}, 0);
    EXPECT_EQ(s.graphicsMode, 1);
    applyClick(s, {.kind = ClickKind::ToggleFullScreen}, 0);
    EXPECT_TRUE(s.fullScreen);
    applyClick(s, {.kind = ClickKind::SaveSettings}, 0);
    EXPECT_FALSE(s.settingsOpen);

    s.languageMenuOpen = true;
    EXPECT_TRUE(applyClick(s, {.kind = ClickKind::ChooseLanguage, .english = true}, 1000));
    EXPECT_TRUE(s.languageEnglish);
    EXPECT_FALSE(s.languageMenuOpen);
    EXPECT_EQ(s.noticeText, kLanguageAppliedNotice);
    EXPECT_EQ(s.noticeExpiryMs, 7500u);

    EXPECT_FALSE(applyClick(s, {.kind = ClickKind::Play}, 0));  // the shell's business
    EXPECT_FALSE(applyClick(s, {.kind = ClickKind::Drag}, 0));
}

TEST(ResolutionCycle, ByWidthAlone) {
    const struct {
        int width;
        Resolution next;
    } cases[] = {{1280, {1366, 768}}, {1366, {1600, 900}}, {1600, {1920, 1080}}, {1920, {2560, 1440}},
                 {2560, {1280, 720}}, {1440, {1280, 720}}, {0, {1280, 720}},    {-5, {1280, 720}}};
    for (const auto& c : cases) {
        const Resolution next = nextResolution(c.width);
        EXPECT_EQ(next.width, c.next.width) << c.width;
        EXPECT_EQ(next.height, c.next.height) << c.width;
    }
    UiState s;
    s.resolutionWidth = 1440;
    s.resolutionHeight = 900;  // loaded from the game's files
    applyClick(s, {.kind = ClickKind::CycleResolution}, 0);
    EXPECT_EQ(s.resolutionWidth, 1280);
    EXPECT_EQ(s.resolutionHeight, 720);
}

struct KeyCase {
    const char* name;
    std::function<void(UiState&)> setup;
    unsigned key;
    bool control;
    KeyKind expected;
};

void settingsOpen(UiState& s) { s.settingsOpen = true; }
void menuOpen(UiState& s) { s.languageMenuOpen = true; }

// Each key acts on the topmost open layer; only the bare home screen plays on Enter.
const KeyCase kKeys[] = {
    {"home: Enter plays", [](UiState&) {}, kKeyEnter, false, KeyKind::Play},
    {"home: Escape has nothing to close", [](UiState&) {}, kKeyEscape, false, KeyKind::None},
    {"home: Ctrl+V pastes", [](UiState&) {}, kKeyV, true, KeyKind::Paste},
    {"home: V alone is for WM_CHAR", [](UiState&) {}, kKeyV, false, KeyKind::None},
    {"home: Tab moves the focus", [](UiState&) {}, kKeyTab, false, KeyKind::MoveFocus},
    {"install panel: Enter confirms it", [](UiState& s) { s.installPanelOpen = true; }, kKeyEnter, false,
     KeyKind::ConfirmInstall},
    {"install panel: Escape is ignored", [](UiState& s) { s.installPanelOpen = true; }, kKeyEscape, false,
     KeyKind::None},
    {"install panel: Tab is ignored", [](UiState& s) { s.installPanelOpen = true; }, kKeyTab, false, KeyKind::None},
    {"install panel: Ctrl+V is ignored", [](UiState& s) { s.installPanelOpen = true; }, kKeyV, true, KeyKind::None},
    {"menu: Escape closes it", menuOpen, kKeyEscape, false, KeyKind::CloseLanguageMenu},
    {"menu: Enter never plays", menuOpen, kKeyEnter, false, KeyKind::None},
    {"menu: Tab still moves the focus of the visible form", menuOpen, kKeyTab, false, KeyKind::MoveFocus},
    {"settings: Escape saves and goes back", settingsOpen, kKeyEscape, false, KeyKind::SaveSettings},
    {"settings: Enter is its button, never Play", settingsOpen, kKeyEnter, false, KeyKind::SaveSettings},
    {"settings: Tab does not reach the form under it", settingsOpen, kKeyTab, false, KeyKind::None},
    {"settings: Ctrl+V does not reach the form under it", settingsOpen, kKeyV, true, KeyKind::None},
    {"menu over settings: Escape closes the menu first",
     [](UiState& s) {
         s.settingsOpen = true;
         s.languageMenuOpen = true;
     },
     kKeyEscape, false, KeyKind::CloseLanguageMenu},
    {"menu over settings: Enter does nothing",
     [](UiState& s) {
         s.settingsOpen = true;
         s.languageMenuOpen = true;
     },
     kKeyEnter, false, KeyKind::None},
};

TEST(KeyRules, KeysActOnTheTopmostOpenLayer) {
    for (const auto& c : kKeys) {
        UiState s = homeSignedOut();
        c.setup(s);
        EXPECT_EQ(resolveKeyDown(s, c.key, c.control), c.expected) << c.name;
    }
}

TEST(KeyRules, TabOrder) {
    UiState s;
    applyTab(s);
    EXPECT_EQ(s.focusedField, kFocusUsername);  // from no focus
    applyTab(s);
    EXPECT_EQ(s.focusedField, kFocusPassword);
    applyTab(s);
    EXPECT_EQ(s.focusedField, kFocusUsername);  // the password field goes back
}

TEST(CharRules, PrintableAsciiOnlyAndLimits) {
    UiState s = homeSignedOut();
    s.focusedField = kFocusUsername;
    for (const char16_t c : {u'a', u' ', u'\u00E9', u'\x7F', u'\x1F', u'~', u'!', u'\u2022'}) applyChar(s, c);
    EXPECT_EQ(s.username, "a~!");
    EXPECT_TRUE(applyChar(s, u' '));  // dropped, but the frame still refreshes
    EXPECT_FALSE(applyChar(s, u'\r'));
    EXPECT_FALSE(applyChar(s, u'\t'));

    for (int i = 0; i < 30; ++i) applyChar(s, u'x');
    EXPECT_EQ(s.username.size(), kUsernameLimit);  // the 21st character is dropped
    applyChar(s, u'\b');
    EXPECT_EQ(s.username.size(), kUsernameLimit - 1);

    s.focusedField = kFocusPassword;
    for (int i = 0; i < 70; ++i) applyChar(s, u'p');
    EXPECT_EQ(s.password, std::string(kPasswordLimit, 'p'));
    s.password.clear();
    applyChar(s, u'\b');  // backspace on an empty field
    EXPECT_TRUE(s.password.empty());
}

TEST(CharRules, NothingHappensWhenNoFieldTakesText) {
    const std::function<void(UiState&)> blockers[] = {
        [](UiState& s) { s.installPanelOpen = true; }, [](UiState& s) { s.settingsOpen = true; },
        [](UiState& s) { s.busy = true; },             [](UiState& s) { s.signedIn = true; },
        [](UiState& s) { s.focusedField = kFocusNone; }};
    for (const auto& block : blockers) {
        UiState s = homeSignedOut();
        s.focusedField = kFocusUsername;
        s.username = "ab";
        block(s);
        EXPECT_FALSE(applyChar(s, u'c'));
        EXPECT_FALSE(applyChar(s, u'\b'));
        EXPECT_FALSE(pasteAllowed(s));
        applyPaste(s, u"cd");
        EXPECT_EQ(s.username, "ab");
    }
}

TEST(PasteRules, FiltersAndStopsAtTheLimit) {
    UiState s = homeSignedOut();
    EXPECT_FALSE(pasteAllowed(s));  // no field focused
    s.focusedField = kFocusUsername;
    s.username = "ab";
    applyPaste(s, u"c d\u00E7\r\nef\t0123456789012345678");
    EXPECT_EQ(s.username, "abcdef01234567890123");
    s.focusedField = kFocusPassword;
    applyPaste(s, u"");
    EXPECT_TRUE(s.password.empty());
    s.busy = true;
    EXPECT_FALSE(pasteAllowed(s));
    applyPaste(s, u"secret");
    EXPECT_TRUE(s.password.empty());
}

struct CursorCase {
    const char* name;
    std::function<void(UiState&)> setup;
    bool splash;
    Point at;
    bool textCursor;
};

const Point kUsernameSpot{1000, 440};
const Point kPasswordSpot{1000, 512};

// The I-beam only where a click would focus a field that is drawn.
const CursorCase kCursors[] = {
    {"username field", [](UiState&) {}, false, kUsernameSpot, true},
    {"password field", [](UiState&) {}, false, kPasswordSpot, true},
    {"field corners are inside", [](UiState&) {}, false, {1152, 534}, true},
    {"show/hide inside the password field", [](UiState&) {}, false, {1100, 510}, false},
    {"between the fields", [](UiState&) {}, false, {1000, 470}, false},
    {"no mouse yet", [](UiState&) {}, false, {-1, -1}, false},
    {"splash: no fields", [](UiState&) {}, true, kUsernameSpot, false},
    {"signed in: no fields", [](UiState& s) { s.signedIn = true; }, false, kUsernameSpot, false},
    {"signed in: over the sign-out button", [](UiState& s) { s.signedIn = true; }, false, {1000, 530}, false},
    {"busy: the fields take no input", [](UiState& s) { s.busy = true; }, false, kPasswordSpot, false},
    {"settings panel over the form", settingsOpen, false, kUsernameSpot, false},
    {"language menu takes the click", menuOpen, false, kUsernameSpot, false},
    {"install panel over the form", [](UiState& s) { s.installPanelOpen = true; }, false, kUsernameSpot, false},
};

TEST(TextCursor, OnlyWhereAClickFocusesADrawnField) {
    for (const auto& c : kCursors) {
        UiState s = homeSignedOut();
        c.setup(s);
        EXPECT_EQ(wantsTextCursor(s, c.splash, c.at), c.textCursor) << c.name;
    }
}

TEST(Notice, ExpiresAfterSixAndAHalfSeconds) {
    UiState s;
    EXPECT_FALSE(noticeVisible(s, 0));
    showNotice(s, "Portal aberto no navegador.", 10000);
    EXPECT_TRUE(noticeVisible(s, 10000));
    EXPECT_TRUE(noticeVisible(s, 16499));
    EXPECT_FALSE(noticeVisible(s, 16500));
}

TEST(Caret, BlinksEvery500Milliseconds) {
    EXPECT_TRUE(caretPhaseOn(0));
    EXPECT_TRUE(caretPhaseOn(499));
    EXPECT_FALSE(caretPhaseOn(500));
    EXPECT_FALSE(caretPhaseOn(999));
    EXPECT_TRUE(caretPhaseOn(1000));
}

TEST(NewsRotation, TimerRule) {
    UiState s;
    s.news = {item("a"), item("b"), item("c")};
    s.newsRotatedMs = 1000;
    const Point away{100, 100};
    EXPECT_FALSE(rotateNewsIfDue(s, false, away, 9000));   // exactly 8000 ms: not more
    EXPECT_FALSE(rotateNewsIfDue(s, true, away, 9001));    // splash
    EXPECT_FALSE(rotateNewsIfDue(s, false, {456, 636}, 9001));  // over the panel (edge)
    EXPECT_TRUE(rotateNewsIfDue(s, false, away, 9001));
    EXPECT_EQ(s.newsIndex, 1);
    EXPECT_EQ(s.newsRotatedMs, 9001u);
    s.news.resize(1);
    EXPECT_FALSE(rotateNewsIfDue(s, false, away, 90000));
}

TEST(NewsRotation, WheelMovesBothWaysWithTwoOrMore) {
    UiState s;
    s.news = {item("a")};
    EXPECT_FALSE(turnNewsWheel(s, -120, 5));
    s.news = {item("a"), item("b"), item("c")};
    EXPECT_TRUE(turnNewsWheel(s, 120, 5));  // upward: back, wrapping
    EXPECT_EQ(s.newsIndex, 2);
    EXPECT_TRUE(turnNewsWheel(s, -120, 6));  // downward: forward
    EXPECT_EQ(s.newsIndex, 0);
    EXPECT_EQ(s.newsRotatedMs, 6u);
    s.newsIndex = 7;  // stale index after a shorter list arrived
    EXPECT_EQ(currentNewsIndex(s), 1u);
}

}  // namespace
}  // namespace nyra::ui
