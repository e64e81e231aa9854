#pragma once
#include <windows.h>

#include <string_view>

namespace nyra {

class StartupServices;

// The process entry of the launcher: prepares the process, picks the mode from the command line
// (the text after the program name), claims an instance slot, opens the window and runs the
// message loop. Returns the process exit code; every start-up failure is shown in a message box
// captioned "Nyra Saga Brasil" and gives 1.
int runLauncher(HINSTANCE instance, std::u16string_view commandLine, StartupServices& services);

// The start-up failure message box (no owner window, information icon).
void showStartupFailure(const char* message);

}  // namespace nyra
