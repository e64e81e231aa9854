#include "state/win/protected_diagnostics.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstdint>
#include <stdexcept>

#include "core/json_limits.h"
#include "core/text.h"
#include "platform/win/data_protection.h"
#include "platform/win/files.h"
#include "platform/win/handles.h"
#include "platform/win/user_security.h"

namespace nyra {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kDescription[] = L"Nyra protected diagnostics";

struct TextWiper {
    std::string& text;
    ~TextWiper() { wipe(text); }
};

void requirePlainFolder(const fs::path& folder) {
    if (!win::isPlainFolderChain(folder)) {
        throw std::runtime_error("Pasta de diagnosticos redirecionada ou indisponivel.");
    }
}

fs::path fileIn(const fs::path& folder, std::string_view name) { return folder / fs::path(std::string(name)); }

// The whole file behind a handle opened without following reparse points, once the facts the
// handle reports pass the rule for its role.
std::string readThroughHandle(HANDLE file, DiagnosticFileRole role) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) throw std::runtime_error("Nao foi possivel ler o diagnostico.");
    DiagnosticFileFacts facts;
    facts.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.links = info.nNumberOfLinks;
    facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    checkDiagnosticFile(facts, role);

    std::string content(static_cast<std::size_t>(facts.size), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        DWORD read = 0;
        if (!::ReadFile(file, content.data() + filled, static_cast<DWORD>(content.size() - filled), &read, nullptr) ||
            read == 0) {
            wipe(content);
            throw std::runtime_error("Nao foi possivel ler o diagnostico.");
        }
        filled += read;
    }
    return content;
}

// 32 lower-case hexadecimal characters from 16 bytes of the system-preferred generator.
std::wstring randomSuffix() {
    std::array<std::uint8_t, 16> bytes{};
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        throw std::runtime_error("Gerador de seguranca indisponivel.");
    }
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

// Full access for SYSTEM and the current user, nothing inherited.
win::UniqueLocalMemory diagnosticFileDescriptor() {
    const win::UserSidText sid = win::currentUserSidText();
    switch (sid.failure) {
        case win::UserSidFailure::None: break;
        case win::UserSidFailure::Token:
        case win::UserSidFailure::UserInformation: throw std::runtime_error("Identidade do Windows indisponivel.");
        case win::UserSidFailure::TextForm: throw std::runtime_error("Identidade do Windows invalida.");
    }
    win::UniqueLocalMemory descriptor = win::securityDescriptorFromText(L"D:P(A;;FA;;;SY)(A;;FA;;;" + sid.text + L")");
    if (!descriptor) throw std::runtime_error("Permissoes do diagnostico indisponiveis.");
    return descriptor;
}

void writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(bytes.size());
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0 || written > chunk) {
            throw std::runtime_error("Nao foi possivel salvar o diagnostico protegido.");
        }
        bytes.remove_prefix(written);
    }
}

// The container goes to a fresh temporary file beside the target, which is then moved over it.
void replaceDiagnosticFile(const fs::path& target, std::string_view container) {
    const DWORD existing = ::GetFileAttributesW(target.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES &&
        (existing & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        throw std::runtime_error("Destino do diagnostico redirecionado.");
    }
    const fs::path temporary = target.wstring() + L"." + randomSuffix() + L".tmp";
    const win::UniqueLocalMemory descriptor = diagnosticFileDescriptor();
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};

    win::UniqueHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file) throw std::runtime_error("Nao foi possivel criar o diagnostico protegido.");
    try {
        writeAll(file.get(), container);
        if (!::FlushFileBuffers(file.get())) throw std::runtime_error("Nao foi possivel salvar o diagnostico protegido.");
        if (!::CloseHandle(file.release())) throw std::runtime_error("Nao foi possivel salvar o diagnostico protegido.");
        if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            throw std::runtime_error("Nao foi possivel concluir o diagnostico protegido.");
        }
    } catch (...) {
        file.reset();
        ::DeleteFileW(temporary.c_str());
        throw;
    }
}

