#include "content/win/pack_journal_source.h"

#include "content/change_journal.h"
#include "content/package.h"
#include "content/win/receipts_file.h"

#include <winioctl.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nyra {
namespace {

using nlohmann::json;

// FSCTL_READ_FILE_USN_DATA input: the range of record versions the caller understands.
struct ReadFileUsnData {
    WORD minMajorVersion;
    WORD maxMajorVersion;
};

constexpr DWORD kChangeRecordAnswerSize = 4096;
constexpr DWORD kLongestPath = 32768;

class SystemJournalSource final : public PackJournalSource {
public:
    json fileIdentity(HANDLE file) override {
        FILE_ID_INFO id{};
        FILE_BASIC_INFO basic{};
        FILE_STANDARD_INFO standard{};
        if (!::GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) ||
            !::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
            !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
            throw std::runtime_error("Identidade do pacote indisponivel.");
        }
        return {{"volume", static_cast<std::uint64_t>(id.VolumeSerialNumber)},
                {"file_id", toHex(std::span<const std::uint8_t>(id.FileId.Identifier, sizeof id.FileId.Identifier))},
                {"creation", basic.CreationTime.QuadPart},
                {"write", basic.LastWriteTime.QuadPart},
                {"change", basic.ChangeTime.QuadPart},
                {"size", standard.EndOfFile.QuadPart}};
    }

    std::vector<std::uint8_t> changeRecord(HANDLE file) override {
        ReadFileUsnData request{2, 2};
        std::vector<std::uint8_t> answer(kChangeRecordAnswerSize);
        DWORD returned = 0;
        if (!::DeviceIoControl(file, FSCTL_READ_FILE_USN_DATA, &request, sizeof request, answer.data(),
                               kChangeRecordAnswerSize, &returned, nullptr)) {
            return {};
        }
        answer.resize(std::min<DWORD>(returned, kChangeRecordAnswerSize));
        return answer;
    }

    std::vector<std::uint8_t> volumeJournal(HANDLE file) override {
        // The volume straight from the handle, as its GUID path ("\\?\Volume{GUID}\dir\file"):
        // a drive-letter path would have to be mapped back to its volume, which fails for
        // prefixed and mounted-folder paths.
        std::wstring finalPath(kLongestPath, L'\0');
        const DWORD length =
            ::GetFinalPathNameByHandleW(file, finalPath.data(), kLongestPath, FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
        if (length == 0 || length >= kLongestPath) return {};
        const auto device =
            volumeDeviceOf(std::u16string(finalPath.begin(), finalPath.begin() + static_cast<std::ptrdiff_t>(length)));
        if (!device) return {};

        wchar_t fileSystem[MAX_PATH + 1] = {};
        if (!::GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1) ||
            ::CompareStringOrdinal(fileSystem, -1, L"NTFS", -1, TRUE) != CSTR_EQUAL) {
            return {};
        }
        // The device is opened without access rights: the journal query is declared for any access,
        // and reading or writing a volume would need an administrator.
        const std::wstring devicePath(device->begin(), device->end());
        constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        win::UniqueHandle volume(::CreateFileW(devicePath.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!volume) return {};
        std::vector<std::uint8_t> answer(kChangeJournalSize);
        DWORD returned = 0;
        if (!::DeviceIoControl(volume.get(), FSCTL_QUERY_USN_JOURNAL, nullptr, 0, answer.data(),
                               static_cast<DWORD>(answer.size()), &returned, nullptr)) {
            return {};
        }
        answer.resize(std::min<std::size_t>(returned, answer.size()));
        return answer;
    }

    ReceiptTime now() override { return receiptTimeNow(); }
};

}  // namespace

PackJournalSource& systemJournalSource() noexcept {
    static SystemJournalSource source;
    return source;
}

}  // namespace nyra
