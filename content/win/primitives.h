#pragma once
// Win32 side of the shared content primitives: file hashing, AES-256-GCM, whole-file I/O and the
// on-disk half of the package path rules. XPRESS Huffman decompression is the portable
// decompressXpressHuffman of content/xpress_huffman.h; the signature check is content/win/signature.h.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/handles.h"

namespace nyra {

// Running byte count after every hashed block.
using HashProgressFn = std::function<void(std::uint64_t hashedBytes)>;

// SHA-256 of a file as 64 lower-case hex characters, read in 1 MiB blocks into one buffer.
// "Arquivo protegido ausente." when it cannot be opened, "Falha ao conferir arquivo protegido."
// on a read error, "SHA-256 indisponivel." / "SHA-256 invalido." / "Falha de integridade." when
// CNG fails. `progress` may throw to stop early (its exception propagates).
std::string sha256File(const std::filesystem::path& file, const HashProgressFn& progress = {});

// AES-256-GCM decryption without associated data. "Pacote criptografado invalido." for a key that
// is not 32 bytes, a nonce not 12 or a tag not 16; "AES indisponivel.", "AES-GCM indisponivel.",
// "AES invalido.", "Chave invalida." when CNG cannot be set up; "Pacote alterado ou chave
// incorreta." when authentication fails.
std::vector<std::uint8_t> decryptGcm(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> key,
                                     std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> tag);

// The whole file, at most `limit` bytes: "Arquivo do jogo nao encontrado." when it cannot be
// opened (or is a directory or reparse point), "Tamanho de arquivo invalido." above the limit,
// "Falha ao ler arquivo." when reading fails.
std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& file, std::uint64_t limit);

// A file created afresh and written from its first byte. Whatever has its name is removed first
// rather than opened: a leftover may be a link or a second name of another file, and writing
// through it would change that other file. The new file is created only where the name is free,
// without following a reparse point, and refused when it has more than one name.
class FreshFile {
public:
    enum class Sharing {
        None,     // nobody else may open it while it is written
        Readers,  // others may read it meanwhile
    };

    // Empty (false) when the name cannot be freed, or the file cannot be created or is not a
    // plain file with a single name.
    [[nodiscard]] static FreshFile create(const std::filesystem::path& file, Sharing sharing) noexcept;

    FreshFile() = default;
    explicit operator bool() const noexcept { return handle_.valid(); }
    // Writes every byte at the end of what was written; false when the system refuses any of them.
    [[nodiscard]] bool append(std::span<const std::uint8_t> bytes) noexcept;
    // Flushes the file to the disk and closes it; false when either fails. A file that is not
    // finished is closed without the flush.
    [[nodiscard]] bool finish() noexcept;

private:
    explicit FreshFile(win::UniqueHandle handle) noexcept : handle_(std::move(handle)) {}
    win::UniqueHandle handle_;
};

// Creates the file afresh (FreshFile, nobody else sharing it) and writes every byte, flushed:
// "Nao foi possivel preparar o arquivo." when it cannot be created, "Falha ao gravar arquivo."
// when writing, flushing or closing fails.
void writeWholeFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);

// `base` joined with a catalog path after the path rules (content/package.h splitPackagePath);
// every prefix below `base` that exists must not be a reparse point ("Pasta do jogo
// redirecionada.").
std::filesystem::path joinPackagePath(const std::filesystem::path& base, std::string_view relative);

// Moves `from` over `to` with replace-existing and write-through. False on failure.
bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) noexcept;

// Bytes the current user may still write on the volume of `folder`; false when the query fails.
using FreeSpaceFn = std::function<bool(const std::filesystem::path& folder, std::uint64_t& freeBytes)>;
bool freeBytesForCurrentUser(const std::filesystem::path& folder, std::uint64_t& freeBytes);

}  // namespace nyra
