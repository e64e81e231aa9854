#pragma once
// Server certificates for the TLS faults, made on demand with OpenSSL: issued by the development
// CA for "localhost" but expired or not yet valid, issued and valid but with a fresh key (so its
// pin differs), or self-signed.
#include <memory>
#include <string>

namespace boost::asio::ssl {
class context;
}

namespace nyra::service {

enum class CertificateKind { Default, Expired, NotYetValid, Reissued, SelfSigned };

// "default", "expired", "not-yet-valid", "reissued", "self-signed" (alias "unpinned");
// throws std::invalid_argument.
CertificateKind certificateKindFromName(const std::string& name);
std::string certificateKindName(CertificateKind kind);

struct CertificatePem {
    std::string certificate;  // the leaf, then the issuer when it is the CA
    std::string key;
};

// Issues a certificate of that kind (not Default) for "localhost" with a new RSA-2048 key.
CertificatePem makeCertificate(CertificateKind kind, const std::string& caCertificatePem,
                               const std::string& caKeyPem);

// SHA-256 of the DER bytes of the first certificate of a PEM text (64 lowercase hex digits).
std::string certificatePin(const std::string& certificatePem);

// A TLS 1.2+ server context serving that chain and key.
std::shared_ptr<boost::asio::ssl::context> makeServerContext(const CertificatePem& pem);

}  // namespace nyra::service

namespace nyra::service {
// Reads a certificate chain and key from PEM files; when the file holds only the leaf and the
// leaf was issued by the CA certificate, the CA is appended to the served chain.
CertificatePem loadCertificate(const std::string& certificatePath, const std::string& keyPath,
                               const std::string& caCertificatePath);
}  // namespace nyra::service
