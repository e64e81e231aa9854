#include "net/win/winhttp.h"

#include "core/deployment.h"
#include "core/text.h"
#include "net/fallback_route.h"
#include "net/operations.h"
#include "platform/win/cng.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace nyra::net {
namespace {

constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;

const wchar_t* wide(std::u16string_view text) { return reinterpret_cast<const wchar_t*>(text.data()); }

std::wstring widen(std::string_view text) {
    const auto converted = utf8ToUtf16(text);
    return std::wstring(converted.begin(), converted.end());
}

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// Wide header value as UTF-8, straight from WinHTTP's buffer (no intermediate copy); headers are
// ASCII in practice, anything else is converted faithfully.
std::string narrow(const wchar_t* text, std::size_t length) {
    return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// The request's header lines as WinHTTP takes them. They carry the cookie, CSRF and download
// tokens: the intermediate conversion is wiped here, the result by the caller.
std::wstring widenHeaders(const std::string& headers) {
    std::u16string converted = utf8ToUtf16(headers);
    const WipeOnExit wipeConverted(converted);
    return std::wstring(converted.begin(), converted.end());
}

// The whole body, read into `body` (cleared first, its capacity reused), the limit tested before
// each read so nothing beyond it is stored. A body that may carry a secret (package keys, tokens,
// catalogs) grows with its old block wiped and is wiped before a failure leaves; pack ranges are
// published ciphertext and need neither.
std::vector<std::uint8_t> readWholeBody(HINTERNET request, std::uint64_t limit, std::vector<std::uint8_t> body,
                                        bool secret) {
    const auto capacityCap = static_cast<std::size_t>(std::min<std::uint64_t>(limit, SIZE_MAX));
    body.clear();
    try {
        for (;;) {
            DWORD available = 0;
            if (!::WinHttpQueryDataAvailable(request, &available)) fail("Conexao interrompida ao receber os arquivos.");
            if (available == 0) return body;
            if (static_cast<std::uint64_t>(body.size()) + available > limit) fail("Resposta do servidor muito grande.");
            const std::size_t start = body.size();
            if (secret) {
                resizeWiping(body, start + available, capacityCap);
            } else {
                body.resize(start + available);
            }
            DWORD read = 0;
            if (!::WinHttpReadData(request, body.data() + start, available, &read) || read == 0) {
                fail("Conexao interrompida.");
            }
            body.resize(start + read);
        }
    } catch (...) {
        if (secret) wipe(body);
        throw;
    }
}

class WinHttpResponse final : public TransportResponse {
public:
    explicit WinHttpResponse(win::UniqueInternetHandle request) : request_(std::move(request)) {}

    std::vector<std::string> setCookies() override {
        std::vector<std::string> cookies;
        wchar_t buffer[4096];  // 8192 bytes
        // The buffer held session and CSRF cookies: zeroed however the loop ends.
        struct BufferWiper {
            wchar_t (&characters)[4096];
            ~BufferWiper() { ::SecureZeroMemory(characters, sizeof(characters)); }
        } wiper{buffer};
        try {
            for (DWORD index = 0;;) {
                DWORD size = sizeof(buffer);
                const DWORD before = index;
                if (!::WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_SET_COOKIE, WINHTTP_HEADER_NAME_BY_INDEX,
                                           buffer, &size, &index) ||
                    index == before) {
                    break;
                }
                std::string cookie;
                try {
                    cookie = narrow(buffer, size / sizeof(wchar_t));
                } catch (const std::runtime_error&) {
                    break;  // "Texto invalido.": the list ends at the first unreadable header
                }
                cookies.push_back(std::move(cookie));
            }
        } catch (...) {
            for (auto& cookie : cookies) wipe(cookie);
            throw;
        }
        return cookies;
    }

    int status() override {
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!::WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            fail("Resposta invalida.");
        }
        return static_cast<int>(status);
    }

