// Production flavour: the service's own hosts under one registered domain. No certificate pin
// (only "localhost" is ever pinned); certificates are checked against the system's trust store.
#include "core/deployment.h"

#include "core/deployment/production_keys.inc"

namespace nyra {

const Deployment& deployment() {
    static const Deployment value{
        .flavour = "production",
        .backendHost = "api.nyra-brasil.example",
        .cdnHost = "cdn.nyra-brasil.example",
        .portalHost = "portal.nyra-brasil.example",
        .newsHost = "news.nyra-brasil.example",
        .serviceDomainSuffix = ".nyra-brasil.example",
        .httpsPort = 443,
        .localhostBackendPin = "",
        .localhostPortalThumbprint = "",
        // Two public DNS-over-HTTPS providers, two addresses each, as they publish them.
        .dohResolvers = {{{"1.1.1.1", "/dns-query?name="},
                          {"1.0.0.1", "/dns-query?name="},
                          {"8.8.8.8", "/resolve?name="},
                          {"8.8.4.4", "/resolve?name="}}},
        // The service's edge, used only when no resolver answers.
        .edgeAddresses = {"203.0.113.10", "203.0.113.11"},
        .signingKeyBlob = {NYRA_PRODUCTION_SIGNING_KEY_BLOB},
    };
    return value;
}

}  // namespace nyra
