// Fallback test flavour (never shipped; linked only into the fallback tests): the production host
// names, resolver table and edge addresses, so that in the test network namespace, where no
// resolver knows those names, the route decision switches the loopback proxy on; the DNS-over-HTTPS
// and service stand-ins answer on the resolvers' and the edge's addresses with certificates of the
// development CA (trusted by the test Wine prefix), and the signing key is the test key that signs
// the sample set.
#include "core/deployment.h"

#include "core/deployment/development_keys.inc"

namespace nyra {

const Deployment& deployment() {
    static const Deployment value{
        .flavour = "fallback-test",
        .backendHost = "api.nyra-brasil.example",
        .cdnHost = "cdn.nyra-brasil.example",
        .portalHost = "portal.nyra-brasil.example",
        .newsHost = "news.nyra-brasil.example",
        .serviceDomainSuffix = ".nyra-brasil.example",
        .httpsPort = 443,
        .localhostBackendPin = "",
        .localhostPortalThumbprint = "",
        .dohResolvers = {{{"1.1.1.1", "/dns-query?name="},
                          {"1.0.0.1", "/dns-query?name="},
                          {"8.8.8.8", "/resolve?name="},
                          {"8.8.4.4", "/resolve?name="}}},
        .edgeAddresses = {"203.0.113.10", "203.0.113.11"},
        .signingKeyBlob = {NYRA_DEV_SIGNING_KEY_BLOB},
    };
    return value;
}

}  // namespace nyra
