#pragma once
// The CDN of this build: BaseCDN whose objects come over WinHTTP from the fixed CDN host.
#include "content/cdn.h"

namespace nyra {

class WinHttpCDN final : public BaseCDN {
public:
    WinHttpCDN(const nlohmann::json& identity, unsigned prefetchDepth) : BaseCDN(identity, prefetchDepth) {}
    ~WinHttpCDN() override { stopBackground(); }

    // Hashes the bytes on a thread of its own as they arrive, so that the digest is ready when the
    // last byte is.
    CdnObject fetchObject(const std::string& object, std::uint64_t size, std::atomic<bool>& cancel,
                          std::atomic<bool>& stop) override;

protected:
    std::string objectDigest(std::span<const std::uint8_t> bytes) override;
};

}  // namespace nyra