    std::vector<std::uint8_t> readBody(std::uint64_t limit) override { return net::readBody(request_.get(), limit); }
    std::vector<std::uint8_t> readBodyInto(std::vector<std::uint8_t> buffer, std::uint64_t limit) override {
        return readWholeBody(request_.get(), limit, std::move(buffer), /*secret=*/false);
    }

    std::optional<std::string> contentType() override {
        wchar_t buffer[128] = {};  // 256 bytes
        DWORD size = sizeof(buffer);
        if (!::WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, buffer,
                                   &size, WINHTTP_NO_HEADER_INDEX)) {
            return std::nullopt;
        }
        return narrow(buffer, size / sizeof(wchar_t));
    }

private:
    win::UniqueInternetHandle request_;
};

}  // namespace

win::UniqueInternetHandle openSession(std::u16string_view userAgent, std::string_view host) {
    static std::once_flag decided;
    std::call_once(decided, [&] {
        if (host != "localhost") fallbackRoute().decideOnce(host);
    });
    const std::wstring agent(userAgent.begin(), userAgent.end());
    if (fallbackRoute().on()) {
        wchar_t proxy[32];
        std::swprintf(proxy, 32, L"127.0.0.1:%u", static_cast<unsigned>(fallbackRoute().proxyPort()));
        return win::UniqueInternetHandle(
            ::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy, WINHTTP_NO_PROXY_BYPASS, 0));
    }
    return win::UniqueInternetHandle(
        ::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
}

bool applySessionProfile(HINTERNET session, const TransportProfile& profile) {
    if (profile.ipv6FastFallback) {
        DWORD enabled = 1;
        ::WinHttpSetOption(session, WINHTTP_OPTION_IPV6_FAST_FALLBACK, &enabled, sizeof(enabled));
    }
    DWORD protocols = kTls12;
    const bool tls = ::WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    ::WinHttpSetTimeouts(session, profile.timeoutsMs[0], profile.timeoutsMs[1], profile.timeoutsMs[2],
                         profile.timeoutsMs[3]);
    return tls || !profile.requireTls12;
}

bool certificateAcceptable(PCCERT_CONTEXT certificate, std::string_view host, std::string_view pin) {
    if (certificate == nullptr || certificate->pCertInfo == nullptr) return false;
    if (::CertVerifyTimeValidity(nullptr, certificate->pCertInfo) != 0) return false;
    if (host != "localhost") return true;
    return !pin.empty() && win::sha256Hex(certificate->pbCertEncoded, certificate->cbCertEncoded) == pin;
}

bool certificateAcceptable(HINTERNET request, std::string_view host, std::string_view pin) {
    PCCERT_CONTEXT raw = nullptr;
    DWORD size = sizeof(raw);
    if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size)) return false;
    const win::UniqueCertContext certificate(raw);
    try {
        return certificateAcceptable(certificate.get(), host, pin);
    } catch (...) {
        return false;
    }
}

void CALLBACK checkServerCertificate(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || context == 0) return;
    auto* check = reinterpret_cast<CertificateCheck*>(context);
    const auto& config = deployment();
    const bool accepted = certificateAcceptable(request, config.backendHost, config.localhostBackendPin);
    check->inspected.exchange(1);
    if (!accepted) {
        // Closing the handle here makes the pending send fail: nothing is sent to a server that
        // failed the check.
        check->closed.exchange(1);
        if (check->handleTaken.exchange(1) == 0) ::WinHttpCloseHandle(request);
    }
}

std::vector<std::uint8_t> readBody(HINTERNET request, std::uint64_t limit) {
    return readWholeBody(request, limit, {}, /*secret=*/true);
}

WinHttpBackendTransport::WinHttpBackendTransport(std::string host, std::uint16_t port)
    : host_(std::move(host)), port_(port) {
    reopen();
}

void WinHttpBackendTransport::reopen() {
    connection_.reset();
    session_.reset();
    auto session = openSession(kBackendProfile.userAgent, host_);
    if (!session) fail("HTTPS indisponivel.");
    applySessionProfile(session.get(), kBackendProfile);
    win::UniqueInternetHandle connection(::WinHttpConnect(session.get(), widen(host_).c_str(), port_, 0));
    if (!connection) fail("Backend indisponivel.");
    session_ = std::move(session);
    connection_ = std::move(connection);
}

