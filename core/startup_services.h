#pragma once
// What start-up needs from subsystems that own the files and folders it touches before the window
// opens: self-update apply, protected diagnostics, native component clean-up and the install
// location. The shell calls them through this interface so start-up can be wired and
// tested before each of them exists.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace nyra {

struct InstallCandidate {
    std::string label;       // drive or folder as the install panel shows it
    std::filesystem::path folder;
    std::uint64_t freeBytes = 0;
    bool usable = false;
    std::string reason;      // why it is not usable
};

class StartupServices {
public:
    virtual ~StartupServices() = default;
    // "--apply-launcher-update": applies the downloaded update; the result is the exit code.
    virtual int applyLauncherUpdate(std::u16string_view commandLine, const std::filesystem::path& launcherFolder) = 0;
    // Converts legacy plain diagnostics into protected ones; returns how many were converted.
    virtual unsigned migrateLegacyDiagnostics(const std::filesystem::path& launcherFolder) = 0;
    // Reads back a protected diagnostic file (throws when it cannot be read).
    virtual void readDiagnostic(const std::filesystem::path& file) = 0;
    // Deletes the temporary protected components of an engine folder; false when some remain.
    virtual bool cleanNativeComponents(const std::filesystem::path& engineFolder) = 0;
    // Up to four install candidates, usable ones first.
    virtual std::vector<InstallCandidate> installCandidates(const std::filesystem::path& launcherFolder) = 0;
};

// The product's implementation until each owner subsystem lands: steps that would need the
// missing subsystem fail with a clear message instead of pretending to succeed.
class PendingStartupServices final : public StartupServices {
public:
    int applyLauncherUpdate(std::u16string_view commandLine, const std::filesystem::path& launcherFolder) override;
    unsigned migrateLegacyDiagnostics(const std::filesystem::path& launcherFolder) override;
    void readDiagnostic(const std::filesystem::path& file) override;
    bool cleanNativeComponents(const std::filesystem::path& engineFolder) override;
    std::vector<InstallCandidate> installCandidates(const std::filesystem::path& launcherFolder) override;
};

// ".engine" for slot 0, ".engine-<n>" otherwise, inside the launcher folder.
std::filesystem::path engineFolderFor(const std::filesystem::path& launcherFolder, int slot);

}  // namespace nyra
