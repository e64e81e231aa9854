#include "core/command_line.h"

namespace nyra {

std::optional<MatchedOption> matchOption(std::u16string_view commandLine, LaunchMode mode) {
    for (const auto& option : kLaunchOptions) {
        if (option.mode != mode) continue;
        if (option.match == OptionMatch::WholeLine) {
            if (commandLine == option.text) return MatchedOption{mode, {}};
        } else if (commandLine.starts_with(option.text)) {
            return MatchedOption{mode, commandLine.substr(option.text.size())};
        }
        return std::nullopt;
    }
    return std::nullopt;
}

bool isPreviewMode(LaunchMode mode) {
    return mode >= LaunchMode::PreviewFlagsEnglish && mode <= LaunchMode::PreviewSplashHidpi;
}

std::optional<MatchedOption> matchPreview(std::u16string_view commandLine) {
    for (const auto& option : kLaunchOptions) {
        if (!isPreviewMode(option.mode)) continue;
        if (auto matched = matchOption(commandLine, option.mode)) return matched;
    }
    return std::nullopt;
}

}  // namespace nyra
