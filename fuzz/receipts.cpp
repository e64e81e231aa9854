// The verification receipts once unprotected: the store never fails (anything unusable is an
// empty store), every receipt is looked up against itself, recorded again and serialised, and the
// serialised store reads back as itself.
#include <cstdint>
#include <string>

#include "content/verification.h"
#include "core/json_limits.h"
#include "fuzz/fuzz_support.h"

using nlohmann::json;
using nyra::fuzz::check;

namespace {

const std::string kIndex(64, 'a');

std::string textMember(const json& receipt, const char* name) {
    const auto it = receipt.find(name);
    return it != receipt.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::uint64_t numberMember(const json& receipt, const char* name) {
    const auto it = receipt.find(name);
    return it == receipt.end() ? 0 : nyra::unsignedUpTo(*it).value_or(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > nyra::kReceiptsReadLimit) return 0;
    nyra::ReceiptStore store(nyra::fuzz::textOf(data, size), kIndex);
    check(store.packs().is_object() && store.packs().size() <= nyra::kMaxReceipts, "a store over its limits");

    const json packs = store.packs();
    for (const auto& [path, receipt] : packs.items()) {
        if (!receipt.is_object()) continue;
        const std::string sha = textMember(receipt, "sha256");
        const std::uint64_t bytes = numberMember(receipt, "size");
        const auto stamp = receipt.find("stamp");
        const json identity = stamp != receipt.end() ? *stamp : json();
        // Now is the moment of the full hash plus one minute, on both clocks.
        const nyra::ReceiptTime time{numberMember(receipt, "fully_hashed_at_ms") + 60000,
                                     numberMember(receipt, "fully_hashed_tick_ms") + 60000};
        const nyra::ReceiptAnswer answer = store.lookup(path, sha, bytes, identity, time);
        if (answer != nyra::ReceiptAnswer::MustHash) {
            check(identity.is_object() && identity.contains("usn"), "a receipt trusted without a journal identity");
        }
        store.record(path, sha, bytes, identity, true, time);
    }
    const std::string once = store.serialise();
    const nyra::ReceiptStore reread(once, kIndex);
    check(reread.serialise() == once, "stored receipts read back differently");
    return 0;
}
