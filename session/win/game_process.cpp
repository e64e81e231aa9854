#include "session/win/game_process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <stdexcept>

#include "core/text.h"
#include "session/session_texts.h"

namespace nyra {
namespace {

std::u16string fromWide(const wchar_t* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

std::string narrow(const std::wstring& text) {
    return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// A REG_SZ value of HKEY_LOCAL_MACHINE; nullopt when absent.
std::optional<std::wstring> machineText(const wchar_t* key, const wchar_t* value) {
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes > 4096) {
        return std::nullopt;
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(::wcsnlen(text.c_str(), text.size()));
    return text;
}

struct HungSearch {
    DWORD processId;
    bool hung;
};

BOOL CALLBACK findHungWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<HungSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ::IsWindowVisible(window) && ::GetWindow(window, GW_OWNER) == nullptr &&
        ::IsHungAppWindow(window)) {
        search->hung = true;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

bool isGameRunning() {
    win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) throw std::runtime_error(texts::kCannotCheckGameSessions);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!::Process32FirstW(snapshot.get(), &entry)) throw std::runtime_error(texts::kCannotCheckGameSessions);
    do {
        if (isGameExecutableName(fromWide(entry.szExeFile))) return true;
    } while (::Process32NextW(snapshot.get(), &entry));
    return false;
}

bool WindowsGameProcess::waitForExit(std::uint32_t ms) {
    return ::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
}

std::uint32_t WindowsGameProcess::exitCode() {
    DWORD code = STILL_ACTIVE;
    if (!::GetExitCodeProcess(process_.get(), &code)) return kStillRunning;
    return code;
}

bool WindowsGameProcess::isHung() {
    HungSearch search{processId_, false};
    ::EnumWindows(findHungWindow, reinterpret_cast<LPARAM>(&search));
    return search.hung;
}

void WindowsGameProcess::terminate(std::uint32_t code) noexcept {
    if (::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) return;
    ::TerminateProcess(process_.get(), code);
}

std::unique_ptr<WindowsGameProcess> startGameProcess(const std::filesystem::path& engineFolder,
                                                     const EnvironmentBlock& environment) {
    const std::filesystem::path application = engineFolder / std::u16string(u"game.bin");
    const std::u16string folder = engineFolder.u16string();
    std::u16string commandLine = gameCommandLine(folder);  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(application.c_str(), reinterpret_cast<wchar_t*>(commandLine.data()), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT, const_cast<char16_t*>(environment.data()),
                          engineFolder.c_str(), &startup, &created)) {
        throw std::runtime_error(texts::kCannotStartClient);
    }
    win::UniqueHandle process(created.hProcess);
    win::UniqueHandle thread(created.hThread);
    ::SetPriorityClass(process.get(), ABOVE_NORMAL_PRIORITY_CLASS);
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (::GetProcessAffinityMask(process.get(), &processMask, &systemMask)) {
        const auto wanted = static_cast<DWORD_PTR>(gameAffinity(processMask));
        if (wanted != processMask) ::SetProcessAffinityMask(process.get(), wanted);
    }
    thread.reset();
    try {
        return std::make_unique<WindowsGameProcess>(std::move(process), created.dwProcessId);
    } catch (...) {
        ::TerminateProcess(process.get(), kEndedAfterFailure);  // never left running unwatched
        throw;
    }
}

std::vector<std::u16string> ownEnvironmentEntries() {
    std::vector<std::u16string> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (block == nullptr) return entries;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += ::wcslen(entry) + 1) {
        entries.push_back(fromWide(entry));
    }
    ::FreeEnvironmentStringsW(block);
    return entries;
}

SystemFacts readSystemFacts() {
    SystemFacts facts;
    constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    facts.currentBuild = narrow(machineText(kVersionKey, L"CurrentBuild").value_or(L""));
    if (auto display = machineText(kVersionKey, L"DisplayVersion")) {
        facts.hasDisplayVersion = true;
        facts.displayVersion = narrow(*display);
    }
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (::GlobalMemoryStatusEx(&memory)) {
        facts.totalMemoryMb = memory.ullTotalPhys / (1024 * 1024);
        facts.availableMemoryMb = memory.ullAvailPhys / (1024 * 1024);
        facts.memoryLoadPercent = memory.dwMemoryLoad;
    }
    facts.processorName =
        narrow(machineText(L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString").value_or(L""));
    facts.logicalProcessors = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    for (DWORD i = 0; i < 8; ++i) {
        DISPLAY_DEVICEW device{};
        device.cb = sizeof device;
        if (!::EnumDisplayDevicesW(nullptr, i, &device, 0)) break;
        if (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) {
            facts.displayAdapter = narrow(device.DeviceString);
            break;
        }
    }
    facts.screenWidth = ::GetSystemMetrics(SM_CXSCREEN);
    facts.screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
    wchar_t graphics[64]{};
    const DWORD length = ::GetEnvironmentVariableW(L"NYRA_GRAPHICS", graphics, 64);
    if (length > 0 && length < 64) facts.graphics = narrow(graphics);
    return facts;
}

}  // namespace nyra
