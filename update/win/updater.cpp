#include "update/win/updater.h"

#include "core/json_limits.h"
#include "home/win/launcher_file.h"
#include "platform/win/cng.h"
#include "session/session_texts.h"
#include "session/win/game_process.h"
#include "update/launcher_description.h"
#include "update/updater_arguments.h"
#include "update/win/launcher_swap.h"
#include "update/win/update_files.h"

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace nyra::update {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr DWORD kOldLauncherWaitMs = 60000;

#ifdef NYRA_FLAVOUR_DEVELOPMENT
// Development builds only: a test names a step in NYRA_UPDATER_HOLD to stop the updater there
// and kill it, proving that no moment of the swap leaves the folder without a genuine launcher.
void holdForTest(const char* step, const std::filesystem::path& folder) {
    char wanted[32] = {};
    const DWORD length = ::GetEnvironmentVariableA("NYRA_UPDATER_HOLD", wanted, sizeof wanted);
    if (length == 0 || length >= sizeof wanted) return;
    const std::string name(step);
    if (std::string(wanted, length) != name) return;
    win::UniqueHandle marker(::CreateFileW((folder / L"updater-held.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (marker) {
        const std::string text = std::to_string(::GetCurrentProcessId()) + " " + name;
        DWORD written = 0;
        ::WriteFile(marker.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    marker.reset();
    ::Sleep(INFINITE);
}
#else
void holdForTest(const char*, const std::filesystem::path&) {}
#endif

// The starting launcher is the installed Launcher.exe of this folder: its image path, or, when
// it has already ended and can no longer be asked, the installed file's digest among the known
// origins.
bool originIsInstalledLauncher(HANDLE process, const std::filesystem::path& installed) {
    std::vector<wchar_t> buffer(32768);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (::QueryFullProcessImageNameW(process, 0, buffer.data(), &length)) {
        return sameFilePath(std::filesystem::path(std::wstring(buffer.data(), length)), installed);
    }
    if (::GetLastError() != ERROR_GEN_FAILURE || ::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
    const auto file = openForReading(installed);
    if (!file) return false;
    const auto whole = readWhole(file.get(), kMaxLauncherSize);
    if (whole.status != WholeFile::Status::Read) return false;
    return isKnownLauncherOrigin(win::sha256Hex(whole.bytes.data(), whole.bytes.size()), knownLauncherOrigins());
}

}  // namespace

int applyLauncherUpdate(std::u16string_view commandLine) {
    const UpdaterArguments arguments = parseUpdaterArguments(commandLine);
    // Inherited from the launcher that started us; ours to close once they are known to be.
    const UpdaterHandles handedOver = adoptUpdaterHandles(arguments);
    const win::UniqueHandle& oldLauncher = handedOver.oldLauncher;
    const win::UniqueHandle& confirmation = handedOver.confirmation;

    const auto self = runningLauncherPath();
    if (!hasFileName(self, L"Launcher.exe.update")) fail("O atualizador deve ser iniciado pelo launcher oficial.");
    const auto folder = self.parent_path();
    requirePlainFolderChain(folder);
    const auto installed = folder / L"Launcher.exe";
    if (!originIsInstalledLauncher(oldLauncher.get(), installed)) {
        fail("A origem da atualizacao nao corresponde ao launcher instalado.");
    }

    // Both stay open until the end: nobody may change them between this check and the swap.
    const auto ownFile = openForReading(self);
    const auto descriptionFile = openForReading(folder / L"Launcher.exe.update.json");
    if (!ownFile || !descriptionFile) fail("Os arquivos do atualizador estao indisponiveis.");
    home::requirePlainLauncherFile(ownFile.get(), home::LauncherFileRole::Update);
    home::requirePlainLauncherFile(descriptionFile.get(), home::LauncherFileRole::Update);
    const LauncherDescription description = handedOverDescription(descriptionFile.get(), verifyLauncherSignature);

    const auto own = readWhole(ownFile.get(), description.size);
    if (own.status == WholeFile::Status::TooLarge) fail("Tamanho da atualizacao invalido.");
    if (own.status != WholeFile::Status::Read || !isDescribedBuild(own.bytes, description) ||
        launcherFileVersion(self) != description.version) {
        fail("O atualizador foi alterado. Baixe novamente o launcher oficial.");
    }

    holdForTest("before-confirmation", folder);
    if (!::SetEvent(confirmation.get())) fail("Nao foi possivel confirmar a verificacao do atualizador.");
    holdForTest("after-confirmation", folder);

    if (::WaitForSingleObject(oldLauncher.get(), kOldLauncherWaitMs) != WAIT_OBJECT_0) {
        fail("Feche o launcher anterior e tente novamente.");
    }
    if (isGameRunning()) fail("Feche o jogo antes de atualizar o launcher.");
    {
        // Fails while any launcher still runs from the file.
        win::UniqueHandle current(::CreateFileW(installed.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!current) fail("Feche todas as janelas do launcher e abra-o novamente.");
        home::requirePlainLauncherFile(current.get(), home::LauncherFileRole::Installed);
    }

    // Held until the new launcher has started: what it runs is what was checked.
    const win::UniqueHandle newLauncher =
        swapInLauncher(folder, own.bytes, description, {replaceFileWithBackup, [&](const char* step) {
                                                             holdForTest(step, folder);
                                                         }});
    startProcess(installed, {}, folder, {});
    return 0;
}

}  // namespace nyra::update
