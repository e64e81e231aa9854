#include "ui/win/news_fetch.h"

#include "core/deployment.h"
#include "core/text.h"
#include "net/profiles.h"
#include "net/win/winhttp.h"
#include "ui/portal.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nyra::ui {
namespace {

constexpr wchar_t kNewsPath[] = L"/api/news";
constexpr wchar_t kAcceptJson[] = L"Accept: application/json\r\n";

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

const wchar_t* wide(std::u16string_view text) { return reinterpret_cast<const wchar_t*>(text.data()); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The SHA-1 thumbprint of the response's certificate, lower-case hexadecimal.
std::string serverThumbprint(HINTERNET request) {
    PCCERT_CONTEXT raw = nullptr;
    DWORD size = sizeof(raw);
    if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || raw == nullptr) {
        fail("Certificado ausente.");
    }
    const win::UniqueCertContext certificate(raw);
    BYTE digest[20] = {};
    DWORD digestSize = sizeof(digest);
    if (!::CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, digest, &digestSize) ||
        digestSize != sizeof(digest)) {
        fail("Certificado do portal invalido.");
    }
    constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const BYTE b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

std::string contentType(HINTERNET request) {
    wchar_t buffer[128] = {};
    DWORD size = sizeof(buffer);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    std::string text;
    for (DWORD i = 0; i < size / sizeof(wchar_t); ++i) {
        text.push_back(buffer[i] < 128 ? static_cast<char>(buffer[i]) : '?');
    }
    return text;
}

bool isJsonContentType(std::string_view value) {
    constexpr std::string_view kJson = "application/json";
    // Media types compare without regard to case ("Application/JSON; charset=utf-8").
    return value.size() >= kJson.size() && equalIgnoringCase(value.substr(0, kJson.size()), kJson);
}

void checkStop(const std::atomic<bool>* stop) {
    if (stop != nullptr && stop->load()) fail("Noticias indisponiveis.");
}

// The body under the feed's limit; the limit is tested before each read, so nothing beyond it is
// stored.
std::string readFeedBody(HINTERNET request, const std::atomic<bool>* stop) {
    std::string body;
    for (;;) {
        checkStop(stop);
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(request, &available)) fail("Conexao interrompida.");
        if (available == 0) return body;
        if (static_cast<std::uint64_t>(body.size()) + available > kNewsBodyLimit) {
            fail("Resposta de noticias muito grande.");
        }
        const std::size_t start = body.size();
        body.resize(start + available);
        DWORD read = 0;
        if (!::WinHttpReadData(request, body.data() + start, available, &read) || read == 0) {
            fail("Conexao interrompida.");
        }
        body.resize(start + read);
    }
}

}  // namespace

std::vector<NewsItem> fetchNews(const std::atomic<bool>* stop, std::size_t maxCount) {
    return fetchNewsFrom(portalBaseAddress(), deployment().localhostPortalThumbprint, maxCount, stop);
}

std::vector<NewsItem> fetchNewsFrom(std::string_view portalAddress, std::string_view localhostThumbprint,
                                    std::size_t maxCount, const std::atomic<bool>* stop) {
    const HttpsEndpoint portal = splitHttpsAddress(portalAddress);
    const bool localhost = portal.host == "localhost";

    // Sessions are opened through the one opener, which decides the route for the backend host.
    checkStop(stop);
    auto session = net::openSession(kNewsProfile.userAgent, deployment().backendHost);
    if (!session) fail("HTTPS indisponivel.");
    net::applySessionProfile(session.get(), kNewsProfile);

    std::u16string host;
    try {
        host = utf8ToUtf16(portal.host);
    } catch (const std::runtime_error&) {
        fail("Endereco do portal invalido.");
    }
    win::UniqueInternetHandle connection(
        ::WinHttpConnect(session.get(), reinterpret_cast<const wchar_t*>(host.c_str()), portal.port, 0));
    if (!connection) fail("Portal indisponivel.");

    win::UniqueInternetHandle request(::WinHttpOpenRequest(connection.get(), wide(kNewsProfile.method), kNewsPath,
                                                           nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                           WINHTTP_FLAG_SECURE));
    if (!request) fail("Requisicao invalida.");
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof(noCookies))) {
        fail("Requisicao invalida.");
    }
    if (localhost) {
        // The development portal's own CA is accepted here; the thumbprint below is what trusts it.
        if (localhostThumbprint.size() != 40) fail("Certificado do portal invalido.");
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) {
            fail("Noticias indisponiveis.");
        }
    }

    checkStop(stop);
    if (!::WinHttpSendRequest(request.get(), kAcceptJson, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        fail("Noticias indisponiveis.");
    }
    // Nothing of a development portal's answer is read before its certificate matched.
    if (localhost && !equalIgnoringCase(serverThumbprint(request.get()), localhostThumbprint)) {
        fail("Certificado do portal invalido.");
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
        status != 200 || !isJsonContentType(contentType(request.get()))) {
        fail("Resposta de noticias invalida.");
    }
    return parseNewsFeed(readFeedBody(request.get(), stop), maxCount);
}

}  // namespace nyra::ui
