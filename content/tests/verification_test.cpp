// Receipts and their trust rules with injected identities and clocks, the percent rule, the
// summary record, texts and stale-pack names.
#include "content/verification.h"
#include "core/json_limits.h"
#include "core/tests/hostile_nesting.h"

#include <gtest/gtest.h>

namespace nyra {
namespace {

using nlohmann::json;

const std::string kDigest(64, 'a');
const std::string kIndex(64, 'b');
constexpr std::uint64_t kSize = 1000;
constexpr std::uint64_t kHour = 3600000;

json identity(std::int64_t usn = 77, std::int64_t write = 5) {
    return {{"volume", 1}, {"file_id", std::string(32, '0')}, {"creation", 1}, {"write", write},
            {"change", write}, {"size", kSize}, {"usn", usn}};
}

json withJournal(json stamp, std::uint64_t journal) {
    stamp["journal_id"] = journal;
    return stamp;
}

// The full hash happened at wall clock 1.7e12 ms, 10 h after boot.
constexpr ReceiptTime kHashed{1700000000000ULL, 10 * kHour};

ReceiptTime later(std::uint64_t ms) { return {kHashed.nowMs + ms, kHashed.tickMs + ms}; }

ReceiptStore storeWith(const json& stamp, ReceiptTime at = kHashed) {
    ReceiptStore store("", kIndex);
    store.record("nyra-000.pck", kDigest, kSize, stamp, true, at);
    return store;
}

ReceiptAnswer ask(const ReceiptStore& store, const json& stamp, ReceiptTime now) {
    return store.lookup("nyra-000.pck", kDigest, kSize, stamp, now);
}

TEST(ReceiptLookup, JournalRule) {
    const json stamp = withJournal(identity(), 42);
    const ReceiptStore store = storeWith(stamp);
    // The journal vouches regardless of time: days later, after a reboot.
    EXPECT_EQ(ask(store, stamp, {kHashed.nowMs + 72 * kHour, 5}), ReceiptAnswer::TrustedByJournal);
    // Journal deleted and recreated: another id, hash again.
    EXPECT_EQ(ask(store, withJournal(identity(), 43), later(1000)), ReceiptAnswer::MustHash);
    // Touched file: a new USN or new times.
    EXPECT_EQ(ask(store, withJournal(identity(78), 42), later(1000)), ReceiptAnswer::MustHash);
    EXPECT_EQ(ask(store, withJournal(identity(77, 6), 42), later(1000)), ReceiptAnswer::MustHash);
    // No change record at all (FAT, or the control unsupported): hash.
    EXPECT_EQ(ask(store, nullptr, later(1000)), ReceiptAnswer::MustHash);
    json noUsn = identity();
    noUsn.erase("usn");
    EXPECT_EQ(ask(store, noUsn, later(1000)), ReceiptAnswer::MustHash);
}

TEST(ReceiptLookup, TimeRuleWithoutAJournal) {
    const json stamp = identity();
    const ReceiptStore store = storeWith(stamp);
    struct Case {
        const char* name;
        ReceiptTime now;
        ReceiptAnswer expected;
    };
    const Case cases[] = {
        {"a minute later", later(60000), ReceiptAnswer::TrustedByTime},
        {"exactly 24 h", later(86400000), ReceiptAnswer::TrustedByTime},
        {"24 h and 1 ms", later(86400001), ReceiptAnswer::MustHash},
        {"reboot (tick restarted)", {kHashed.nowMs + kHour, 5 * 60000}, ReceiptAnswer::MustHash},
        {"clock moved 2 min forward", {kHashed.nowMs + kHour + 120000, kHashed.tickMs + kHour}, ReceiptAnswer::TrustedByTime},
        {"clock moved 2 min + 1 ms forward", {kHashed.nowMs + kHour + 120001, kHashed.tickMs + kHour}, ReceiptAnswer::MustHash},
        {"clock moved 3 min back", {kHashed.nowMs + kHour - 180000, kHashed.tickMs + kHour}, ReceiptAnswer::MustHash},
        {"clock before the hash", {kHashed.nowMs - 1, kHashed.tickMs + 10}, ReceiptAnswer::MustHash},
        {"tick before the hash", {kHashed.nowMs + 10, kHashed.tickMs - 1}, ReceiptAnswer::MustHash},
        {"tick above wall clock", {100, 200}, ReceiptAnswer::MustHash},
    };
    for (const auto& c : cases) EXPECT_EQ(ask(store, stamp, c.now), c.expected) << c.name;
    // Journal on one side only: the time rule decides.
    EXPECT_EQ(ask(store, withJournal(stamp, 9), later(1000)), ReceiptAnswer::TrustedByTime);
}

TEST(ReceiptLookup, ReceiptMembersMustMatch) {
    const json stamp = identity();
    const ReceiptStore store = storeWith(stamp);
    EXPECT_EQ(store.lookup("nyra-001.pck", kDigest, kSize, stamp, later(1)), ReceiptAnswer::MustHash);
    EXPECT_EQ(store.lookup("nyra-000.pck", std::string(64, 'c'), kSize, stamp, later(1)), ReceiptAnswer::MustHash);
    EXPECT_EQ(store.lookup("nyra-000.pck", kDigest, kSize + 1, stamp, later(1)), ReceiptAnswer::MustHash);

    json receipt = store.packs().at("nyra-000.pck");
    EXPECT_EQ(lookupReceipt(receipt, kDigest, kSize, stamp, later(1)), ReceiptAnswer::TrustedByTime);
    receipt["index_sha256"] = "short";
    EXPECT_EQ(lookupReceipt(receipt, kDigest, kSize, stamp, later(1)), ReceiptAnswer::MustHash);
    receipt = store.packs().at("nyra-000.pck");
    receipt["fully_hashed_at_ms"] = -5;
    EXPECT_EQ(lookupReceipt(receipt, kDigest, kSize, stamp, later(1)), ReceiptAnswer::MustHash);
}

TEST(ReceiptStore, RecordingAndTheStoredDocument) {
    ReceiptStore store = storeWith(identity());
    const json receipt = store.packs().at("nyra-000.pck");
    EXPECT_EQ(receipt, (json{{"sha256", kDigest}, {"size", kSize}, {"index_sha256", kIndex}, {"stamp", identity()},
                             {"fully_hashed_at_ms", kHashed.nowMs}, {"fully_hashed_tick_ms", kHashed.tickMs}}));
    // Trusting leaves the receipt (the 24 h count from the last full hash), a null identity drops it.
    store.record("nyra-000.pck", kDigest, kSize, identity(), false, later(kHour));
    EXPECT_EQ(store.packs().at("nyra-000.pck"), receipt);
    store.record("nyra-000.pck", kDigest, kSize, nullptr, true, later(kHour));
    EXPECT_FALSE(store.packs().contains("nyra-000.pck"));

    const ReceiptStore saved = storeWith(identity());
    const ReceiptStore reloaded(saved.serialise(), kIndex);
    EXPECT_EQ(reloaded.packs(), saved.packs());
    EXPECT_EQ(json::parse(saved.serialise()).at("format"), 1);
}

TEST(ReceiptStore, UnusableDocumentsGiveAnEmptyStore) {
    json many = {{"format", 1}, {"packs", json::object()}};
    for (int i = 0; i < 101; ++i) many["packs"]["p" + std::to_string(i)] = json::object();
    json hundred = many;
    hundred["packs"].erase("p0");
    EXPECT_EQ(ReceiptStore(hundred.dump(), kIndex).packs().size(), 100u);
    for (const std::string& text : {std::string("not json"), std::string("[]"), std::string(R"({"format":2,"packs":{}})"),
                                    std::string(R"({"format":1,"packs":[]})"), std::string(R"({"packs":{}})"),
                                    many.dump()}) {
        EXPECT_TRUE(ReceiptStore(text, kIndex).packs().empty()) << text;
    }
}

// A stored receipt whose stamp carries a member nested `depth` levels deep in all.
std::string receiptsNestedTo(std::size_t depth) {
    json stamp = identity();
    stamp["note"] = "@";
    json document = {{"format", 1}, {"packs", {{"nyra-000.pck", storeWith(stamp).packs().at("nyra-000.pck")}}}};
    std::string text = document.dump();
    // The document, its packs, the receipt and the stamp are four levels.
    text.replace(text.find("\"@\""), 3, test::nestedJson(depth - 4));
    return text;
}

TEST(ReceiptStore, StoredDocumentsNestedTooDeepAreDropped) {
    test::onWindowsSizedStack([] {
        // At the limit the receipt is kept, and looking it up copies and compares the deep stamp.
        const ReceiptStore atLimit(receiptsNestedTo(kDocumentNestingLimit), kIndex);
        ASSERT_EQ(atLimit.packs().size(), 1u);
        EXPECT_EQ(ask(atLimit, identity(), later(1000)), ReceiptAnswer::MustHash);
        EXPECT_TRUE(ReceiptStore(receiptsNestedTo(kDocumentNestingLimit + 1), kIndex).packs().empty());
        EXPECT_TRUE(ReceiptStore(receiptsNestedTo(test::kHostileDepth), kIndex).packs().empty());
    });
}

TEST(ReceiptLookup, IntegerMembersMustBeIntegers) {
    const json stamp = identity();
    const json receipt = storeWith(stamp).packs().at("nyra-000.pck");
    EXPECT_EQ(lookupReceipt(receipt, kDigest, kSize, stamp, later(1)), ReceiptAnswer::TrustedByTime);
    for (const char* member : {"size", "fully_hashed_at_ms", "fully_hashed_tick_ms"}) {
        json changed = receipt;
        changed[member] = changed[member].get<double>() + 0.5;
        EXPECT_EQ(lookupReceipt(changed, kDigest, kSize, stamp, later(1)), ReceiptAnswer::MustHash) << member;
        changed[member] = json::parse("1e300");
        EXPECT_EQ(lookupReceipt(changed, kDigest, kSize, stamp, later(1)), ReceiptAnswer::MustHash) << member;
    }
}

TEST(Progress, IntegerPercentRule) {
    EXPECT_EQ(progressPercent(3, 67, 0, 0), 3);
    EXPECT_EQ(progressPercent(3, 67, 5, 0), 3);  // limit 0 counts as 1, value capped to it
    EXPECT_EQ(progressPercent(3, 67, 1, 3), 25);  // 3 + 67/3 = 25.33 truncated
    EXPECT_EQ(progressPercent(3, 67, 10, 3), 70);
    // Values whose product would overflow 32 bits.
    EXPECT_EQ(progressPercent(70, 24, 3000000000ULL, 6000000000ULL), 82);
    EXPECT_EQ(progressPercent(70, 24, 6000000000ULL, 6000000000ULL), 94);
    EXPECT_EQ(wholeMiB(1048575), 0u);
    EXPECT_EQ(wholeMiB(75497472), 72u);
    EXPECT_EQ(hashingText("Conferindo pacote 2/3 - nyra-001.pck", 3145728, 75497473),
              "Conferindo pacote 2/3 - nyra-001.pck | 3 / 72 MB");
    EXPECT_EQ(checkingLabel(1, 3, "nyra-000.pck"), "Conferindo pacote 1/3 - nyra-000.pck");
    EXPECT_EQ(repairingText("nyra-000.pck", 4194304, 10485760), "Reparando nyra-000.pck | 4 / 10 MB");
}

TEST(Progress, ThrottleKeepsTheCompletingReport) {
    ProgressThrottle throttle;
    EXPECT_TRUE(throttle.due(1000, false));
    EXPECT_FALSE(throttle.due(1050, false));
    EXPECT_TRUE(throttle.due(1060, true));
    EXPECT_FALSE(throttle.due(1159, false));
    EXPECT_TRUE(throttle.due(1160, false));
}

TEST(Summary, ModesAndCounts) {
    VerificationCounts counts;
    counts.packageId = "set-1";
    counts.checkedPacks = 3;
    counts.downloadedPacks = 3;
    counts.downloadedPackageBytes = 999;
    counts.downloadedIndex = true;
    counts.downloadedIndexBytes = 120;
    counts.packWriteLocks = 3;
    counts.timestampUnix = 1700000000;
    json summary = verificationSummary(counts);
    EXPECT_EQ(summary["result"], "verified");
    EXPECT_EQ(summary["verification_mode"], "fully_hashed");
    EXPECT_EQ(summary["pack_verification_modes"], (json{{"cached_on_demand", 0}, {"journal_verified", 0}, {"fully_hashed", 3}}));
    EXPECT_EQ(summary["downloaded_packs"], summary["checked_packs"]);
    EXPECT_EQ(summary["downloaded_index_bytes"], 120);
    EXPECT_EQ(summary["resource_authentication"], "signed_catalog_and_aes_gcm_sha256_on_read");
    EXPECT_EQ(summary["cached_on_demand_max_age_hours"], 24);
    EXPECT_EQ(summary.size(), 17u);

    counts.journalVerified = 2;
    summary = verificationSummary(counts);
    EXPECT_EQ(summary["verification_mode"], "journal_verified");
    EXPECT_EQ(summary["result"], "verified");
    EXPECT_EQ(summary["fast_checked_packs"], 2);
    counts.cachedOnDemand = 1;
    summary = verificationSummary(counts);
    EXPECT_EQ(summary["verification_mode"], "cached_on_demand");
    EXPECT_EQ(summary["result"], "cached_on_demand");
    EXPECT_EQ(summary["pack_verification_modes"]["fully_hashed"], 0);
}

TEST(PackNames, StaleRemovalRecognisesOnlyThreeDigits) {
    EXPECT_TRUE(looksLikePackName(u"nyra-123.pck"));
    for (const char16_t* name : {u"nyra-12a.pck", u"nyra-1234.pck", u"Nyra-123.pck", u"nyra-123.PCK", u"nyra-123.pck.download",
                                 u"nyra-12.pck"}) {
        EXPECT_FALSE(looksLikePackName(name));
    }
    EXPECT_TRUE(isCatalogPackPath("nyra-0x1.pck"));
    EXPECT_FALSE(isCatalogPackPath("nyra-000.PCK"));
    EXPECT_FALSE(isCatalogPackPath("nyra-0000.pck"));
}

}  // namespace
}  // namespace nyra
