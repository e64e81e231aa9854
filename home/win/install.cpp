#include "home/win/install.h"

#include "core/text.h"
#include "home/relocation_plan.h"
#include "home/win/folder_facts.h"
#include "platform/win/files.h"
#include "platform/win/handles.h"
#include "platform/win/user_security.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace nyra::home {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kCopyBlock = 4194304;  // 4 MiB

std::u16string text(const fs::path& path) { return path.u16string(); }

fs::path withSuffix(const fs::path& file, const wchar_t* suffix) { return fs::path(file.native() + suffix); }

bool pathExists(const fs::path& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool isReparsePoint(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void removeFile(const fs::path& file) noexcept {
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(file.c_str());
}

// Files a step created, removed again unless the step completed.
class CreatedFiles {
public:
    CreatedFiles() = default;
    CreatedFiles(const CreatedFiles&) = delete;
    CreatedFiles& operator=(const CreatedFiles&) = delete;
    ~CreatedFiles() {
        for (const auto& file : files_) removeFile(file);
    }
    void add(fs::path file) { files_.push_back(std::move(file)); }
    void keep() noexcept { files_.clear(); }

private:
    std::vector<fs::path> files_;
};

// COM for this thread (apartment threaded) around one use of the shell.
class ComForThisThread {
public:
    ComForThisThread() : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComForThisThread() {
        if (SUCCEEDED(result_)) ::CoUninitialize();
    }
    ComForThisThread(const ComForThisThread&) = delete;
    ComForThisThread& operator=(const ComForThisThread&) = delete;

private:
    HRESULT result_;
};

// Copies `from` to `to` through `to` + ".nyra-heal" and a write-through move.
void copyThroughHeal(const fs::path& from, const fs::path& to, const CopyProgress& progress,
                     const std::atomic<bool>* cancel) {
    const fs::path heal = withSuffix(to, kHealSuffix);
    copyFile(from, heal, progress, cancel);
    if (!win::replaceFile(heal, to)) {
        removeFile(heal);
        throw std::runtime_error(kRenameFailed);
    }
}

}  // namespace

void copyFile(const fs::path& source, const fs::path& target, const CopyProgress& progress,
              const std::atomic<bool>* cancel) {
    win::UniqueHandle input(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!input) throw std::runtime_error(kSourceUnreadable);
    // Declared before the output so that the file is closed by the time the partial copy goes.
    bool complete = false;
    struct RemovePartial {
        const fs::path& file;
        const bool& complete;
        ~RemovePartial() {
            if (!complete) removeFile(file);
        }
    } removePartial{target, complete};
    win::FreshFile output = win::FreshFile::create(target, win::FreshFile::Sharing::None);
    if (!output) throw std::runtime_error(kTargetNotCreated);

    std::vector<std::uint8_t> block(kCopyBlock);
    std::uint64_t copied = 0;
    for (;;) {
        if (cancel != nullptr && cancel->load()) throw InstallCancelled();
        DWORD read = 0;
        if (!::ReadFile(input.get(), block.data(), kCopyBlock, &read, nullptr)) throw std::runtime_error(kCopyBrokeOff);
        if (read == 0) break;
        if (!output.append(std::span<const std::uint8_t>(block.data(), read))) throw std::runtime_error(kCopyBrokeOff);
        copied += read;
        if (progress) progress(copied);
    }
    if (!output.finish()) throw std::runtime_error(kCopyBrokeOff);
    complete = true;
}

bool probeFolder(const fs::path& folder) {
    const fs::path probe = folder / kProbeName;
    win::UniqueHandle handle(::CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                                           nullptr));
    if (!handle) return false;
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &info, sizeof info)) return false;
    return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void writeHomeMarker(const fs::path& folder) {
    const fs::path marker = folder / kHomeMarkerName;
    // Replaced, never opened: whatever has the name (a link, a read-only leftover) goes first.
    const DWORD attributes = ::GetFileAttributesW(marker.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) removeFile(marker);
    win::UniqueHandle handle(::CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle || !::FlushFileBuffers(handle.get())) throw std::runtime_error(kRenameFailed);
}

