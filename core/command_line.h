#pragma once
// The launcher's command line: one string (the text after the program name). There is no option
// parser; each option matches either the whole line or its beginning, and what follows a prefix
// option, to the end of the line, is its value.
#include <optional>
#include <string_view>

namespace nyra {

enum class OptionMatch { WholeLine, Prefix };

enum class LaunchMode {
    ApplyLauncherUpdate,
    HomeSettled,
    ProtectDiagnostics,
    PreviewFlagsEnglish,
    PreviewFlagsPortuguese,
    Preview,
    PreviewSplash,
    PreviewSettings,
    PreviewAccount,
    PreviewInstall,
    PreviewUpdate,
    PreviewHidpi,
    PreviewSplashHidpi,
    SecurityProbe,
};

struct LaunchOption {
    std::u16string_view text;
    OptionMatch match;
    LaunchMode mode;
};

// The options in the order in which start-up tests them.
inline constexpr LaunchOption kLaunchOptions[] = {
    {u"--apply-launcher-update", OptionMatch::Prefix, LaunchMode::ApplyLauncherUpdate},
    {u"--home-settled", OptionMatch::WholeLine, LaunchMode::HomeSettled},
    {u"--protect-diagnostics", OptionMatch::WholeLine, LaunchMode::ProtectDiagnostics},
    {u"--preview-flags-en=", OptionMatch::Prefix, LaunchMode::PreviewFlagsEnglish},
    {u"--preview-flags-pt=", OptionMatch::Prefix, LaunchMode::PreviewFlagsPortuguese},
    {u"--preview=", OptionMatch::Prefix, LaunchMode::Preview},
    {u"--preview-splash=", OptionMatch::Prefix, LaunchMode::PreviewSplash},
    {u"--preview-settings=", OptionMatch::Prefix, LaunchMode::PreviewSettings},
    {u"--preview-account=", OptionMatch::Prefix, LaunchMode::PreviewAccount},
    {u"--preview-install=", OptionMatch::Prefix, LaunchMode::PreviewInstall},
    {u"--preview-update=", OptionMatch::Prefix, LaunchMode::PreviewUpdate},
    {u"--preview-hidpi=", OptionMatch::Prefix, LaunchMode::PreviewHidpi},
    {u"--preview-splash-hidpi=", OptionMatch::Prefix, LaunchMode::PreviewSplashHidpi},
    {u"--security-probe=", OptionMatch::Prefix, LaunchMode::SecurityProbe},
};

struct MatchedOption {
    LaunchMode mode;
    std::u16string_view value;  // what follows a prefix option; empty for whole-line options
};

// Does this one option match the command line?
std::optional<MatchedOption> matchOption(std::u16string_view commandLine, LaunchMode mode);

// The first preview option (in table order) that matches, if any.
std::optional<MatchedOption> matchPreview(std::u16string_view commandLine);

bool isPreviewMode(LaunchMode mode);

}  // namespace nyra
