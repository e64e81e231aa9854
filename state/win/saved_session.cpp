#include "state/win/saved_session.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "core/text.h"
#include "platform/win/data_protection.h"
#include "platform/win/handles.h"
#include "state/saved_session.h"
#include "state/win/private_folder.h"

namespace nyra {
namespace {

constexpr wchar_t kDescription[] = L"Nyra Saga Brasil";

std::filesystem::path identityFolder(const std::filesystem::path& launcherFolder) {
    return launcherFolder / L".identity";
}

std::filesystem::path sessionFile(const std::filesystem::path& launcherFolder) {
    return identityFolder(launcherFolder) / L"session.dat";
}

std::filesystem::path pendingSessionFile(const std::filesystem::path& launcherFolder) {
    return identityFolder(launcherFolder) / L"session.dat.new";
}

void writeAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(bytes.size());  // at most kSavedSessionLimit
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0 || written > chunk) {
            throw std::runtime_error("Nao foi possivel salvar a sessao.");
        }
        bytes = bytes.subspan(written);
    }
}

// Writes the protected bytes to a fresh "session.dat.new" and moves it over "session.dat". The
// pending name is created new (never opened through an existing link or file); whatever this
// call created is removed again when a later step fails.
void replaceSessionFile(const std::filesystem::path& launcherFolder, std::span<const std::uint8_t> content) {
    const auto target = sessionFile(launcherFolder);
    const auto pending = pendingSessionFile(launcherFolder);
    ::DeleteFileW(pending.c_str());  // a leftover of an interrupted save
    win::UniqueHandle file(::CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("Nao foi possivel salvar a sessao.");
    try {
        writeAll(file.get(), content);
        if (!::FlushFileBuffers(file.get())) throw std::runtime_error("Nao foi possivel salvar a sessao.");
        if (!::CloseHandle(file.release())) throw std::runtime_error("Nao foi possivel salvar a sessao.");
        if (!::MoveFileExW(pending.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            throw std::runtime_error("Nao foi possivel salvar a sessao.");
        }
    } catch (...) {
        file.reset();
        ::DeleteFileW(pending.c_str());
        throw;
    }
}

// Reads the whole saved session file without following links: a reparse point, a folder or a
// file with a second name is refused.
std::string readSessionFile(const std::filesystem::path& path) {
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) throw std::runtime_error("Arquivo do jogo nao encontrado.");
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) throw std::runtime_error("Falha ao ler arquivo.");
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks > 1) {
        throw std::runtime_error("Sessao redirecionada.");
    }
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kSavedSessionLimit) {
        throw std::runtime_error("Tamanho de arquivo invalido.");
    }
    // One byte more than the limit shows a file that grew after the size was taken.
    std::string content(kSavedSessionLimit + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), content.data() + filled, static_cast<DWORD>(content.size() - filled), &read,
                        nullptr)) {
            throw std::runtime_error("Falha ao ler arquivo.");
        }
        if (read == 0) break;
        filled += read;
        if (filled > kSavedSessionLimit) throw std::runtime_error("Tamanho de arquivo invalido.");
    }
    content.resize(filled);
    return content;
}

}  // namespace

void saveSession(const std::filesystem::path& launcherFolder, const std::string& sessionCookie) {
    if (sessionCookie.empty()) throw std::runtime_error("Sessao indisponivel para salvar.");
    protectPrivateFolder(identityFolder(launcherFolder));

    std::string document = composeSavedSession(sessionCookie);
    // A document or file that loadSavedSession would refuse is never stored.
    if (document.size() >= kSavedSessionLimit) {
        wipe(document);
        throw std::runtime_error("Nao foi possivel salvar a sessao.");
    }
    const win::DataProtectionOutput protectedBlob = win::protectForCurrentUser(win::bytesOf(document), std::nullopt, kDescription);
    wipe(document);
    if (!protectedBlob) throw std::runtime_error("Nao foi possivel proteger a sessao neste Windows.");
    if (protectedBlob.bytes().size() > kSavedSessionLimit) throw std::runtime_error("Nao foi possivel salvar a sessao.");
    replaceSessionFile(launcherFolder, protectedBlob.bytes());
}

std::string loadSavedSession(const std::filesystem::path& launcherFolder) {
    const auto path = sessionFile(launcherFolder);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return {};
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw std::runtime_error("Sessao redirecionada.");
    }

    std::string content = readSessionFile(path);
    const win::DataProtectionOutput plain = win::unprotectForCurrentUser(win::bytesOf(content), std::nullopt);
    if (!plain) throw std::runtime_error("Sessao pertence a outro Windows.");
    std::string text = plain.text();
    return parseSavedSession(text);
}

void forgetSavedSession(const std::filesystem::path& launcherFolder) noexcept {
    try {
        ::DeleteFileW(sessionFile(launcherFolder).c_str());
        ::DeleteFileW(pendingSessionFile(launcherFolder).c_str());
    } catch (...) {
        // Building a path can only fail for lack of memory; there is nothing to delete then.
    }
}

}  // namespace nyra
