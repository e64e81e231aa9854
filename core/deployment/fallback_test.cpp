// Fallback test flavour (never shipped; linked only into the fallback tests): the production host
// names, resolver table and edge addresses, so that in the test network namespace, where no
// resolver knows those names, the route decision switches the loopback proxy on; the DNS-over-HTTPS
// and service stand-ins answer on the resolvers' and the edge's addresses with certificates of the
// development CA (trusted by the test Wine prefix), and the signing key is the test key that signs
// the sample set.
#include "core/deployment.h"
#include "core/deployment/production_names.h"

#include "core/deployment/development_keys.inc"

namespace nyra {

const Deployment& deployment() {
    static const Deployment value{
        .flavour = "fallback-test",
        .backendHost = production::kBackendHost,
        .cdnHost = production::kCdnHost,
        .portalHost = production::kPortalHost,
        .newsHost = production::kNewsHost,
        .serviceDomainSuffix = production::kServiceDomainSuffix,
        .httpsPort = 443,
        .localhostBackendPin = "",
        .localhostPortalThumbprint = "",
        .dohResolvers = production::kDohResolvers,
        .edgeAddresses = production::kEdgeAddresses,
        .signingKeyBlob = {NYRA_DEV_SIGNING_KEY_BLOB},
    };
    return value;
}

}  // namespace nyra