// Converts one legacy file; false when there is none.
bool migrateLegacyFile(const fs::path& folder, DiagnosticKind kind) {
    const fs::path legacy = fileIn(folder, legacyDiagnosticFileName(kind));
    const DWORD attributes = ::GetFileAttributesW(legacy.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        throw std::runtime_error("Nao foi possivel consultar o diagnostico antigo.");
    }
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        throw std::runtime_error("Diagnostico antigo redirecionado.");
    }
    // Held open with delete access until the end, so the file removed is the file converted.
    win::UniqueHandle file(::CreateFileW(legacy.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) throw std::runtime_error("Feche o launcher antigo para proteger os diagnosticos.");

    std::string bytes = readThroughHandle(file.get(), DiagnosticFileRole::Legacy);
    const TextWiper bytesWiper{bytes};
    // The record is sealed, compared and copied, all recursively: bounded like every outside text.
    const nlohmann::json record = readJsonText(bytes);
    if (record.is_discarded()) throw std::runtime_error("Diagnostico antigo invalido.");

    writeDiagnostic(folder, kind, record);
    if (readDiagnostic(folder, kind) != record) {
        throw std::runtime_error("Falha ao conferir a migracao dos diagnosticos.");
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
        throw std::runtime_error("Nao foi possivel remover o diagnostico antigo apos cifrar.");
    }
    return true;
}

}  // namespace

std::string DpapiDiagnosticProtector::protect(std::string_view plain, std::string_view binding) {
    const win::DataProtectionOutput output = win::protectForCurrentUser(win::bytesOf(plain), binding, kDescription);
    if (!output) throw std::runtime_error("Nao foi possivel cifrar o diagnostico neste Windows.");
    return output.text();
}

std::string DpapiDiagnosticProtector::unprotect(std::string_view blob, std::string_view binding) {
    const win::DataProtectionOutput output = win::unprotectForCurrentUser(win::bytesOf(blob), binding);
    if (!output) throw std::runtime_error("Diagnostico alterado ou pertencente a outra conta do Windows.");
    return output.text();
}

void writeDiagnostic(const fs::path& folder, DiagnosticKind kind, const nlohmann::json& record) {
    requirePlainFolder(folder);
    DpapiDiagnosticProtector protector;
    std::string container = sealConfirmedDiagnostic(protector, kind, diagnosticOrigin(), record);
    const TextWiper containerWiper{container};
    replaceDiagnosticFile(fileIn(folder, currentDiagnosticFileName(kind)), container);
}

nlohmann::json readDiagnostic(const fs::path& folder, DiagnosticKind kind) {
    requirePlainFolder(folder);
    const fs::path target = fileIn(folder, currentDiagnosticFileName(kind));
    win::UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) throw std::runtime_error("Diagnostico protegido indisponivel.");
    std::string container = readThroughHandle(file.get(), DiagnosticFileRole::Current);
    const TextWiper containerWiper{container};
    file.reset();
    DpapiDiagnosticProtector protector;
    return openDiagnostic(protector, kind, diagnosticOrigin(), container);
}

unsigned migrateLegacyDiagnostics(const fs::path& folder) {
    requirePlainFolder(folder);
    unsigned converted = 0;
    for (const DiagnosticKind kind : {DiagnosticKind::Launch, DiagnosticKind::Verification}) {
        if (migrateLegacyFile(folder, kind)) ++converted;
    }
    return converted;
}

bool recordDiagnostic(const fs::path& folder, DiagnosticKind kind, const nlohmann::json& record) noexcept {
    try {
        writeDiagnostic(folder, kind, record);
        return true;
    } catch (...) {
        return false;
    }
}

bool recordVerificationSummary(const fs::path& launcherFolder, const nlohmann::json& summary) noexcept {
    return recordDiagnostic(launcherFolder, DiagnosticKind::Verification, summary);
}

}  // namespace nyra
