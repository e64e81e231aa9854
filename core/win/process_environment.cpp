#include "core/win/process_environment.h"

#include "core/text.h"

#include <windows.h>

#include <stdexcept>

namespace nyra {

void Win32ProcessEnvironment::setVariable(const std::string& name, const std::string& value) {
    const auto wideName = utf8ToUtf16(name);
    const auto wideValue = utf8ToUtf16(value);
    if (!::SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(wideName.c_str()),
                                   reinterpret_cast<const wchar_t*>(wideValue.c_str()))) {
        throw std::runtime_error("Ambiente do jogo indisponivel.");
    }
}

}  // namespace nyra
