// Production flavour: the service's own hosts under one registered domain. No certificate pin
// (only "localhost" is ever pinned); certificates are checked against the system's trust store.
#include "core/deployment.h"
#include "core/deployment/production_names.h"

#include "core/deployment/production_keys.inc"

namespace nyra {

const Deployment& deployment() {
    static const Deployment value{
        .flavour = "production",
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
        .signingKeyBlob = {NYRA_PRODUCTION_SIGNING_KEY_BLOB},
    };
    return value;
}

}  // namespace nyra
