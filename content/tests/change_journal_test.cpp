// The change-journal answers read from raw bytes: version 2 and 3 records, hostile lengths and
// versions, the journal data and when it vouches for a record, the stamp, the volume device.
#include "content/change_journal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <vector>

namespace nyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A record as the volume lays it out: fixed part, then the UTF-16 name, padded to 8 bytes.
Bytes record(std::uint16_t version, std::int64_t usn, std::size_t nameChars = 12) {
    const std::size_t fixed = version == 3 ? kChangeRecordV3Size : kChangeRecordV2Size;
    const std::size_t length = (fixed + 2 * nameChars + 7) / 8 * 8;
    Bytes bytes(length, 0xEE);
    put(bytes, 0, length, 4);
    put(bytes, 4, version, 2);
    put(bytes, 6, 0, 2);
    put(bytes, version == 3 ? 40 : 24, static_cast<std::uint64_t>(usn), 8);
    put(bytes, fixed - 4, 2 * nameChars, 2);
    put(bytes, fixed - 2, fixed, 2);
    return bytes;
}

Bytes journalData(std::uint64_t id, std::int64_t lowest, std::int64_t next) {
    Bytes bytes(kChangeJournalSize, 0);
    put(bytes, 0, id, 8);
    put(bytes, 8, static_cast<std::uint64_t>(lowest), 8);  // first USN
    put(bytes, 16, static_cast<std::uint64_t>(next), 8);
    put(bytes, 24, static_cast<std::uint64_t>(lowest), 8);
    put(bytes, 32, 0x7fffffffffff0000ULL, 8);
    return bytes;
}

TEST(ChangeRecord, BothVersionsGiveTheirUsn) {
    const auto v2 = parseChangeRecord(record(2, 0x123456789A));
    ASSERT_TRUE(v2);
    EXPECT_EQ(v2->majorVersion, 2);
    EXPECT_EQ(v2->usn, 0x123456789A);
    const auto v3 = parseChangeRecord(record(3, 77));
    ASSERT_TRUE(v3);
    EXPECT_EQ(v3->majorVersion, 3);
    EXPECT_EQ(v3->usn, 77);
    // The answer may run past the record (the rest of the output buffer).
    Bytes longer = record(2, 5);
    longer.resize(4096, 0);
    EXPECT_EQ(parseChangeRecord(longer).value().usn, 5);
    // A record whose name is empty still has its fixed part.
    EXPECT_EQ(parseChangeRecord(record(2, 9, 0)).value().usn, 9);
}

TEST(ChangeRecord, HostileAnswersGiveNoRecord) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    {
        Bytes b = record(2, 5);
        b.resize(8);
        cases.push_back({"header only", b});
    }
    {
        Bytes b = record(2, 5);
        b.resize(kChangeRecordV2Size - 1);
        cases.push_back({"version 2 cut inside its fixed part", b});
    }
    {
        Bytes b = record(3, 5);
        b.resize(kChangeRecordV2Size + 8);
        cases.push_back({"version 3 cut after a version-2-sized part", b});
    }
    {
        Bytes b = record(2, 5);
        b.resize(b.size() - 8);
        cases.push_back({"record longer than the answer", b});
    }
    {
        Bytes b = record(2, 5);
        put(b, 0, kChangeRecordV2Size - 1, 4);
        cases.push_back({"record length below the fixed part", b});
    }
    {
        Bytes b = record(3, 5);
        put(b, 0, kChangeRecordV2Size, 4);
        cases.push_back({"version 3 with a version-2 length", b});
    }
    {
        Bytes b = record(2, 5);
        put(b, 0, 0xFFFFFFFFu, 4);
        cases.push_back({"record length near 4 GiB", b});
    }
    {
        Bytes b = record(2, 5);
        put(b, kChangeRecordV2Size - 4, 0xFFFF, 2);
        cases.push_back({"name past the record", b});
    }
    {
        Bytes b = record(2, 5);
        put(b, kChangeRecordV2Size - 2, 8, 2);
        cases.push_back({"name inside the fixed part", b});
    }
    for (const std::uint16_t version : std::initializer_list<std::uint16_t>{0, 1, 4, 0xFFFF}) {
        Bytes b = record(2, 5);
        put(b, 4, version, 2);
        cases.push_back({"unknown version", b});
    }
    cases.push_back({"usn zero", record(2, 0)});
    cases.push_back({"usn negative", record(3, -1)});
    for (const Case& c : cases) EXPECT_FALSE(parseChangeRecord(c.bytes)) << c.name;
}