std::unique_ptr<TransportResponse> WinHttpBackendTransport::send(const TransportRequest& request) {
    std::wstring headers = widenHeaders(request.headers);
    const WipeOnExit wipeHeaders(headers);
    const bool localhost = host_ == "localhost";
    bool secondAttempt = false;
    bool fallbackRefused = false;
    for (;;) {
        win::UniqueInternetHandle handle(::WinHttpOpenRequest(connection_.get(), wide(kBackendProfile.method),
                                                              wide(kBackendPath), nullptr, WINHTTP_NO_REFERER,
                                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
        if (!handle) fail("Requisicao invalida.");
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        ::WinHttpSetOption(handle.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never));
        DWORD noCookies = WINHTTP_DISABLE_COOKIES;
        if (!::WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof(noCookies))) {
            fail("Sessao HTTPS indisponivel.");
        }
        if (::WinHttpSetStatusCallback(handle.get(), checkServerCertificate, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK) {
            fail("Validacao do certificado indisponivel.");
        }
        if (localhost) {
            DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            if (!::WinHttpSetOption(handle.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags))) {
                fail("Certificado local indisponivel.");
            }
        }

        CertificateCheck check;
        const auto bodySize = request.body != nullptr ? static_cast<DWORD>(request.body->size()) : 0;
        LPVOID body = bodySize > 0 ? const_cast<std::uint8_t*>(request.body->data()) : WINHTTP_NO_REQUEST_DATA;
        const BOOL sent = ::WinHttpSendRequest(handle.get(), headers.c_str(), static_cast<DWORD>(headers.size()), body,
                                               bodySize, bodySize, reinterpret_cast<DWORD_PTR>(&check));
        const DWORD error = sent ? ERROR_SUCCESS : ::GetLastError();
        if (check.closed.load()) (void)handle.release();  // the callback closed it already

        if (sent) {
            if (check.closed.load() || !check.inspected.load()) {
                fail(api::describeTransportFailure("certificado", 12175));
            }
            if (!::WinHttpReceiveResponse(handle.get(), nullptr)) {
                fail(api::describeTransportFailure("resposta", ::GetLastError()));
            }
            PCCERT_CONTEXT raw = nullptr;
            DWORD size = sizeof(raw);
            if (!::WinHttpQueryOption(handle.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) ||
                raw == nullptr) {
                fail("Certificado do backend ausente.");
            }
            const win::UniqueCertContext certificate(raw);
            bool accepted = false;
            try {
                accepted = certificateAcceptable(certificate.get(), deployment().backendHost,
                                                 deployment().localhostBackendPin);
            } catch (...) {
                accepted = false;
            }
            if (!accepted) fail("Certificado do backend invalido.");
            return std::make_unique<WinHttpResponse>(std::move(handle));
        }

        const auto recovery = api::decideRecovery({error, check.inspected.load() != 0, check.closed.load() != 0,
                                                   secondAttempt, request.retrySafe, fallbackRoute().on(),
                                                   fallbackRefused});
        if (recovery == api::Recovery::SwitchToFallbackRoute) {
            if (fallbackRoute().enable()) {
                handle.reset();
                reopen();
                continue;  // same retry mark, no pause
            }
            fallbackRefused = true;
            const auto next = api::decideRecovery({error, false, check.closed.load() != 0, secondAttempt,
                                                   request.retrySafe, false, true});
            if (next != api::Recovery::RetryAfterPause) {
                fail(api::describeTransportFailure(check.closed.load() ? "certificado" : "envio", error));
            }
        } else if (recovery == api::Recovery::Fail) {
            fail(api::describeTransportFailure(check.closed.load() ? "certificado" : "envio", error));
        }
        handle.reset();
        ::Sleep(150);
        secondAttempt = true;
    }
}

}  // namespace nyra::net
