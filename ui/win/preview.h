#pragma once
// The "--preview…" modes: one screen rendered without a window and written as a PNG picture, so
// that a layout can be judged (and compared with reference pictures) without running the flow.
#include "core/command_line.h"
#include "ui/win/art.h"

#include <filesystem>
#include <string>

namespace nyra::ui {

// Exit codes of a preview run.
inline constexpr int kPreviewWritten = 0;
inline constexpr int kPreviewNotWritten = 1;   // rendering or writing the picture failed
inline constexpr int kPreviewDrawFailed = 2;   // written, but a drawing call failed on the way

// Renders the screen of a preview option and writes it to `target` (relative to the current
// folder), in English when the option says so or, for the options that force no language, when
// `savedEnglish` (the player's stored choice).
int runPreview(LaunchMode mode, const std::filesystem::path& target, LauncherAssets& assets, bool savedEnglish);

// Writes a bitmap as PNG under a temporary name, then moves it over the target.
bool writePng(Gdiplus::Bitmap& bitmap, const std::filesystem::path& target);

}  // namespace nyra::ui
