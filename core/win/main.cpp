#include "core/startup_services.h"
#include "core/win/launcher.h"

#include <string_view>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    nyra::PendingStartupServices services;
    const std::wstring_view line = commandLine != nullptr ? std::wstring_view(commandLine) : std::wstring_view();
    return nyra::runLauncher(instance, std::u16string_view(reinterpret_cast<const char16_t*>(line.data()), line.size()),
                             services);
}
