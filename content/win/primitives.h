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

#include "platform/win/files.h"
#include "platform/win/handles.h"

namespace nyra {

// The one link-safe writer and the replace step live with the other file helpers.
using win::FreshFile;
using win::replaceFile;

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

// Creates the file afresh (FreshFile, nobody else sharing it) and writes every byte, flushed:
// "Nao foi possivel preparar o arquivo." when it cannot be created, "Falha ao gravar arquivo."
// when writing, flushing or closing fails.
void writeWholeFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);

// `base` joined with a catalog path after the path rules (content/package.h splitPackagePath);
// every prefix below `base` that exists must not be a reparse point ("Pasta do jogo
// redirecionada.").
std::filesystem::path joinPackagePath(const std::filesystem::path& base, std::string_view relative);

// Bytes the current user may still write on the volume of `folder`; false when the query fails.
using FreeSpaceFn = std::function<bool(const std::filesystem::path& folder, std::uint64_t& freeBytes)>;
bool freeBytesForCurrentUser(const std::filesystem::path& folder, std::uint64_t& freeBytes);

}  // namespace nyra
