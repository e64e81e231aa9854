#include "tools/service/certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <boost/asio/ssl/context.hpp>
#include <stdexcept>

#include "tools/common/crypto.h"

namespace nyra::service {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("certificate: ") + what); }

Bio memoryBio(const std::string& text) {
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) {
        fail("out of memory");
    }
    return bio;
}

X509Ptr readCertificate(const std::string& pem) {
    auto bio = memoryBio(pem);
    X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        fail("unreadable PEM certificate");
    }
    return certificate;
}

Key readKey(const std::string& pem) {
    auto bio = memoryBio(pem);
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        fail("unreadable PEM key");
    }
    return key;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr || X509_add_ext(certificate, extension, -1) != 1) {
        X509_EXTENSION_free(extension);
        fail("extension refused");
    }
    X509_EXTENSION_free(extension);
}

}  // namespace

CertificateKind certificateKindFromName(const std::string& name) {
    if (name == "default") return CertificateKind::Default;
    if (name == "expired") return CertificateKind::Expired;
    if (name == "not-yet-valid") return CertificateKind::NotYetValid;
    if (name == "reissued") return CertificateKind::Reissued;
    if (name == "self-signed" || name == "unpinned") return CertificateKind::SelfSigned;
    throw std::invalid_argument("unknown certificate kind " + name +
                                " (default, expired, not-yet-valid, reissued, self-signed)");
}

std::string certificateKindName(CertificateKind kind) {
    switch (kind) {
    case CertificateKind::Default: return "default";
    case CertificateKind::Expired: return "expired";
    case CertificateKind::NotYetValid: return "not-yet-valid";
    case CertificateKind::Reissued: return "reissued";
    case CertificateKind::SelfSigned: return "self-signed";
    }
    return "default";
}

CertificatePem makeCertificate(CertificateKind kind, const std::string& caCertificatePem, const std::string& caKeyPem) {
    if (kind == CertificateKind::Default) {
        throw std::invalid_argument("the default certificate is read from its files");
    }
    Key key(EVP_RSA_gen(2048));
    if (!key) {
        fail("key generation failed");
    }
    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    const auto serial = tools::randomBytes(16);
    BIGNUM* number = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    BN_clear_bit(number, 127);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);

    constexpr long kDay = 86400;
    long notBefore = -kDay;
    long notAfter = 90 * kDay;
    if (kind == CertificateKind::Expired) {
        notBefore = -60 * kDay;
        notAfter = -kDay;
    } else if (kind == CertificateKind::NotYetValid) {
        notBefore = 30 * kDay;
        notAfter = 120 * kDay;
    }
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), notAfter);
    X509_set_pubkey(certificate.get(), key.get());

    X509_NAME* subject = X509_get_subject_name(certificate.get());
    const auto add = [subject](const char* field, const char* value) {
        X509_NAME_add_entry_by_txt(subject, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value), -1,
                                   -1, 0);
    };
    add("O", kind == CertificateKind::SelfSigned ? "Unknown Test Issuer" : "Nyra Saga Brasil Development");
    add("CN", "localhost");

    X509Ptr ca;
    Key caKey;
    X509* issuer = certificate.get();
    EVP_PKEY* signer = key.get();
    if (kind != CertificateKind::SelfSigned) {
        ca = readCertificate(caCertificatePem);
        caKey = readKey(caKeyPem);
        issuer = ca.get();
        signer = caKey.get();
    }
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuer));
    addExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(certificate.get(), issuer, NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), issuer, NID_subject_alt_name, "DNS:localhost");
    if (X509_sign(certificate.get(), signer, EVP_sha256()) == 0) {
        fail("signing failed");
    }

    Bio out(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(out.get(), certificate.get());
    if (ca) {
        PEM_write_bio_X509(out.get(), ca.get());
    }
    Bio keyOut(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return CertificatePem{bioText(out.get()), bioText(keyOut.get())};
}

std::string certificatePin(const std::string& certificatePem) {
    auto certificate = readCertificate(certificatePem);
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    if (length <= 0) {
        fail("cannot encode DER");
    }
    std::string pin = tools::sha256Hex(tools::ByteView(der, static_cast<std::size_t>(length)));
    OPENSSL_free(der);
    return pin;
}

std::shared_ptr<boost::asio::ssl::context> makeServerContext(const CertificatePem& pem) {
    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    context->use_certificate_chain(boost::asio::buffer(pem.certificate));
    context->use_private_key(boost::asio::buffer(pem.key), ssl::context::pem);
    if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
        fail("the key does not belong to the certificate");
    }
    return context;
}

}  // namespace nyra::service

#include "tools/common/files.h"

namespace nyra::service {

CertificatePem loadCertificate(const std::string& certificatePath, const std::string& keyPath,
                               const std::string& caCertificatePath) {
    CertificatePem pem{tools::readTextFile(certificatePath, 1 << 20), tools::readTextFile(keyPath, 1 << 20)};
    std::size_t count = 0;
    for (auto at = pem.certificate.find("-----BEGIN CERTIFICATE-----"); at != std::string::npos;
         at = pem.certificate.find("-----BEGIN CERTIFICATE-----", at + 1)) {
        ++count;
    }
    if (count == 1 && !caCertificatePath.empty() && std::filesystem::exists(caCertificatePath)) {
        const std::string caPem = tools::readTextFile(caCertificatePath, 1 << 20);
        auto leaf = readCertificate(pem.certificate);
        auto ca = readCertificate(caPem);
        if (X509_check_issued(ca.get(), leaf.get()) == X509_V_OK) {
            pem.certificate += caPem;
        }
    }
    return pem;
}

}  // namespace nyra::service
