#include "content/win/pack_file.h"

#include "content/change_journal.h"
#include "content/win/pack_journal_source.h"
#include "platform/win/cng.h"
#include "platform/win/files.h"

#include <algorithm>

#include <optional>
#include <stdexcept>
#include <vector>

namespace nyra {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

VerifiedPackFile VerifiedPackFile::open(const std::filesystem::path& file, Share share) {
    const DWORD shareMode = share == Share::ReadOnly ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_DELETE;
    // Backup semantics let a directory of that name open, so that it is reported as what it is.
    win::UniqueHandle handle(::CreateFileW(
        file.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) fail("Feche programas que estejam alterando os pacotes do jogo e tente novamente.");
    FILE_ATTRIBUTE_TAG_INFO tag{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !::GetFileInformationByHandle(handle.get(), &info) || info.nNumberOfLinks > 1) {
        fail("Pacote do jogo invalido ou redirecionado.");
    }
    return VerifiedPackFile(std::move(handle));
}

std::uint64_t VerifiedPackFile::size() const {
    FILE_STANDARD_INFO standard{};
    if (!file_ || !::GetFileInformationByHandleEx(file_.get(), FileStandardInfo, &standard, sizeof standard) ||
        standard.EndOfFile.QuadPart < 0) {
        fail("Tamanho do pacote indisponivel.");
    }
    return static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
}

json VerifiedPackFile::identity() const {
    if (!file_) fail("Identidade do pacote indisponivel.");
    return systemJournalSource().fileIdentity(file_.get());
}

json VerifiedPackFile::journalIdentity(PackJournalSource& source) const noexcept {
    try {
        if (!file_) return nullptr;
        const std::optional<ChangeRecord> record = parseChangeRecord(source.changeRecord(file_.get()));
        if (!record) return nullptr;
        json identity = source.fileIdentity(file_.get());
        // Without the journal's word the stamp still serves the time rule.
        std::optional<ChangeJournal> journal;
        try {
            journal = parseChangeJournal(source.volumeJournal(file_.get()));
        } catch (...) {
            journal.reset();
        }
        return journalStamp(std::move(identity), *record, journal);
    } catch (...) {
        return nullptr;
    }
}

std::string VerifiedPackFile::sha256(const std::function<void(std::uint64_t)>& afterBlock) const {
    LARGE_INTEGER start{};
    if (!file_ || !::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) {
        fail("Nao foi possivel conferir o pacote.");
    }
    win::Sha256Stream hash;
    constexpr DWORD kBlock = 1048576;
    std::vector<std::uint8_t> buffer(kBlock);
    std::uint64_t done = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file_.get(), buffer.data(), kBlock, &read, nullptr)) fail("Falha ao conferir o pacote.");
        if (read == 0) break;
        hash.update(buffer.data(), read);
        done += read;
        if (afterBlock) afterBlock(done);
    }
    return hash.finishHex();
}

}  // namespace nyra

namespace nyra {
namespace {

// A plain file (no folder, no reparse point) with a single name.
bool isPlainSingleName(HANDLE file) noexcept {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           ::GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1;
}

// Others may read it and move it (the move over the pack goes by name), never write it.
constexpr DWORD kReceivingAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kReceivingShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

OVERLAPPED at(std::uint64_t offset) noexcept {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

}  // namespace

ReceivingPackFile ReceivingPackFile::create(const std::filesystem::path& file) noexcept {
    // As for every fresh file: a leftover is removed, never opened.
    win::freeFileName(file);
    win::UniqueHandle handle(::CreateFileW(file.c_str(), kReceivingAccess, kReceivingShare, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // Created a moment ago, yet someone may have given it another name meanwhile.
    if (!handle || !isPlainSingleName(handle.get())) return {};
    return ReceivingPackFile(std::move(handle));
}

ReceivingPackFile ReceivingPackFile::openKept(const std::filesystem::path& file) noexcept {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), kReceivingAccess, kReceivingShare, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle || !isPlainSingleName(handle.get())) return {};
    return ReceivingPackFile(std::move(handle));
}

bool ReceivingPackFile::size(std::uint64_t& bytes) const noexcept {
    LARGE_INTEGER size{};
    if (!file_ || !::GetFileSizeEx(file_.get(), &size) || size.QuadPart < 0) return false;
    bytes = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool ReceivingPackFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) noexcept {
    constexpr std::size_t kPiece = 1048576;
    while (!bytes.empty()) {
        const auto want = static_cast<DWORD>(std::min(bytes.size(), kPiece));
        OVERLAPPED position = at(offset);
        DWORD written = 0;
        if (!file_ || !::WriteFile(file_.get(), bytes.data(), want, &written, &position) || written != want) return false;
        bytes = bytes.subspan(want);
        offset += want;
    }
    return true;
}

bool ReceivingPackFile::readAt(std::uint64_t offset, std::span<std::uint8_t> out) noexcept {
    return file_ && readFileAt(file_.get(), offset, out);
}

bool readFileAt(HANDLE file, std::uint64_t offset, std::span<std::uint8_t> out) noexcept {
    while (!out.empty()) {
        const auto want = static_cast<DWORD>(std::min<std::size_t>(out.size(), 1048576));
        OVERLAPPED position = at(offset);
        DWORD read = 0;
        if (!::ReadFile(file, out.data(), want, &read, &position) || read == 0) return false;
        out = out.subspan(read);
        offset += read;
    }
    return true;
}

bool ReceivingPackFile::truncate(std::uint64_t size) noexcept {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return file_ && ::SetFileInformationByHandle(file_.get(), FileEndOfFileInfo, &end, sizeof end);
}

bool ReceivingPackFile::flush() noexcept { return file_ && ::FlushFileBuffers(file_.get()); }

json ReceivingPackFile::identity() const {
    if (!file_) fail("Identidade do pacote indisponivel.");
    return systemJournalSource().fileIdentity(file_.get());
}

}  // namespace nyra
