#include "app/win/launcher.h"
#include "app/win/product_services.h"

#include <string_view>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    nyra::ProductStartupServices services;
    const std::wstring_view line = commandLine != nullptr ? std::wstring_view(commandLine) : std::wstring_view();
    return nyra::runLauncher(instance, std::u16string_view(reinterpret_cast<const char16_t*>(line.data()), line.size()),
                             services);
}