bool createDesktopShortcut(const fs::path& launcher, const fs::path& desktop) {
    if (desktop.empty()) return false;
    ComForThisThread com;
    win::ComReference<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put()))) {
        return false;
    }
    const std::wstring folder = launcher.parent_path().wstring();
    if (FAILED(link->SetPath(launcher.c_str())) || FAILED(link->SetWorkingDirectory(folder.c_str())) ||
        FAILED(link->SetIconLocation(launcher.c_str(), 0)) || FAILED(link->SetDescription(L"Nyra Saga Brasil"))) {
        return false;
    }
    win::ComReference<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put()))) return false;
    const fs::path shortcut = desktop / kShortcutFileName;
    return SUCCEEDED(file->Save(shortcut.c_str(), TRUE));
}

fs::path desktopFolder() {
    SystemFolderFacts facts;
    const auto folder = facts.knownFolder(KnownFolder::Desktop);
    return folder ? toPath(*folder) : fs::path();
}

bool startSettledLauncher(const fs::path& launcher, const std::function<void()>& beforeItRuns) {
    std::wstring commandLine = L"\"" + launcher.wstring() + L"\" " + kHomeSettledArgument;
    const std::wstring folder = launcher.parent_path().wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Created suspended: what must happen before it runs (freeing the instance slot it claims)
    // happens only once it is known to exist.
    if (!::CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          folder.c_str(), &startup, &process)) {
        return false;
    }
    win::UniqueHandle thread(process.hThread);
    win::UniqueHandle owner(process.hProcess);
    if (beforeItRuns) beforeItRuns();
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        ::TerminateProcess(owner.get(), 1);
        return false;
    }
    return true;
}

std::wstring gameFolderAccess(const std::wstring& userSid) {
    return L"D:P(A;OICI;FA;;;" + userSid + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
}

bool CreatedFolders::create(const fs::path& folder) {
    std::vector<fs::path> missing;
    for (fs::path current = folder; !current.empty(); current = current.parent_path()) {
        const DWORD attributes = ::GetFileAttributesW(current.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
            break;
        }
        missing.push_back(current);
        if (current.parent_path() == current) break;
    }
    std::reverse(missing.begin(), missing.end());
    if (missing.empty()) return true;
    // Made with their own protected access list, never the one a drive root passes down: that
    // would let every local account replace Launcher.exe or plant a library it loads.
    const win::UserSidText user = win::currentUserSidText();
    if (user.failure != win::UserSidFailure::None) return false;
    const win::UniqueLocalMemory descriptor = win::securityDescriptorFromText(gameFolderAccess(user.text));
    if (!descriptor) return false;
    SECURITY_ATTRIBUTES protectedFolder{sizeof protectedFolder, descriptor.get(), FALSE};
    for (const auto& path : missing) {
        if (::CreateDirectoryW(path.c_str(), &protectedFolder)) {
            folders_.push_back(path);
            // Set again: not every file system keeps a descriptor given at creation.
            if (!::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    descriptor.get())) {
                return false;
            }
        } else if (::GetLastError() != ERROR_ALREADY_EXISTS) {  // made by someone else meanwhile: not ours
            return false;
        }
    }
    return true;
}

void CreatedFolders::undo() noexcept {
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) ::RemoveDirectoryW(it->c_str());  // only while empty
    folders_.clear();
}

fs::path installInto(FolderFacts& facts, const fs::path& chosen, const fs::path& currentFolder,
                     const fs::path& runningExecutable, const fs::path& desktop) {
    const fs::path folder = toPath(normalPath(facts.absolutePath(text(chosen))));
    // The panel checked the folder when it was listed; the disk may have changed since.
    if (std::string reason = folderReason(facts, text(folder)); !reason.empty()) throw std::runtime_error(reason);
    CreatedFolders created;
    if (!created.create(folder) || !probeFolder(folder)) throw std::runtime_error(kProbeFailed);

    if (samePath(text(folder), normalPath(facts.absolutePath(text(currentFolder))))) {
        writeHomeMarker(folder);
        created.keep();
        return {};
    }

    CreatedFiles files;
    const fs::path target = folder / kLauncherFileName;
    if (!pathExists(target)) {
        copyThroughHeal(runningExecutable, target, {}, nullptr);
        files.add(target);
    }
    writeHomeMarker(folder);
    createDesktopShortcut(target, desktop);
    files.keep();
    created.keep();
    return target;
}

