#pragma once
// Compiled-in deployment constants: hosts, pins and keys. Exactly one flavour is linked into a
// build (core/deployment/development.cpp or production.cpp, chosen by NYRA_FLAVOUR).
#include <array>
#include <cstdint>
#include <string_view>

namespace nyra {

// One DNS-over-HTTPS resolver of the connectivity fallback: an IPv4 literal and its query path.
struct DohResolver {
    std::string_view address;
    std::string_view pathPrefix;
};

struct Deployment {
    std::string_view flavour;            // "development" or "production"
    std::string_view backendHost;        // backend API host ("localhost" in development)
    std::string_view cdnHost;            // package objects
    std::string_view portalHost;         // portal pages and the news feed
    std::string_view newsHost;           // in-game news pages
    std::string_view serviceDomainSuffix;  // "." + the service's registered domain
    std::uint16_t httpsPort;             // backend, CDN and relay
    // SHA-256 of the DER bytes of the development backend certificate (64 lower-case hex digits);
    // consulted only while the backend host is "localhost". Empty in production.
    std::string_view localhostBackendPin;
    // SHA-1 thumbprint of the development portal certificate (40 hex digits); only for a
    // "localhost" portal. Empty in production.
    std::string_view localhostPortalThumbprint;
    std::array<DohResolver, 4> dohResolvers;
    std::array<std::string_view, 2> edgeAddresses;
    // The project's RSA-3072 public key as a 411-byte RSAPUBLICBLOB (catalog, guard file and
    // launcher signatures).
    std::array<std::uint8_t, 411> signingKeyBlob;
};

// The flavour this build was compiled with.
const Deployment& deployment();

}  // namespace nyra
