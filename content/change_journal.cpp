#include "content/change_journal.h"

#include <algorithm>

namespace nyra {
namespace {

// Little-endian field at `offset`; the caller has checked that it lies within `bytes`.
template <typename T>
T fieldAt(std::span<const std::uint8_t> bytes, std::size_t offset) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = sizeof(T); i > 0; --i) value = (value << 8) | bytes[offset + i - 1];
    return static_cast<T>(value);
}

bool isHexDigit(char16_t c) noexcept {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool equalsIgnoringAsciiCase(std::u16string_view text, std::u16string_view expected) noexcept {
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    return text.size() == expected.size() && std::equal(text.begin(), text.end(), expected.begin(),
                                                        [&](char16_t a, char16_t b) { return lower(a) == lower(b); });
}

}  // namespace

std::optional<ChangeRecord> parseChangeRecord(std::span<const std::uint8_t> answer) noexcept {
    if (answer.size() < 8) return std::nullopt;
    const auto recordLength = fieldAt<std::uint32_t>(answer, 0);
    const auto majorVersion = fieldAt<std::uint16_t>(answer, 4);
    // Version 3 widens both file references to 128 bits, which moves every later field by 16.
    std::size_t fixedSize = 0;
    std::size_t usnOffset = 0;
    if (majorVersion == 2) {
        fixedSize = kChangeRecordV2Size;
        usnOffset = 24;
    } else if (majorVersion == 3) {
        fixedSize = kChangeRecordV3Size;
        usnOffset = 40;
    } else {
        return std::nullopt;
    }
    if (answer.size() < fixedSize || recordLength < fixedSize || recordLength > answer.size()) return std::nullopt;
    const auto nameLength = fieldAt<std::uint16_t>(answer, fixedSize - 4);
    const auto nameOffset = fieldAt<std::uint16_t>(answer, fixedSize - 2);
    if (nameOffset < fixedSize || std::size_t{nameOffset} + std::size_t{nameLength} > recordLength) return std::nullopt;
    const auto usn = fieldAt<std::int64_t>(answer, usnOffset);
    if (usn <= 0) return std::nullopt;
    return ChangeRecord{majorVersion, usn};
}

std::optional<ChangeJournal> parseChangeJournal(std::span<const std::uint8_t> answer) noexcept {
    if (answer.size() < kChangeJournalSize) return std::nullopt;
    return ChangeJournal{fieldAt<std::uint64_t>(answer, 0), fieldAt<std::int64_t>(answer, 8),
                         fieldAt<std::int64_t>(answer, 16), fieldAt<std::int64_t>(answer, 24),
                         fieldAt<std::int64_t>(answer, 32)};
}

bool journalCovers(const ChangeJournal& journal, std::int64_t usn) noexcept {
    return journal.id != 0 && journal.nextUsn > 0 && usn >= journal.lowestValidUsn && usn < journal.nextUsn;
}

nlohmann::json journalStamp(nlohmann::json fileIdentity, const ChangeRecord& record,
                            const std::optional<ChangeJournal>& journal) {
    fileIdentity["usn"] = record.usn;
    if (journal && journalCovers(*journal, record.usn)) fileIdentity["journal_id"] = journal->id;
    return fileIdentity;
}

std::optional<std::u16string> volumeDeviceOf(std::u16string_view finalPath) {
    // "\\?\Volume{" + 8-4-4-4-12 hexadecimal digits + "}" and the backslash of the volume root.
    constexpr std::u16string_view kPrefix = u"\\\\?\\Volume{";
    constexpr std::size_t kGuidLength = 36;
    constexpr std::size_t kDeviceLength = kPrefix.size() + kGuidLength + 1;
    if (finalPath.size() <= kDeviceLength || !equalsIgnoringAsciiCase(finalPath.substr(0, kPrefix.size()), kPrefix) ||
        finalPath[kDeviceLength - 1] != u'}' || finalPath[kDeviceLength] != u'\\') {
        return std::nullopt;
    }
    const std::u16string_view guid = finalPath.substr(kPrefix.size(), kGuidLength);
    for (std::size_t i = 0; i < guid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? guid[i] != u'-' : !isHexDigit(guid[i])) return std::nullopt;
    }
    return std::u16string(finalPath.substr(0, kDeviceLength));
}

}  // namespace nyra