TEST(ChangeJournal, DataAndCoverage) {
    EXPECT_FALSE(parseChangeJournal(Bytes(kChangeJournalSize - 1, 0)));
    const auto journal = parseChangeJournal(journalData(0xABCDEF0123456789ULL, 1000, 5000));
    ASSERT_TRUE(journal);
    EXPECT_EQ(journal->id, 0xABCDEF0123456789ULL);
    EXPECT_EQ(journal->lowestValidUsn, 1000);
    EXPECT_EQ(journal->nextUsn, 5000);
    EXPECT_EQ(journal->maxUsn, 0x7fffffffffff0000LL);

    struct Case {
        const char* name;
        ChangeJournal journal;
        std::int64_t usn;
        bool covers;
    };
    const Case cases[] = {
        {"inside", {7, 0, 5000, 1000, 0}, 4999, true},
        {"lowest valid", {7, 0, 5000, 1000, 0}, 1000, true},
        {"purged from the journal", {7, 0, 5000, 1000, 0}, 999, false},
        {"at the next USN", {7, 0, 5000, 1000, 0}, 5000, false},
        {"no journal id", {0, 0, 5000, 1000, 0}, 2000, false},
        {"no next USN", {7, 0, 0, -10, 0}, -5, false},
    };
    for (const Case& c : cases) EXPECT_EQ(journalCovers(c.journal, c.usn), c.covers) << c.name;
}

TEST(ChangeJournal, StampAddsTheJournalOnlyWhenItCoversTheRecord) {
    const nlohmann::json identity = {{"volume", 1}, {"file_id", std::string(32, '0')}, {"size", 10}};
    const ChangeRecord record{2, 3000};
    nlohmann::json expected = identity;
    expected["usn"] = 3000;
    EXPECT_EQ(journalStamp(identity, record, std::nullopt), expected);
    EXPECT_EQ(journalStamp(identity, record, ChangeJournal{42, 0, 2000, 0, 0}), expected);
    expected["journal_id"] = 42;
    EXPECT_EQ(journalStamp(identity, record, ChangeJournal{42, 0, 5000, 0, 0}), expected);
}

TEST(VolumeDevice, OnlyAVolumeGuidPathNamesTheDevice) {
    const std::u16string device = u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}";
    EXPECT_EQ(volumeDeviceOf(device + u"\\Games\\Nyra\\nyra-000.pck"), device);
    EXPECT_EQ(volumeDeviceOf(device + u"\\"), device);
    EXPECT_EQ(volumeDeviceOf(u"\\\\?\\volume{26A21BDA-A627-11D7-9931-806E6F6E6963}\\x"),
         u"\\\\?\\volume{26A21BDA-A627-11D7-9931-806E6F6E6963}");
    const char16_t* const refused[] = {
        u"\\\\?\\C:\\Games\\nyra-000.pck",
        u"C:\\Games\\nyra-000.pck",
        u"\\\\?\\UNC\\server\\share\\nyra-000.pck",
        u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}",      // no root backslash
        u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e696}\\x",    // short GUID
        u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e69630}\\x",  // long GUID
        u"\\\\?\\Volume{26a21bda+a627-11d7-9931-806e6f6e6963}\\x",   // separator
        u"\\\\?\\Volume{26a21bdg-a627-11d7-9931-806e6f6e6963}\\x",   // not hexadecimal
        u"\\\\.\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\x",
        u"",
    };
    for (std::size_t i = 0; i < std::size(refused); ++i) EXPECT_FALSE(volumeDeviceOf(refused[i])) << "case " << i;
}

}  // namespace
}  // namespace nyra
