#pragma once
// The updater mode ("--apply-launcher-update"): run from Launcher.exe.update, it proves itself
// and the launcher that started it, confirms, waits for that launcher to end, swaps itself in as
// Launcher.exe and starts it.
#include <string_view>

namespace nyra::update {

// 0 when the new launcher has been started; throws the player's message otherwise.
int applyLauncherUpdate(std::u16string_view commandLine);

}  // namespace nyra::update
