#pragma once
// File and folder helpers shared by every subsystem: the launcher folder, the plain-folder test,
// the one link-safe writer, the replace step and the reader that never follows a link.
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "platform/win/handles.h"

namespace nyra::win {

// The folder of the running executable (path read with a 32768-character buffer).
// Throws std::runtime_error("Pasta do launcher indisponivel.") when it cannot be read.
std::filesystem::path launcherFolderOfProcess();
// The running executable's path itself (same buffer and failure).
std::filesystem::path launcherExecutableOfProcess();

// True when the folder and every parent up to the root exist and are plain folders: a missing
// element, a non-directory or a reparse point (junction, symbolic link) makes the chain not plain.
bool isPlainFolderChain(const std::filesystem::path& folder);

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
    explicit FreshFile(UniqueHandle handle) noexcept : handle_(std::move(handle)) {}
    UniqueHandle handle_;
};

// Frees a name for a file created afresh: a plain file or link there is removed (its other names,
// or what it points to, stay untouched); a folder is left alone, so the creation that follows fails.
void freeFileName(const std::filesystem::path& file) noexcept;

// Moves `from` over `to` with replace-existing and write-through. False on failure.
bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) noexcept;

enum class ReplaceOutcome {
    Replaced,
    NotCreated,  // the pending file could not be created (FreshFile refused)
    NotWritten,  // writing, flushing or closing it failed
    NotMoved,    // it could not be moved over the target
};

// A file that must never be seen half-written gets its new content this way: written whole to a
// FreshFile at `pending`, flushed, then moved over `target`. The pending file is removed again
// when a step fails, and the target keeps its old content.
[[nodiscard]] ReplaceOutcome replaceFileContent(const std::filesystem::path& target, const std::filesystem::path& pending,
                                                std::span<const std::uint8_t> bytes) noexcept;

enum class ReadOutcome {
    Read,
    Missing,   // nothing has the name
    NotPlain,  // a folder or a reparse point (never followed)
    TooLarge,  // above the limit, or grew while it was read
    Failed,    // anything else the system refused
};

// The whole file into `bytes` (cleared first), at most `limit` bytes.
[[nodiscard]] ReadOutcome readPlainFile(const std::filesystem::path& file, std::uint64_t limit,
                                        std::vector<std::uint8_t>& bytes);

}  // namespace nyra::win
