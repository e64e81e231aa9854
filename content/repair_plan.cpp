#include "content/repair_plan.h"

#include <algorithm>

#include "core/json_limits.h"

namespace nyra {

using nlohmann::json;

std::string downloadRecord(const CatalogPack& pack) {
    return "NYRADL01 " + pack.sha256 + " " + std::to_string(pack.size) + "\n";
}

std::vector<PackChunk> packChunks(const json& identity, const CatalogPack& pack) {
    std::vector<PackChunk> chunks;
    try {
        for (const auto& listed : identity.at("packs")) {
            if (listed.at("path") != pack.path || listed.at("sha256") != pack.sha256 ||
                unsignedUpTo(listed.at("size")) != pack.size) {
                continue;
            }
            std::uint64_t next = 0;
            for (const auto& chunk : listed.at("chunks")) {
                const auto offset = unsignedUpTo(chunk.at("offset"));
                const auto size = unsignedUpTo(chunk.at("size"));
                if (!offset || !size || *offset != next || *size == 0 || *size > pack.size - next) return {};
                chunks.push_back({*offset, *size, chunk.at("sha256").get<std::string>(),
                                  chunk.at("object").get<std::string>()});
                next += *size;
            }
            if (next != pack.size) return {};
            return chunks;
        }
    } catch (const std::exception&) {
        // A validated identity has this shape; anything else proves nothing.
    }
    return {};
}

std::vector<ByteRange> rangesBetween(std::uint64_t packSize, std::uint64_t from, std::uint64_t to) {
    std::vector<ByteRange> ranges;
    to = std::min(to, packSize);
    for (std::uint64_t first = from - from % kRangeBytes; first < to; first += kRangeBytes) {
        if (first >= from) ranges.push_back({first, std::min(first + kRangeBytes, packSize) - 1});
    }
    return ranges;
}

std::uint64_t resumeOffset(std::uint64_t keptBytes, std::uint64_t packSize) noexcept {
    if (keptBytes > packSize) return 0;
    return keptBytes - keptBytes % kRangeBytes;
}

bool roomForRepair(std::uint64_t availableBytes, std::uint64_t packSize, std::uint64_t keptBytes) noexcept {
    const std::uint64_t missing = packSize - std::min(keptBytes, packSize);
    if (missing > UINT64_MAX - kRepairMarginBytes) return false;
    return availableBytes > missing + kRepairMarginBytes;
}

}  // namespace nyra
