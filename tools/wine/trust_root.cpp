// Test-environment helper, never shipped: adds a PEM certificate authority to the machine "Root"
// store of the current (Wine) prefix, so that certificates it issued are trusted there without any
// relaxation in the launcher. Usage: nyra-trust-root.exe <ca.pem>
#include "platform/win/handles.h"

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: nyra-trust-root <ca.pem>\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (pem.empty()) {
        std::fputs("nyra-trust-root: certificate file missing or empty\n", stderr);
        return 1;
    }
    DWORD size = 0;
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr)) {
        std::fputs("nyra-trust-root: not a PEM certificate\n", stderr);
        return 1;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr)) {
        std::fputs("nyra-trust-root: not a PEM certificate\n", stderr);
        return 1;
    }
    nyra::win::UniqueCertStore store(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) {
        std::fprintf(stderr, "nyra-trust-root: Root store unavailable (%lu)\n", ::GetLastError());
        return 1;
    }
    if (!::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "nyra-trust-root: certificate not added (%lu)\n", ::GetLastError());
        return 1;
    }
    return 0;
}
