#include "content/win/pack_file.h"

#include "content/package.h"
#include "platform/win/cng.h"

#include <winioctl.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace nyra {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

std::int64_t asInt(const LARGE_INTEGER& value) { return value.QuadPart; }

// FSCTL_READ_FILE_USN_DATA input (version range of the record to return).
struct ReadFileUsnData {
    WORD minMajorVersion;
    WORD maxMajorVersion;
};

template <typename T>
T readAt(const std::uint8_t* bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// The change journal's identifier when the file's volume is NTFS with an active journal that
// still covers `usn`; 0 otherwise.
std::uint64_t journalIdFor(HANDLE file, std::int64_t usn) noexcept {
    std::vector<wchar_t> finalPath(32768);
    const DWORD length = ::GetFinalPathNameByHandleW(file, finalPath.data(), static_cast<DWORD>(finalPath.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= finalPath.size()) return 0;
    std::vector<wchar_t> mountPoint(32768);
    if (!::GetVolumePathNameW(finalPath.data(), mountPoint.data(), static_cast<DWORD>(mountPoint.size()))) return 0;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!::GetVolumeInformationW(mountPoint.data(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                 MAX_PATH + 1) ||
        ::CompareStringOrdinal(fileSystem, -1, L"NTFS", -1, TRUE) != CSTR_EQUAL) {
        return 0;
    }
    wchar_t volumeName[MAX_PATH + 1] = {};
    if (!::GetVolumeNameForVolumeMountPointW(mountPoint.data(), volumeName, MAX_PATH + 1)) return 0;
    std::wstring device(volumeName);
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    win::UniqueHandle volume(::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume) return 0;
    USN_JOURNAL_DATA journal{};
    static_assert(sizeof(USN_JOURNAL_DATA) == 56);
    DWORD returned = 0;
    if (!::DeviceIoControl(volume.get(), FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &journal, sizeof journal, &returned,
                           nullptr) ||
        returned != sizeof journal) {
        return 0;
    }
    if (journal.UsnJournalID == 0 || journal.NextUsn <= 0 || usn < journal.LowestValidUsn || usn >= journal.NextUsn) {
        return 0;
    }
    return journal.UsnJournalID;
}

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
    FILE_ID_INFO id{};
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!file_ || !::GetFileInformationByHandleEx(file_.get(), FileIdInfo, &id, sizeof id) ||
        !::GetFileInformationByHandleEx(file_.get(), FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(file_.get(), FileStandardInfo, &standard, sizeof standard)) {
        fail("Identidade do pacote indisponivel.");
    }
    return {{"volume", static_cast<std::uint64_t>(id.VolumeSerialNumber)},
            {"file_id", toHex(std::span<const std::uint8_t>(id.FileId.Identifier, sizeof id.FileId.Identifier))},
            {"creation", asInt(basic.CreationTime)},
            {"write", asInt(basic.LastWriteTime)},
            {"change", asInt(basic.ChangeTime)},
            {"size", asInt(standard.EndOfFile)}};
}

json VerifiedPackFile::journalIdentity() const noexcept {
    try {
        ReadFileUsnData request{2, 2};
        std::vector<std::uint8_t> record(4096);
        DWORD returned = 0;
        if (!file_ || !::DeviceIoControl(file_.get(), FSCTL_READ_FILE_USN_DATA, &request, sizeof request, record.data(),
                                         static_cast<DWORD>(record.size()), &returned, nullptr) ||
            returned <= 59) {
            return nullptr;
        }
        const auto recordLength = readAt<DWORD>(record.data(), 0);
        const auto majorVersion = readAt<WORD>(record.data(), 4);
        const auto usn = readAt<std::int64_t>(record.data(), 24);
        if (majorVersion != 2 || recordLength < 60 || recordLength > returned || usn <= 0) return nullptr;
        json stamp = identity();
        stamp["usn"] = usn;
        if (const std::uint64_t journal = journalIdFor(file_.get(), usn); journal != 0) stamp["journal_id"] = journal;
        return stamp;
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
