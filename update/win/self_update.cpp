#include "update/win/self_update.h"

#include "home/win/launcher_file.h"
#include "net/http.h"
#include "update/launcher_description.h"
#include "update/updater_arguments.h"
#include "update/win/update_files.h"

#include <array>
#include <stdexcept>
#include <thread>

namespace nyra::update {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr DWORD kConfirmationWaitMs = 30000;
constexpr DWORD kWaitSliceMs = 250;

// A finished update leaves its download, description and swap copy beside the launcher; the
// launcher they installed removes them once it knows it is current. The updater that started it
// may still be ending, and its image cannot be deleted until it has.
void removeUpdateLeftovers(const std::filesystem::path& folder, const std::atomic<bool>& cancel) {
    constexpr std::array<const wchar_t*, 3> kNames{L"Launcher.exe.update", L"Launcher.exe.update.json",
                                                   L"Launcher.exe.ready"};
    for (int attempt = 0; attempt < 40 && !cancel.load(); ++attempt) {
        bool remaining = false;
        for (const auto* name : kNames) {
            const auto file = folder / name;
            const DWORD attributes = ::GetFileAttributesW(file.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
            ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileW(file.c_str())) remaining = true;
        }
        if (!remaining) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

LauncherSelfUpdate::LauncherSelfUpdate(std::function<bool()> gameRunning, std::filesystem::path runningLauncher,
                                       WrittenHook afterWrite, WrittenHook afterHold)
    : gameRunning_(std::move(gameRunning)),
      runningLauncher_(std::move(runningLauncher)),
      afterWrite_(std::move(afterWrite)),
      afterHold_(std::move(afterHold)) {}

bool LauncherSelfUpdate::checkLauncherUpdate(BackendClient& client, const std::filesystem::path&,
                                             const nlohmann::json& policy, const ProgressFn& progress,
                                             std::atomic<bool>& cancel) {
    const LauncherDescription description = publishedLauncherUpdate(policy, verifyLauncherSignature);

    const auto launcher = runningLauncher_.empty() ? runningLauncherPath() : runningLauncher_;
    const auto folder = launcher.parent_path();
    requirePlainFolderChain(folder);
    std::vector<std::uint8_t> running;
    {
        const auto file = openForReading(launcher);
        if (!file) fail("Nao foi possivel validar o launcher atual.");
        home::requirePlainLauncherFile(file.get(), home::LauncherFileRole::Installed);
        auto whole = readWhole(file.get(), kMaxLauncherSize);
        if (whole.status == WholeFile::Status::TooLarge) fail("Tamanho da atualizacao invalido.");
        if (whole.status != WholeFile::Status::Read) fail("Falha ao ler a atualizacao.");
        running = std::move(whole.bytes);
    }
    if (isDescribedBuild(running, description)) {
        if (launcherFileVersion(launcher) != description.version) {
            fail("A versao do launcher nao corresponde a distribuicao oficial.");
        }
        removeUpdateLeftovers(folder, cancel);
        return false;
    }

    if (!hasFileName(launcher, L"Launcher.exe")) fail("Feche e renomeie este arquivo para Launcher.exe antes de atualizar.");
    if (gameRunning_()) fail("Feche o jogo para atualizar o launcher com seguranca.");
    if (cancel.load()) fail("Atualizacao cancelada.");
    if (progress) progress("Nova versao do launcher: " + description.version + ". Baixando atualizacao oficial...", 0);

    auto* http = dynamic_cast<Http*>(&client);
    if (http == nullptr) fail("Nao foi possivel baixar a atualizacao do launcher.");
    const std::vector<std::uint8_t> received = http->exchange("/api/download/launcher", "", "", description.size);
    if (cancel.load()) fail("Atualizacao cancelada.");
    if (!isDescribedBuild(received, description)) {
        fail("O launcher recebido nao corresponde a atualizacao assinada. Tente novamente.");
    }

    const auto updateFile = folder / L"Launcher.exe.update";
    writeUpdateFile(updateFile, received);
    if (launcherFileVersion(updateFile) != description.version) {
        fail("A versao recebida nao corresponde a atualizacao oficial.");
    }
    const std::string descriptionText = policy.at("launcher_update").dump();
    writeUpdateFile(folder / L"Launcher.exe.update.json",
                    std::span(reinterpret_cast<const std::uint8_t*>(descriptionText.data()), descriptionText.size()));

    if (afterWrite_) afterWrite_(updateFile);
    win::UniqueHandle held = openForReading(updateFile);
    if (!held) fail("A atualizacao foi alterada antes de iniciar.");
    home::requirePlainLauncherFile(held.get(), home::LauncherFileRole::Update);
    const auto written = readWhole(held.get(), description.size);
    if (written.status != WholeFile::Status::Read || !isDescribedBuild(written.bytes, description)) {
        fail("A atualizacao foi alterada antes de iniciar.");
    }
    if (afterHold_) afterHold_(updateFile);

    win::UniqueHandle self;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), self.put(),
                           SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
        fail("Nao foi possivel proteger a troca do launcher.");
    }
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    win::UniqueHandle confirmed(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    if (!confirmed) fail("Nao foi possivel sincronizar o atualizador.");

    if (progress) progress("Launcher atualizado. Reiniciando com seguranca...", 100);
    const UpdaterArguments arguments{::GetCurrentProcessId(),
                                     static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self.get())),
                                     static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(confirmed.get()))};
    const std::array<HANDLE, 2> inherited{confirmed.get(), self.get()};
    startProcess(updateFile, updaterArgumentText(arguments), folder, inherited);

    // The player may close the window meanwhile; the wait then ends at once.
    for (DWORD waited = 0; waited < kConfirmationWaitMs; waited += kWaitSliceMs) {
        if (::WaitForSingleObject(confirmed.get(), kWaitSliceMs) == WAIT_OBJECT_0) {
            heldUpdate_ = std::move(held);
            return true;
        }
        if (cancel.load()) fail("Atualizacao cancelada.");
    }
    fail("O atualizador nao confirmou a verificacao. Reabra o launcher.");
}

}  // namespace nyra::update
