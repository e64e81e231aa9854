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
    std::vector<std::uint8_t> bytes;
    switch (win::readPlainFile(file, limit, bytes)) {
    case win::ReadOutcome::Read:
        return bytes;
    case win::ReadOutcome::Missing:
    case win::ReadOutcome::NotPlain:
        fail("Arquivo do jogo nao encontrado.");
    case win::ReadOutcome::TooLarge:
        fail("Tamanho de arquivo invalido.");
    case win::ReadOutcome::Failed:
        break;
    }
    fail("Falha ao ler arquivo.");
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

bool freeBytesForCurrentUser(const std::filesystem::path& folder, std::uint64_t& freeBytes) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
    freeBytes = available.QuadPart;
    return true;
}

}  // namespace nyra
