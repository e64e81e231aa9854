// The decrypted catalog text: the document (which never throws for bad text), the catalog's
// members and the path rules every entry and pack path passes before anything touches the disk.
#include <cstdint>
#include <span>

#include "content/package.h"
#include "content/verification.h"
#include "fuzz/fuzz_support.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json document = nyra::parseCatalogText(std::span(data, size));
    if (document.is_discarded()) return 0;
    nyra::fuzz::checkNestingBound(document);
    nyra::Catalog catalog;
    if (!accepts([&] { catalog = nyra::parseCatalog(document); })) return 0;
    check(catalog.entries.size() <= nyra::kMaxCatalogEntries && catalog.packs.size() <= nyra::kMaxCatalogPacks,
          "a catalog over its limits");
    for (const auto& entry : catalog.entries) {
        accepts([&] {
            const auto components = nyra::splitPackagePath(entry.path);
            check(!components.empty(), "an accepted path without components");
            for (const auto& component : components) {
                check(!component.empty() && component != u"." && component != u"..", "a path component that escapes");
            }
        });
    }
    for (const auto& pack : catalog.packs) {
        if (nyra::isCatalogPackPath(pack.path)) accepts([&] { (void)nyra::splitPackagePath(pack.path); });
    }
    return 0;
}
