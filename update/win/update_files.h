#pragma once
// The file and process operations of the self-update: reading launcher files through handles that
// never follow a link, writing update files, file versions and starting a process that inherits
// exactly the handles it is given.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/handles.h"
#include "update/launcher_description.h"

namespace nyra::update {

inline constexpr const char* kFolderNotPlain = "Mova o launcher para uma pasta local sem links ou redirecionamentos.";

// The folder and every parent up to the root exist, are folders and are no reparse points;
// kFolderNotPlain otherwise.
void requirePlainFolderChain(const std::filesystem::path& folder);

// The running executable ("Caminho do launcher indisponivel." when it cannot be read).
std::filesystem::path runningLauncherPath();

// Opened for reading, readers may share, a reparse point is opened itself rather than followed.
// Empty when it cannot be opened.
win::UniqueHandle openForReading(const std::filesystem::path& file);

struct WholeFile {
    enum class Status { Read, TooLarge, Failed };
    Status status = Status::Failed;
    std::vector<std::uint8_t> bytes;
};

// The whole file from its first byte, at most `limit` bytes.
WholeFile readWhole(HANDLE file, std::uint64_t limit);

// major.minor.build of the file's fixed version record ("A versao do launcher recebido e
// invalida." when there is none).
std::string launcherFileVersion(const std::filesystem::path& file);

// Creates the file afresh in a plain folder and writes it whole, in blocks of at most 1 MiB, and
// flushes it. What had the name before is deleted first (unless it is a folder); a file that
// could not be finished is deleted again.
void writeUpdateFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);

// Starts `"executable"[ arguments]` in `workingFolder`. With handles, exactly those are
// inherited (an extended start-up record's handle list); without, nothing is. The new process's
// handles are closed at once.
void startProcess(const std::filesystem::path& executable, std::u16string_view arguments,
                  const std::filesystem::path& workingFolder, std::span<const HANDLE> inherit);

// True when the two paths name the same file: both made absolute, compared without regard to case.
bool sameFilePath(const std::filesystem::path& a, const std::filesystem::path& b);

// True when the file's name is `name`, compared without regard to case.
bool hasFileName(const std::filesystem::path& file, const wchar_t* name);

// The bytes are the described build: its size and its SHA-256.
bool isDescribedBuild(std::span<const std::uint8_t> bytes, const LauncherDescription& description);

// The RSA-PSS check of a launcher description with the embedded key.
bool verifyLauncherSignature(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature);

}  // namespace nyra::update
