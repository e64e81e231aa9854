#pragma once
// The change-journal answers the receipt rules rely on, read from the bytes the volume returns:
// a file's latest change record, the volume's journal, the volume named in a file's final path,
// and the journal stamp built from them. The bytes come from another component and are checked
// before any field is trusted.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra {

// A file's latest change record (USN_RECORD_V2 or USN_RECORD_V3): what the receipts need of it.
struct ChangeRecord {
    std::uint16_t majorVersion = 0;
    std::int64_t usn = 0;
};

// Fixed parts of the two record versions, up to the file name.
inline constexpr std::size_t kChangeRecordV2Size = 60;
inline constexpr std::size_t kChangeRecordV3Size = 76;

// The record at the start of `answer` (the bytes the read-file-USN-data control returned). Null
// unless it is version 2 or 3, the answer holds its whole fixed part, its length covers that part
// and lies within the answer, its file name lies within the record, and its USN is positive.
std::optional<ChangeRecord> parseChangeRecord(std::span<const std::uint8_t> answer) noexcept;

// The volume's change journal (USN_JOURNAL_DATA_V0, 56 bytes).
struct ChangeJournal {
    std::uint64_t id = 0;
    std::int64_t firstUsn = 0;
    std::int64_t nextUsn = 0;
    std::int64_t lowestValidUsn = 0;
    std::int64_t maxUsn = 0;
};

inline constexpr std::size_t kChangeJournalSize = 56;

// Null when `answer` is shorter than the 56 bytes of the journal data.
std::optional<ChangeJournal> parseChangeJournal(std::span<const std::uint8_t> answer) noexcept;

// The journal vouches for a record with `usn` when it is active (non-zero id, positive next USN)
// and still covers that USN (lowest valid <= usn < next).
bool journalCovers(const ChangeJournal& journal, std::int64_t usn) noexcept;

// The journal stamp of a file: its identity plus `usn`, and `journal_id` when the journal covers
// the record.
nlohmann::json journalStamp(nlohmann::json fileIdentity, const ChangeRecord& record,
                            const std::optional<ChangeJournal>& journal);

// The volume device of a final path given with its volume GUID path, "\\?\Volume{GUID}\...":
// "\\?\Volume{GUID}" without the trailing backslash, as the volume is opened. Null for any other
// form (a drive letter, a network share, a malformed GUID).
std::optional<std::u16string> volumeDeviceOf(std::u16string_view finalPath);

}  // namespace nyra
