// Development flavour: every service role is the stand-in service on this machine ("localhost",
// port 443), whose certificate is pinned; keys are the test keys of tools/dev-keys.
#include "core/deployment.h"

#include "core/deployment/development_keys.inc"

namespace nyra {

const Deployment& deployment() {
    static const Deployment value{
        .flavour = "development",
        .backendHost = "localhost",
        .cdnHost = "localhost",
        .portalHost = "localhost",
        .newsHost = "localhost",
        .serviceDomainSuffix = ".nyra-brasil.example",
        .httpsPort = 443,
        .localhostBackendPin = NYRA_DEV_BACKEND_PIN_SHA256,
        .localhostPortalThumbprint = NYRA_DEV_PORTAL_THUMBPRINT_SHA1,
        // The fallback route is never taken for "localhost"; these point at the stand-in so a
        // development build can never query a public resolver.
        .dohResolvers = {{{"127.0.0.1", "/dns-query?name="},
                          {"127.0.0.1", "/dns-query?name="},
                          {"127.0.0.1", "/resolve?name="},
                          {"127.0.0.1", "/resolve?name="}}},
        .edgeAddresses = {"127.0.0.1", "127.0.0.1"},
        .signingKeyBlob = {NYRA_DEV_SIGNING_KEY_BLOB},
    };
    return value;
}

}  // namespace nyra
