#include "content/win/primitives.h"

#include "content/package.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <limits>
#include <stdexcept>

namespace nyra {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr DWORD kBlockSize = 1048576;

bool isDirectoryOrReparse(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) return true;
    return (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

}  // namespace

std::string sha256File(const std::filesystem::path& file, const HashProgressFn& progress) {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) fail("Arquivo protegido ausente.");
    win::Sha256Stream hash;
    std::vector<std::uint8_t> buffer(kBlockSize);
    std::uint64_t done = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(handle.get(), buffer.data(), kBlockSize, &read, nullptr)) {
            fail("Falha ao conferir arquivo protegido.");
        }
        if (read == 0) break;
        hash.update(buffer.data(), read);
        done += read;
        if (progress) progress(done);
    }
    return hash.finishHex();
}

std::vector<std::uint8_t> decryptGcm(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> key,
                                     std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> tag) {
    if (key.size() != 32 || nonce.size() != 12 || tag.size() != 16) fail("Pacote criptografado invalido.");
    if (ciphertext.size() > std::numeric_limits<ULONG>::max()) fail("Pacote criptografado invalido.");
    win::UniqueAlgorithmProvider aes;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(aes.put(), BCRYPT_AES_ALGORITHM, nullptr, 0))) {
        fail("AES indisponivel.");
    }
    if (!BCRYPT_SUCCESS(::BCryptSetProperty(aes.get(), BCRYPT_CHAINING_MODE,
                                            reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                            sizeof(BCRYPT_CHAIN_MODE_GCM), 0))) {
        fail("AES-GCM indisponivel.");
    }
    DWORD objectLength = 0;
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(::BCryptGetProperty(aes.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                            sizeof objectLength, &written, 0)) ||
        objectLength == 0) {
        fail("AES invalido.");
    }
    // The key object holds the expanded key: declared before the key handle so that it outlives it,
    // and wiped when done.
    std::vector<std::uint8_t> keyObject(objectLength);
    struct Wiper {
        std::vector<std::uint8_t>& bytes;
        ~Wiper() { wipeBytes(bytes); }
    } wiper{keyObject};
    win::UniqueKeyHandle keyHandle;
    if (!BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(aes.get(), keyHandle.put(), keyObject.data(), objectLength,
                                                     const_cast<PUCHAR>(key.data()), 32, 0))) {
        fail("Chave invalida.");
    }
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce.data());
    info.cbNonce = 12;
    info.pbTag = const_cast<PUCHAR>(tag.data());
    info.cbTag = 16;
    std::vector<std::uint8_t> plain(ciphertext.size());
    ULONG produced = 0;
    const NTSTATUS status = ::BCryptDecrypt(keyHandle.get(), const_cast<PUCHAR>(ciphertext.data()),
                                            static_cast<ULONG>(ciphertext.size()), &info, nullptr, 0, plain.data(),
                                            static_cast<ULONG>(plain.size()), &produced, 0);
    if (!BCRYPT_SUCCESS(status) || produced != plain.size()) {
        wipeBytes(plain);
        fail("Pacote alterado ou chave incorreta.");
    }
    return plain;
}

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& file, std::uint64_t limit) {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle || isDirectoryOrReparse(handle.get())) fail("Arquivo do jogo nao encontrado.");
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size) || size.QuadPart < 0) fail("Falha ao ler arquivo.");
    if (static_cast<std::uint64_t>(size.QuadPart) > limit) fail("Tamanho de arquivo invalido.");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kBlockSize));
        if (!::ReadFile(handle.get(), bytes.data() + done, want, &read, nullptr) || read == 0) {
            fail("Falha ao ler arquivo.");
        }
        done += read;
    }
    // A file that grew after the size query is not the file that was measured.
    std::uint8_t extra = 0;
    DWORD read = 0;
    if (!::ReadFile(handle.get(), &extra, 1, &read, nullptr) || read != 0) fail("Tamanho de arquivo invalido.");
    return bytes;
}

namespace {

// Frees the name for a new file: a plain file or link there is removed (its other names, or what
// it points to, stay untouched); a folder is left alone, so the creation that follows fails.
void removeLeftover(const std::filesystem::path& file) noexcept {
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
    if (::DeleteFileW(file.c_str())) return;
    // A read-only leftover of an interrupted run.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        ::SetFileAttributesW(file.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        ::DeleteFileW(file.c_str());
    }
}

}  // namespace

FreshFile FreshFile::create(const std::filesystem::path& file, Sharing sharing) noexcept {
    removeLeftover(file);
    const DWORD shareMode = sharing == Sharing::Readers ? FILE_SHARE_READ : 0;
    win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return {};
    // Created a moment ago, yet someone may have given it another name or swapped it meanwhile.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nNumberOfLinks != 1) {
        return {};
    }
    return FreshFile(std::move(handle));
}

bool FreshFile::append(std::span<const std::uint8_t> bytes) noexcept {
    if (!handle_) return false;
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kBlockSize));
        if (!::WriteFile(handle_.get(), bytes.data(), want, &written, nullptr) || written != want) return false;
        bytes = bytes.subspan(written);
    }
    return true;
}

bool FreshFile::finish() noexcept {
    if (!handle_) return false;
    const bool flushed = ::FlushFileBuffers(handle_.get()) != 0;
    return ::CloseHandle(handle_.release()) != 0 && flushed;
}

void writeWholeFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
    FreshFile written = FreshFile::create(file, FreshFile::Sharing::None);
    if (!written) fail("Nao foi possivel preparar o arquivo.");
    if (!written.append(bytes) || !written.finish()) fail("Falha ao gravar arquivo.");
}

std::filesystem::path joinPackagePath(const std::filesystem::path& base, std::string_view relative) {
    const auto components = splitPackagePath(relative);
    std::filesystem::path current = base;
    bool exists = true;
    for (const auto& component : components) {
        current /= std::wstring(component.begin(), component.end());
        if (!exists) continue;  // nothing below a missing folder can exist
        // Asked of the entry itself (not what it points to).
        win::UniqueHandle entry(::CreateFileW(current.c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
        if (!entry) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                exists = false;
                continue;
            }
            // Something is there that cannot even be inspected.
            fail("Pasta do jogo redirecionada.");
        }
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!::GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            fail("Pasta do jogo redirecionada.");
        }
    }
    return current;
}

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) noexcept {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool freeBytesForCurrentUser(const std::filesystem::path& folder, std::uint64_t& freeBytes) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
    freeBytes = available.QuadPart;
    return true;
}

}  // namespace nyra
