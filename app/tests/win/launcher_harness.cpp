#include "app/tests/win/launcher_harness.h"

#include <atomic>
#include <stdexcept>
#include <utility>

namespace nyra::test {
namespace {

std::filesystem::path testExecutableFolder() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

struct WindowSearch {
    DWORD process;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK findWindowOfProcess(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t name[256] = {};
    ::GetClassNameW(window, name, 256);
    if (owner == search->process && std::wstring_view(name) == search->className && ::IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK collectStaticText(HWND child, LPARAM parameter) {
    auto* text = reinterpret_cast<std::wstring*>(parameter);
    wchar_t name[64] = {};
    ::GetClassNameW(child, name, 64);
    if (_wcsicmp(name, L"Static") == 0) {
        const std::wstring piece = windowText(child);
        if (!piece.empty()) *text += (text->empty() ? L"" : L"\n") + piece;
    }
    return TRUE;
}

}  // namespace

LauncherFolder::LauncherFolder(const wchar_t* built) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::filesystem::path(temp) /
            (L"nyra-launcher-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    std::filesystem::copy_file(testExecutableFolder() / built, executable());
}

LauncherFolder::~LauncherFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

LauncherProcess::LauncherProcess(const LauncherFolder& folder, const std::wstring& arguments, bool captureOutput) {
    std::wstring commandLine = L"\"" + folder.executable().wstring() + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    HANDLE outputWrite = nullptr;
    if (captureOutput) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        if (!::CreatePipe(&outputRead_, &outputWrite, &inherit, 0)) throw std::runtime_error("pipe");
        ::SetHandleInformation(outputRead_, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outputWrite;
        startup.hStdError = outputWrite;
        startup.hStdInput = nullptr;
    }
    const std::wstring workingFolder = folder.path().wstring();
    const BOOL created = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, captureOutput, 0, nullptr,
                                          workingFolder.c_str(), &startup, &info_);
    if (outputWrite != nullptr) ::CloseHandle(outputWrite);
    if (!created) throw std::runtime_error("Launcher.exe could not be started");
}

LauncherProcess::~LauncherProcess() {
    if (info_.hProcess != nullptr) {
        if (::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(info_.hProcess, 99);
            ::WaitForSingleObject(info_.hProcess, 10000);
        }
        ::CloseHandle(info_.hProcess);
        ::CloseHandle(info_.hThread);
    }
    if (outputRead_ != nullptr) ::CloseHandle(outputRead_);
}

HWND LauncherProcess::waitForWindow(const wchar_t* className, DWORD timeoutMs) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    do {
        WindowSearch search{info_.dwProcessId, className, nullptr};
        ::EnumWindows(findWindowOfProcess, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        if (::WaitForSingleObject(info_.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
    } while (::GetTickCount64() < deadline);
    return nullptr;
}

DWORD LauncherProcess::waitForExit(DWORD timeoutMs) const {
    if (::WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

std::string LauncherProcess::readOutput() {
    // The launcher writes one short line; once it has ended, everything it wrote sits in the pipe.
    // Reading to end-of-file is not used because Wine may keep the child's write end open longer.
    waitForExit();
    std::string output;
    DWORD available = 0;
    while (outputRead_ != nullptr && ::PeekNamedPipe(outputRead_, nullptr, 0, nullptr, &available, nullptr) &&
           available > 0) {
        std::string chunk(available, '\0');
        DWORD got = 0;
        if (!::ReadFile(outputRead_, chunk.data(), available, &got, nullptr) || got == 0) break;
        output.append(chunk, 0, got);
    }
    return output;
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring dialogText(HWND dialog) {
    std::wstring text;
    ::EnumChildWindows(dialog, collectStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

bool namedMutexExists(const std::wstring& name) {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr) return false;
    ::CloseHandle(mutex);
    return true;
}

}  // namespace nyra::test
