#include "content/win/pack_file.h"

#include "content/change_journal.h"
#include "content/win/pack_journal_source.h"
#include "platform/win/cng.h"

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
