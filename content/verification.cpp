#include "content/verification.h"

#include <algorithm>

#include "core/json_limits.h"

namespace nyra {
namespace {

using nlohmann::json;

std::optional<std::uint64_t> unsignedMember(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end()) return std::nullopt;
    return unsignedUpTo(*it);
}

json withoutJournalId(json identity) {
    identity.erase("journal_id");
    return identity;
}

}  // namespace

int progressPercent(std::uint64_t base, std::uint64_t span, std::uint64_t value, std::uint64_t limit) noexcept {
    const std::uint64_t percent = base + span * std::min(value, limit) / std::max<std::uint64_t>(limit, 1);
    return static_cast<int>(std::min<std::uint64_t>(percent, 100));
}

ReceiptAnswer lookupReceipt(const json& receipt, const std::string& sha256, std::uint64_t size,
                            const json& journalIdentity, ReceiptTime time) {
    if (!journalIdentity.is_object() || !journalIdentity.contains("usn")) return ReceiptAnswer::MustHash;
    if (!receipt.is_object()) return ReceiptAnswer::MustHash;
    const auto digest = receipt.find("sha256");
    const auto index = receipt.find("index_sha256");
    if (digest == receipt.end() || *digest != sha256 || unsignedMember(receipt, "size") != size ||
        index == receipt.end() || !index->is_string() || index->get_ref<const std::string&>().size() != 64) {
        return ReceiptAnswer::MustHash;
    }
    const auto stamp = receipt.find("stamp");
    if (stamp == receipt.end() || !stamp->is_object()) return ReceiptAnswer::MustHash;
    if (withoutJournalId(journalIdentity) != withoutJournalId(*stamp)) return ReceiptAnswer::MustHash;
    if (journalIdentity.contains("journal_id") && stamp->contains("journal_id")) {
        return journalIdentity.at("journal_id") == stamp->at("journal_id") ? ReceiptAnswer::TrustedByJournal
                                                                           : ReceiptAnswer::MustHash;
    }
    const auto at = unsignedMember(receipt, "fully_hashed_at_ms");
    const auto t0 = unsignedMember(receipt, "fully_hashed_tick_ms");
    if (!at || !t0) return ReceiptAnswer::MustHash;
    const std::uint64_t now = time.nowMs;
    const std::uint64_t tick = time.tickMs;
    if (now < *at || tick < *t0 || now - *at > kReceiptMaxAgeMs || tick - *t0 > kReceiptMaxAgeMs || now < tick ||
        *at < *t0) {
        return ReceiptAnswer::MustHash;
    }
    // The boot moment as seen now and as seen at the full hash: a reboot or a moved clock shifts it.
    const std::uint64_t bootNow = now - tick;
    const std::uint64_t bootThen = *at - *t0;
    const std::uint64_t drift = bootNow > bootThen ? bootNow - bootThen : bootThen - bootNow;
    return drift <= kBootDriftMs ? ReceiptAnswer::TrustedByTime : ReceiptAnswer::MustHash;
}

ReceiptStore::ReceiptStore(std::string_view plaintext, std::string indexSha256)
    : indexSha256_(std::move(indexSha256)) {
    // Too deep is as unusable as not JSON: the receipts are dropped and every pack is hashed. The
    // receipts' stamps are copied and compared later, which the library does recursively.
    json document = readJsonText(plaintext);
    if (document.is_discarded() || !document.is_object()) return;
    const auto format = document.find("format");
    const auto packs = document.find("packs");
    if (format == document.end() || !format->is_number_integer() || *format != 1 || packs == document.end() ||
        !packs->is_object() || packs->size() > kMaxReceipts) {
        return;
    }
    packs_ = std::move(*packs);
}

ReceiptAnswer ReceiptStore::lookup(const std::string& path, const std::string& sha256, std::uint64_t size,
                                   const json& journalIdentity, ReceiptTime time) const {
    if (!journalIdentity.is_object() || !journalIdentity.contains("usn")) return ReceiptAnswer::MustHash;
    const auto it = packs_.find(path);
    if (it == packs_.end()) return ReceiptAnswer::MustHash;
    return lookupReceipt(*it, sha256, size, journalIdentity, time);
}

void ReceiptStore::record(const std::string& path, const std::string& sha256, std::uint64_t size,
                          const json& journalIdentity, bool fullyHashed, ReceiptTime time) {
    if (journalIdentity.is_null()) {
        packs_.erase(path);
        return;
    }
    if (!fullyHashed) return;
    packs_[path] = {{"sha256", sha256},
                    {"size", size},
                    {"index_sha256", indexSha256_},
                    {"stamp", journalIdentity},
                    {"fully_hashed_at_ms", time.nowMs},
                    {"fully_hashed_tick_ms", time.tickMs}};
}

std::string ReceiptStore::serialise() const {
    return json{{"format", 1}, {"packs", packs_}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

json verificationSummary(const VerificationCounts& c) {
    const bool anyTime = c.cachedOnDemand > 0;
    const std::uint64_t fast = c.cachedOnDemand + c.journalVerified;
    const std::uint64_t fullyHashed = c.checkedPacks >= fast ? c.checkedPacks - fast : 0;
    return {{"package_id", c.packageId},
            {"result", anyTime ? "cached_on_demand" : "verified"},
            {"verification_mode", anyTime                ? "cached_on_demand"
                                  : c.journalVerified > 0 ? "journal_verified"
                                                          : "fully_hashed"},
            {"checked_packs", c.checkedPacks},
            {"pack_verification_modes",
             {{"cached_on_demand", c.cachedOnDemand},
              {"journal_verified", c.journalVerified},
              {"fully_hashed", fullyHashed}}},
            {"cached_on_demand_max_age_hours", 24},
            {"resource_authentication", "signed_catalog_and_aes_gcm_sha256_on_read"},
            {"fast_checked_packs", fast},
            {"hashed_existing_packs", c.hashedExistingPacks},
            {"force_full_verification", c.forceFull},
            {"pack_write_locks", c.packWriteLocks},
            {"downloaded_packs", c.downloadedPacks},
            {"downloaded_package_bytes", c.downloadedPackageBytes},
            {"downloaded_index", c.downloadedIndex},
            {"downloaded_index_bytes", c.downloadedIndex ? c.downloadedIndexBytes : 0},
            {"local_components_prepared", c.localComponentsPrepared},
            {"timestamp_unix", c.timestampUnix}};
}

bool looksLikePackName(std::u16string_view name) noexcept {
    if (name.size() != 12 || name.substr(0, 5) != u"nyra-" || name.substr(8) != u".pck") return false;
    return std::all_of(name.begin() + 5, name.begin() + 8, [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

bool isCatalogPackPath(std::string_view path) noexcept {
    return path.size() == 12 && path.substr(0, 5) == "nyra-" && path.substr(8) == ".pck";
}

std::string checkingLabel(std::size_t number, std::size_t count, const std::string& path) {
    return "Conferindo pacote " + std::to_string(number) + "/" + std::to_string(count) + " - " + path;
}

std::string hashingText(const std::string& label, std::uint64_t hashed, std::uint64_t size) {
    return label + " | " + std::to_string(wholeMiB(hashed)) + " / " + std::to_string(wholeMiB(size)) + " MB";
}

std::string repairingText(const std::string& path, std::uint64_t written, std::uint64_t size) {
    return "Reparando " + path + " | " + std::to_string(wholeMiB(written)) + " / " + std::to_string(wholeMiB(size)) +
           " MB";
}

}  // namespace nyra
