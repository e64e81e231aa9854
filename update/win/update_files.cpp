#include "update/win/update_files.h"

#include "content/win/signature.h"
#include "home/win/launcher_file.h"
#include "platform/win/cng.h"
#include "platform/win/files.h"
#include "update/launcher_description.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace nyra::update {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr DWORD kBlock = 1048576;  // per read or write call

std::wstring fullPath(const std::filesystem::path& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path.wstring();
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path.wstring();
    full.resize(length);
    return full;
}

}  // namespace

void requirePlainFolderChain(const std::filesystem::path& folder) {
    if (!win::isPlainFolderChain(folder)) fail(kFolderNotPlain);
}

std::filesystem::path runningLauncherPath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) fail("Caminho do launcher indisponivel.");
    return std::filesystem::path(std::wstring(buffer.data(), length));
}

win::UniqueHandle openForReading(const std::filesystem::path& file) {
    return win::UniqueHandle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

WholeFile readWhole(HANDLE file, std::uint64_t limit) {
    WholeFile result;
    LARGE_INTEGER size{};
    const LARGE_INTEGER start{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart < 0 || !::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return result;
    }
    if (static_cast<std::uint64_t>(size.QuadPart) > limit) {
        result.status = WholeFile::Status::TooLarge;
        return result;
    }
    result.bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < result.bytes.size()) {
        const auto want = static_cast<DWORD>(std::min<std::size_t>(result.bytes.size() - done, kBlock));
        DWORD read = 0;
        if (!::ReadFile(file, result.bytes.data() + done, want, &read, nullptr) || read == 0) {
            result.bytes.clear();
            return result;
        }
        done += read;
    }
    // One byte more than the size said means the file grew while it was read.
    std::uint8_t extra = 0;
    DWORD read = 0;
    if (!::ReadFile(file, &extra, 1, &read, nullptr) || read != 0) {
        result.bytes.clear();
        result.status = read != 0 ? WholeFile::Status::TooLarge : WholeFile::Status::Failed;
        return result;
    }
    result.status = WholeFile::Status::Read;
    return result;
}

std::string launcherFileVersion(const std::filesystem::path& file) {
    constexpr const char* kInvalid = "A versao do launcher recebido e invalida.";
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0 || size > 1048575) fail(kInvalid);
    std::vector<std::uint8_t> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
        fail(kInvalid);
    }
    return launcherVersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

void writeUpdateFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
    requirePlainFolderChain(file.parent_path());
    const DWORD existing = ::GetFileAttributesW(file.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        // A link is deleted itself, never what it points at. A failure shows in the exclusive create.
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(file.c_str());
    }
    win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) fail("Feche os outros launchers e tente atualizar novamente.");
    // From here the file is ours: a write that cannot be finished leaves nothing half-written.
    const auto discard = [&](const char* message) {
        handle.reset();
        ::DeleteFileW(file.c_str());
        fail(message);
    };
    try {
        home::requirePlainLauncherFile(handle.get(), home::LauncherFileRole::Update);
    } catch (const std::exception&) {
        handle.reset();  // not ours to delete: something else took the name
        throw;
    }
    const LARGE_INTEGER start{};
    if (!::SetFilePointerEx(handle.get(), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle.get())) {
        discard("Nao foi possivel preparar a atualizacao.");
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kBlock));
        DWORD written = 0;
        if (!::WriteFile(handle.get(), bytes.data() + done, want, &written, nullptr) || written == 0) {
            discard("Falha ao gravar a atualizacao.");
        }
        done += written;
    }
    if (!::FlushFileBuffers(handle.get())) discard("Falha ao concluir a atualizacao.");
}

void startProcess(const std::filesystem::path& executable, std::u16string_view arguments,
                  const std::filesystem::path& workingFolder, std::span<const HANDLE> inherit) {
    std::wstring commandLine = L"\"" + executable.wstring() + L"\"";
    if (!arguments.empty()) {
        commandLine += L' ';
        commandLine.append(reinterpret_cast<const wchar_t*>(arguments.data()), arguments.size());
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    std::vector<HANDLE> handles(inherit.begin(), inherit.end());
    std::optional<win::ProcThreadAttributeList> attributes;
    DWORD flags = 0;
    if (!handles.empty()) {
        attributes.emplace(1);
        if (!*attributes) fail("Nao foi possivel preparar o atualizador.");
        if (!::UpdateProcThreadAttribute(attributes->get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                         handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
            fail("Nao foi possivel proteger o atualizador.");
        }
        startup.lpAttributeList = attributes->get();
        startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.StartupInfo.cb = sizeof(STARTUPINFOW);
    }
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, handles.empty() ? FALSE : TRUE,
                          flags, nullptr, workingFolder.c_str(), &startup.StartupInfo, &started)) {
        fail("Nao foi possivel iniciar o atualizador. Reabra o launcher.");
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
}

bool sameFilePath(const std::filesystem::path& a, const std::filesystem::path& b) {
    const std::wstring left = fullPath(a);
    const std::wstring right = fullPath(b);
    return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                  static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

bool hasFileName(const std::filesystem::path& file, const wchar_t* name) {
    const std::wstring own = file.filename().wstring();
    return ::CompareStringOrdinal(own.c_str(), static_cast<int>(own.size()), name, -1, TRUE) == CSTR_EQUAL;
}

bool isDescribedBuild(std::span<const std::uint8_t> bytes, const LauncherDescription& description) {
    return bytes.size() == description.size && win::sha256Hex(bytes.data(), bytes.size()) == description.sha256;
}

bool verifyLauncherSignature(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature) {
    return verifyCatalogSignature(message, signature);
}

}  // namespace nyra::update