SafeFolder safeFolder(FolderFacts& facts, const fs::path& currentFolder) {
    for (const std::u16string& place : safeFolderCandidates(facts, text(currentFolder))) {
        // Nothing is created below a link: the nearest existing folder must already be plain.
        const auto existing = nearestExistingFolder(facts, place);
        if (!existing || isRedirected(facts, *existing)) continue;
        SafeFolder safe{toPath(place), {}};
        if (!safe.created.create(safe.path)) continue;
        if (isRedirected(facts, place) || !probeFolder(safe.path)) continue;  // `created` is undone
        return safe;
    }
    throw std::runtime_error(kNoSafeFolder);
}

Relocated relocate(FolderFacts& facts, const fs::path& currentFolder, const fs::path& runningExecutable,
                   const fs::path& desktop, const ProgressFn& progress, std::atomic<bool>& stop) {
    if (stop.load()) throw InstallCancelled();
    SafeFolder safe = safeFolder(facts, currentFolder);
    const fs::path& target = safe.path;

    std::vector<FolderFile> files;
    {
        WIN32_FIND_DATAW entry{};
        const std::wstring pattern = (currentFolder / L"*").wstring();
        win::UniqueFindHandle search(
            ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
        if (search) {
            do {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
                const std::uint64_t size = (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
                files.push_back({std::u16string(reinterpret_cast<const char16_t*>(entry.cFileName)), size});
            } while (::FindNextFileW(search.get(), &entry));
        }
    }
    FolderFile launcher{text(runningExecutable.filename()), 0};
    WIN32_FILE_ATTRIBUTE_DATA launcherData{};
    if (::GetFileAttributesExW(runningExecutable.c_str(), GetFileExInfoStandard, &launcherData)) {
        launcher.size = (std::uint64_t{launcherData.nFileSizeHigh} << 32) | launcherData.nFileSizeLow;
    }
    const RelocationPlan plan = planRelocation(
        launcher, files, [&](std::u16string_view name) { return pathExists(target / toPath(name)); },
        facts.freeBytes(text(target)));

    const std::string status = "Instalando o jogo numa pasta segura: " + utf16ToUtf8(text(target)) + "...";
    progress(status, 0);
    CreatedFiles created;
    std::uint64_t done = 0;
    for (const PlannedCopy& copy : plan.copies) {
        if (stop.load()) throw InstallCancelled();
        const fs::path source = copy.launcher ? runningExecutable : currentFolder / toPath(copy.sourceName);
        const fs::path destination = target / toPath(copy.targetName);
        const auto report = [&](std::uint64_t copied) {
            const std::uint64_t total = std::max<std::uint64_t>(plan.totalBytes, 1);
            progress(status, static_cast<int>(std::min<std::uint64_t>(99, (done + copied) * 100 / total)));
        };
        try {
            copyThroughHeal(source, destination, report, &stop);
        } catch (const InstallCancelled&) {
            throw;
        } catch (const std::runtime_error& failure) {
            // The game's own files come back through the next verification; the launcher does not.
            if (copy.launcher || std::string_view(failure.what()) == kRenameFailed) throw;
            continue;
        }
        created.add(destination);
        done += copy.size;
    }
    const fs::path newLauncher = target / kLauncherFileName;
    if (isReparsePoint(newLauncher)) throw std::runtime_error(kNewLauncherLinked);
    writeHomeMarker(target);
    const bool shortcut = createDesktopShortcut(newLauncher, desktop);
    progress("Jogo instalado em " + utf16ToUtf8(text(target)) + ". Abrindo o launcher de la...", 100);
    created.keep();
    safe.created.keep();
    return {newLauncher, shortcut};
}

}  // namespace nyra::home
