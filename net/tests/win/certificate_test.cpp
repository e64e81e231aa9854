// The launcher's own certificate rule (the only date check in production, where WinHTTP's own
// validation is the rest), called directly with contexts built from the test certificates in
// data/: outside its validity period a certificate is refused whatever the host; for "localhost"
// it must also match the pin.
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

constexpr std::string_view kProductionHost = "api.nyra-brasil.example";

std::vector<BYTE> readCertificate(const char* name) {
    const auto file = std::filesystem::path(NYRA_SOURCE_DIR) / "net" / "tests" / "win" / "data" / name;
    std::ifstream in(file, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TestCertificate {
    win::UniqueCertContext context;
    std::string pin;  // SHA-256 of the DER bytes, as the launcher compiles it in
};

TestCertificate load(const char* name) {
    const std::vector<BYTE> der = readCertificate(name);
    TestCertificate certificate{
        win::UniqueCertContext(
            ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()))),
        win::sha256Hex(der.data(), der.size())};
    if (!certificate.context) ADD_FAILURE() << name << " is not a certificate (" << der.size() << " bytes)";
    return certificate;
}

TEST(CertificateAcceptable, OnlyACertificateWithinItsPeriodPasses) {
    const struct {
        const char* file;
        bool accepted;
    } cases[] = {{"expired.der", false}, {"not-yet-valid.der", false}, {"valid.der", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const TestCertificate certificate = load(c.file);
        ASSERT_TRUE(certificate.context);
        // The production host has no pin: the dates are the whole test.
        EXPECT_EQ(net::certificateAcceptable(certificate.context.get(), kProductionHost, ""), c.accepted);
        // A matching pin never rescues a certificate outside its period.
        EXPECT_EQ(net::certificateAcceptable(certificate.context.get(), "localhost", certificate.pin), c.accepted);
    }
}

TEST(CertificateAcceptable, LocalhostAlsoNeedsThePinOtherHostsIgnoreIt) {
    const TestCertificate valid = load("valid.der");
    const TestCertificate other = load("expired.der");
    ASSERT_TRUE(valid.context);
    ASSERT_NE(valid.pin, other.pin);

    EXPECT_TRUE(net::certificateAcceptable(valid.context.get(), "localhost", valid.pin));
    EXPECT_FALSE(net::certificateAcceptable(valid.context.get(), "localhost", other.pin));
    EXPECT_FALSE(net::certificateAcceptable(valid.context.get(), "localhost", ""));  // no pin compiled in
    std::string upper = valid.pin;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_FALSE(net::certificateAcceptable(valid.context.get(), "localhost", upper));  // lowercase hex only

    EXPECT_TRUE(net::certificateAcceptable(valid.context.get(), kProductionHost, other.pin));
    EXPECT_FALSE(net::certificateAcceptable(static_cast<PCCERT_CONTEXT>(nullptr), kProductionHost, ""));
}

}  // namespace
}  // namespace nyra::test
