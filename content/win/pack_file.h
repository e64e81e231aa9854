#pragma once
// VerifiedPackFile: one open handle on a pack that keeps other programs from writing, renaming
// or deleting it while the preparation result lives; its NTFS identity and change-journal stamp.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/win/handles.h"

namespace nyra {

class PackJournalSource;

class VerifiedPackFile {
public:
    enum class Share {
        ReadOnly,       // installed packs: others may only read
        ReadAndDelete,  // others may also rename or delete it
    };

    // Opens without following reparse points. "Feche programas que estejam alterando os pacotes
    // do jogo e tente novamente." when the share mode cannot be had; "Pacote do jogo invalido ou
    // redirecionado." for a directory, a reparse point or a file with more than one hard link.
    static VerifiedPackFile open(const std::filesystem::path& file, Share share);

    VerifiedPackFile() = default;
    VerifiedPackFile(VerifiedPackFile&&) noexcept = default;
    VerifiedPackFile& operator=(VerifiedPackFile&&) noexcept = default;

    // End of file in bytes; "Tamanho do pacote indisponivel.".
    std::uint64_t size() const;
    // {volume, file_id, creation, write, change, size}; "Identidade do pacote indisponivel.".
    nlohmann::json identity() const;
    // The identity plus `usn` (and `journal_id` when the volume's change journal vouches for it),
    // as `source` reports them; null when there is no usable change record or no identity.
    // Never throws.
    nlohmann::json journalIdentity(PackJournalSource& source) const noexcept;
    // SHA-256 from the start of the file in 1 MiB blocks: "Nao foi possivel conferir o pacote."
    // when it cannot seek, "Falha ao conferir o pacote." on a read error. `afterBlock` gets the
    // running byte count and may throw (cancellation).
    std::string sha256(const std::function<void(std::uint64_t)>& afterBlock) const;

    HANDLE handle() const noexcept { return file_.get(); }
    explicit operator bool() const noexcept { return file_.valid(); }
    void close() noexcept { file_.reset(); }

private:
    explicit VerifiedPackFile(win::UniqueHandle file) : file_(std::move(file)) {}
    win::UniqueHandle file_;
};

// Exactly out.size() bytes from `offset` of an open file, whatever its file pointer; false on a
// read error or the end of the file.
[[nodiscard]] bool readFileAt(HANDLE file, std::uint64_t offset, std::span<std::uint8_t> out) noexcept;

// The pack locks of one preparation result: pack path -> its open handle.
struct VerifiedPackLocks {
    std::map<std::string, VerifiedPackFile> files;
};

}  // namespace nyra

namespace nyra {

// The ".download" file a pack is received into. One handle reads and writes it and lets others
// only read (or rename, so that it can be moved over the pack), from its creation or the
// re-opening of a kept one until it is installed: what was hashed while it was written is what the
// file holds when it is moved.
class ReceivingPackFile {
public:
    // A new, empty file: whatever has the name (a leftover, a link, a second name of another file)
    // is removed first, never written through. Empty (false) when it cannot be created or is not a
    // plain file with a single name.
    static ReceivingPackFile create(const std::filesystem::path& file) noexcept;
    // The file an earlier attempt left, when it is a plain file with a single name; empty otherwise.
    static ReceivingPackFile openKept(const std::filesystem::path& file) noexcept;

    ReceivingPackFile() = default;
    ReceivingPackFile(ReceivingPackFile&&) noexcept = default;
    ReceivingPackFile& operator=(ReceivingPackFile&&) noexcept = default;
    explicit operator bool() const noexcept { return file_.valid(); }

    // End of file; false when it cannot be read.
    [[nodiscard]] bool size(std::uint64_t& bytes) const noexcept;
    // Exactly bytes.size() bytes at `offset`; false when the system refuses any of them.
    [[nodiscard]] bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) noexcept;
    // Exactly out.size() bytes from `offset`; false on a read error or the end of the file.
    [[nodiscard]] bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) noexcept;
    // Cuts the file at `size`.
    [[nodiscard]] bool truncate(std::uint64_t size) noexcept;
    [[nodiscard]] bool flush() noexcept;
    // {volume, file_id, ...} as VerifiedPackFile::identity; "Identidade do pacote indisponivel.".
    nlohmann::json identity() const;
    HANDLE handle() const noexcept { return file_.get(); }
    void close() noexcept { file_.reset(); }

private:
    explicit ReceivingPackFile(win::UniqueHandle file) : file_(std::move(file)) {}
    win::UniqueHandle file_;
};

}  // namespace nyra
