#pragma once
// Starts real Launcher.exe processes from a private copy and watches them from outside, as a
// player's desktop would: their windows, their message boxes and their exit codes.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nyra::test {

// A fresh folder holding, as "Launcher.exe", a copy of the launcher built beside the test
// executable (another build of it, such as a test flavour's, when named).
class LauncherFolder {
public:
    explicit LauncherFolder(const wchar_t* built = L"Launcher.exe");
    ~LauncherFolder();
    LauncherFolder(const LauncherFolder&) = delete;
    LauncherFolder& operator=(const LauncherFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path executable() const { return path_ / L"Launcher.exe"; }

private:
    std::filesystem::path path_;
};

class LauncherProcess {
public:
    LauncherProcess(const LauncherFolder& folder, const std::wstring& arguments, bool captureOutput = false);
    ~LauncherProcess();
    LauncherProcess(const LauncherProcess&) = delete;
    LauncherProcess& operator=(const LauncherProcess&) = delete;

    DWORD id() const { return info_.dwProcessId; }
    // A visible top-level window of this process with the given class; null after the timeout.
    HWND waitForWindow(const wchar_t* className, DWORD timeoutMs = 30000) const;
    // Waits for the process to end; returns its exit code, or STILL_ACTIVE after the timeout.
    DWORD waitForExit(DWORD timeoutMs = 30000) const;
    // Waits for the process to end and returns what it wrote to standard output (captureOutput).
    std::string readOutput();

private:
    PROCESS_INFORMATION info_{};
    HANDLE outputRead_ = nullptr;
};

// The texts of the static controls of a dialog (a message box's message).
std::wstring dialogText(HWND dialog);
std::wstring windowText(HWND window);
bool namedMutexExists(const std::wstring& name);

}  // namespace nyra::test
