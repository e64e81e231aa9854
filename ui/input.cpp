#include "ui/input.h"

#include "ui/news.h"

namespace nyra::ui {
namespace {

bool in(const Rect& rect, Point p) { return rect.contains(p.x, p.y); }

ClickAction act(ClickKind kind) { return ClickAction{.kind = kind}; }

ClickAction portal(PortalLink link) { return ClickAction{.kind = ClickKind::OpenPortal, .link = link}; }

std::size_t newsCount(const UiState& state) { return state.news.size(); }

// The focused field and its limit, or nothing when no field takes characters.
std::string* focusedText(UiState& state, std::size_t& limit) {
    if (state.focusedField == kFocusUsername) {
        limit = kUsernameLimit;
        return &state.username;
    }
    if (state.focusedField == kFocusPassword) {
        limit = kPasswordLimit;
        return &state.password;
    }
    return nullptr;
}

bool fieldFocused(const UiState& state) {
    return state.focusedField == kFocusUsername || state.focusedField == kFocusPassword;
}

// The login form takes text only while nothing modal lies over it and it is editable.
bool formEditable(const UiState& state) {
    return !state.installPanelOpen && !state.settingsOpen && !state.busy && !state.signedIn;
}

bool acceptsText(const UiState& state) { return formEditable(state) && fieldFocused(state); }

constexpr bool printable(char16_t c) { return c >= 33 && c <= 126; }

void append(std::string& field, std::size_t limit, char16_t c) {
    if (!printable(c) || field.size() >= limit) return;
    // Reserving the whole limit first means the text never moves to a bigger buffer, so no copy
    // of a password is left behind in freed memory.
    field.reserve(limit);
    field.push_back(static_cast<char>(c));
}

void advanceNews(UiState& state, std::size_t steps, std::uint64_t nowMs) {
    const std::size_t n = newsCount(state);
    state.newsIndex = static_cast<int>((currentNewsIndex(state) + steps) % n);
    state.newsRotatedMs = nowMs;
}

}  // namespace

ClickAction resolveClick(const UiState& s, bool splash, Point p) {
    if (splash) return act(ClickKind::Drag);
    if (in(layout::kCloseButton, p)) return act(ClickKind::Close);
    if (in(layout::kMinimizeButton, p)) return act(ClickKind::Minimize);
    if (s.installPanelOpen) {
        return act(in(layout::kInstallPanel, p) ? ClickKind::InstallPanel : ClickKind::Drag);
    }
    if ((in(layout::kLanguageSwitch, p) && !s.busy && !s.gameRunning) ||
        (s.settingsOpen && in(layout::kSettingsGameLanguageValue, p))) {
        return act(ClickKind::ToggleLanguageMenu);
    }
    if (s.languageMenuOpen) {
        if (in(layout::kLanguageOptionPortuguese, p)) return ClickAction{.kind = ClickKind::ChooseLanguage};
        if (in(layout::kLanguageOptionEnglish, p)) {
            return ClickAction{.kind = ClickKind::ChooseLanguage, .english = true};
        }
        return act(ClickKind::CloseLanguageMenu);
    }
    if (s.settingsOpen) {
        // The panel is modal: nothing reaches the home screen and nothing drags.
        if (in(layout::kSettingsResolutionValue, p)) return act(ClickKind::CycleResolution);
        if (in(layout::kSettingsDisplayModeValue, p)) return act(ClickKind::ToggleFullScreen);
        if (in(layout::kSettingsGraphicsValue, p)) return act(ClickKind::FlipGraphics);
        if (in(layout::kSettingsSaveButton, p)) return act(ClickKind::SaveSettings);
        return act(ClickKind::Refresh);
    }
    if (in(layout::kPortalButton, p)) return portal(PortalLink::Home);
    if (in(layout::kNewsAllLink, p)) return portal(PortalLink::AllNews);
    if (in(layout::kNewsFeaturedCard, p)) {
        return portal(newsCount(s) > 0 ? PortalLink::NewsItem : PortalLink::AllNews);
    }
    for (int k = 0; k < layout::kNewsRows; ++k) {
        if (static_cast<std::size_t>(k) + 1 < newsCount(s) && in(layout::newsRow(k), p)) {
            return ClickAction{.kind = ClickKind::SelectNewsRow, .row = k};
        }
    }
    if (s.signedIn) {
        if (in(layout::kSignOutLink, p)) return act(ClickKind::SignOut);
    } else {
        if (in(layout::kRegisterLink, p)) return portal(PortalLink::Register);
        if (in(layout::kForgotPasswordLink, p)) return portal(PortalLink::ForgotPassword);
    }
    if (in(layout::kPlayButton, p)) return act(ClickKind::Play);
    if (in(layout::kVerifyButton, p)) return act(ClickKind::Verify);
    if (in(layout::kOptionsButton, p)) return act(s.busy ? ClickKind::Refresh : ClickKind::OpenSettings);
    const bool formLocked = s.busy || s.signedIn;
    if (in(layout::kShowHidePassword, p)) {
        return act(formLocked ? ClickKind::Refresh : ClickKind::TogglePasswordShown);
    }
    if (in(layout::kUsernameField, p)) {
        return formLocked ? act(ClickKind::Refresh) : ClickAction{.kind = ClickKind::FocusField, .field = kFocusUsername};
    }
    if (in(layout::kPasswordField, p)) {
        return formLocked ? act(ClickKind::Refresh) : ClickAction{.kind = ClickKind::FocusField, .field = kFocusPassword};
    }
    return act(ClickKind::Drag);
}

bool applyClick(UiState& s, const ClickAction& action, std::uint64_t nowMs) {
    switch (action.kind) {
    case ClickKind::ToggleLanguageMenu:
        s.languageMenuOpen = !s.languageMenuOpen;
        return true;
    case ClickKind::ChooseLanguage:
        s.languageEnglish = action.english;
        s.languageMenuOpen = false;
        showNotice(s, std::string(kLanguageAppliedNotice), nowMs);
        return true;
    case ClickKind::CloseLanguageMenu:
        s.languageMenuOpen = false;
        return true;
    case ClickKind::CycleResolution: {
        const Resolution next = nextResolution(s.resolutionWidth);
        s.resolutionWidth = next.width;
        s.resolutionHeight = next.height;
        return true;
    }
    case ClickKind::ToggleFullScreen:
        s.fullScreen = !s.fullScreen;
        return true;
    case ClickKind::FlipGraphics:
        s.graphicsMode = 1 - shownGraphicsMode(s.graphicsMode);
        return true;
    case ClickKind::SaveSettings:
        s.settingsOpen = false;
        return true;
    case ClickKind::Refresh:
        return true;
    case ClickKind::SelectNewsRow:
        if (action.row >= 0 && static_cast<std::size_t>(action.row) + 1 < newsCount(s)) {
            advanceNews(s, static_cast<std::size_t>(action.row) + 1, nowMs);
        }
        return true;
    case ClickKind::OpenSettings:
        if (!s.busy) s.settingsOpen = true;
        return true;
    case ClickKind::TogglePasswordShown:
        if (!s.busy && !s.signedIn) s.passwordShown = !s.passwordShown;
        return true;
    case ClickKind::FocusField:
        if (!s.busy && !s.signedIn && (action.field == kFocusUsername || action.field == kFocusPassword)) {
            s.focusedField = action.field;
        }
        return true;
    case ClickKind::Drag:
    case ClickKind::Close:
    case ClickKind::Minimize:
    case ClickKind::InstallPanel:
    case ClickKind::OpenPortal:
    case ClickKind::SignOut:
    case ClickKind::Play:
    case ClickKind::Verify:
        return false;
    }
    return false;
}

KeyKind resolveKeyDown(const UiState& s, unsigned key, bool controlHeld) {
    if (s.installPanelOpen) return key == kKeyEnter ? KeyKind::ConfirmInstall : KeyKind::None;
    if (s.languageMenuOpen) {
        // The menu lies over everything else (also over the settings panel that opened it).
        if (key == kKeyEscape) return KeyKind::CloseLanguageMenu;
        if (key == kKeyEnter) return KeyKind::None;
    }
    if (s.settingsOpen) {
        return key == kKeyEscape || key == kKeyEnter ? KeyKind::SaveSettings : KeyKind::None;
    }
    if (key == kKeyEscape) return KeyKind::None;
    if (controlHeld && key == kKeyV) return KeyKind::Paste;
    if (key == kKeyTab) return KeyKind::MoveFocus;
    if (key == kKeyEnter) return KeyKind::Play;
    return KeyKind::None;
}

void applyTab(UiState& s) { s.focusedField = s.focusedField == kFocusUsername ? kFocusPassword : kFocusUsername; }

bool applyChar(UiState& s, char16_t c) {
    if (c == u'\r' || c == u'\t') return false;
    if (!acceptsText(s)) return false;
    std::size_t limit = 0;
    std::string* field = focusedText(s, limit);
    if (c == u'\b') {
        if (!field->empty()) field->pop_back();
    } else {
        append(*field, limit, c);
    }
    return true;
}

bool pasteAllowed(const UiState& s) { return acceptsText(s); }

bool wantsTextCursor(const UiState& s, bool splash, Point p) {
    return resolveClick(s, splash, p).kind == ClickKind::FocusField;
}

void applyPaste(UiState& s, std::u16string_view clipboard) {
    if (!pasteAllowed(s)) return;
    std::size_t limit = 0;
    std::string* field = focusedText(s, limit);
    for (const char16_t c : clipboard) {
        if (field->size() >= limit) break;
        append(*field, limit, c);
    }
}

Resolution nextResolution(int width) {
    switch (width) {
    case 1280: return {1366, 768};
    case 1366: return {1600, 900};
    case 1600: return {1920, 1080};
    case 1920: return {2560, 1440};
    default: return {1280, 720};  // 2560 wraps round; unknown widths start the cycle
    }
}

int shownGraphicsMode(int mode) { return mode <= 0 ? 0 : 1; }

void showNotice(UiState& s, std::string text, std::uint64_t nowMs) {
    s.noticeText = std::move(text);
    s.noticeExpiryMs = nowMs + kNoticeLifetimeMs;
}

bool noticeVisible(const UiState& s, std::uint64_t nowMs) { return !s.noticeText.empty() && nowMs < s.noticeExpiryMs; }

std::size_t currentNewsIndex(const UiState& s) {
    const std::size_t n = newsCount(s);
    if (n == 0 || s.newsIndex < 0) return 0;
    return static_cast<std::size_t>(s.newsIndex) % n;
}

bool rotateNewsIfDue(UiState& s, bool splash, Point mouse, std::uint64_t nowMs) {
    if (splash || newsCount(s) < 2 || in(layout::kNewsPanel, mouse)) return false;
    if (nowMs < s.newsRotatedMs || nowMs - s.newsRotatedMs <= kNewsRotationMs) return false;
    advanceNews(s, 1, nowMs);
    return true;
}

bool turnNewsWheel(UiState& s, int wheelDelta, std::uint64_t nowMs) {
    const std::size_t n = newsCount(s);
    if (n < 2 || wheelDelta == 0) return false;
    advanceNews(s, wheelDelta < 0 ? 1 : n - 1, nowMs);
    return true;
}

}  // namespace nyra::ui
