#include "update/win/launcher_check.h"

#include "content/win/signature.h"
#include "platform/win/cng.h"
#include "platform/win/files.h"
#include "platform/win/handles.h"
#include "update/launcher_description.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

namespace nyra::update {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

std::filesystem::path runningExecutable() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) fail("Caminho do launcher indisponivel.");
    return std::filesystem::path(std::wstring(buffer.data(), length));
}

std::vector<std::uint8_t> readRunningLauncher(const std::filesystem::path& path) {
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) fail("Nao foi possivel validar o launcher atual.");
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        fail("Nao foi possivel conferir o arquivo do launcher. Feche outros programas e tente de novo.");
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > 134217728) fail("Tamanho da atualizacao invalido.");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr) ||
            read == 0) {
            fail("Falha ao ler a atualizacao.");
        }
        done += read;
    }
    return bytes;
}

std::string fileLauncherVersion(const std::filesystem::path& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0 || size > 1048575) fail("A versao do launcher recebido e invalida.");
    std::vector<std::uint8_t> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
        fail("A versao do launcher recebido e invalida.");
    }
    return launcherVersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

}  // namespace

bool LauncherCheck::checkLauncherUpdate(BackendClient&, const std::filesystem::path&, const nlohmann::json& policy,
                                        const ProgressFn&, std::atomic<bool>&) {
    const LauncherDescription description = readLauncherDescription(policy);
    const auto message = signedLauncherMessage(description);
    if (!verifyCatalogSignature(message, description.signature)) {
        fail("A assinatura da atualizacao do launcher e invalida. O jogo nao sera iniciado.");
    }
    const auto executable = runningExecutable();
    if (!win::isPlainFolderChain(executable.parent_path())) {
        fail("Mova o launcher para uma pasta local sem links ou redirecionamentos.");
    }
    const auto bytes = readRunningLauncher(executable);
    if (bytes.size() == description.size && win::sha256Hex(bytes.data(), bytes.size()) == description.sha256) {
        if (fileLauncherVersion(executable) != description.version) {
            fail("A versao do launcher nao corresponde a distribuicao oficial.");
        }
        return false;
    }
    fail("Existe uma versao nova do launcher. Baixe o Launcher.exe atualizado pelo site para continuar.");
}

}  // namespace nyra::update
