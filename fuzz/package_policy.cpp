// The package policy as the backend client hands it over (the answer's JSON text), read as the
// preparation reads it: its members, the signature's Base64, the package-key request, the CDN
// identity and, once that identity is accepted, the CDN object of every 4 MiB range of every pack
// it lists.
#include <cstdint>
#include <string>

#include "content/cdn.h"
#include "content/package.h"
#include "core/json_limits.h"
#include "fuzz/fuzz_support.h"

using nlohmann::json;
using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = nyra::fuzz::textOf(data, size);
    json answer;
    if (!accepts([&] {
            nyra::requireJsonNesting(text);
            answer = json::parse(text);
        })) {
        return 0;
    }
    nyra::fuzz::checkNestingBound(answer);
    nyra::PackagePolicy policy;
    if (!accepts([&] { policy = nyra::parsePackagePolicy(answer); })) return 0;
    accepts([&] { (void)nyra::decodeBase64(policy.signature); });
    accepts([&] {
        const json request = nyra::packageKeyRequest(policy, policy.launcherSha256);
        check(request.size() == 3, "a package-key request with other members than its three");
    });
    if (!accepts([&] { nyra::validateCdnIdentity(policy.baseCdn); })) return 0;

    for (const auto& listed : policy.baseCdn.at("packs")) {
        const nyra::CatalogPack pack{listed.at("path").get<std::string>(), *nyra::unsignedUpTo(listed.at("size")),
                                     listed.at("sha256").get<std::string>()};
        for (const auto& range : nyra::packRanges(pack.size)) {
            const auto slice = nyra::findChunk(policy.baseCdn, pack, range.first, range.last);
            if (!slice) continue;
            check(slice->start <= slice->end && slice->end < slice->chunkSize, "a range outside its chunk");
            check(slice->end - slice->start == range.last - range.first, "a slice of another length than its range");
            check(nyra::isDigestText(slice->sha256), "a chunk digest that is not a digest");
            check(slice->object.rfind("base/" + pack.sha256 + "/", 0) == 0, "an object of another pack");
        }
    }
    return 0;
}
