#pragma once
// The WinHTTP side of the backend connectivity: sessions opened through the route decision, the
// transport profiles, the server-certificate check and the backend transport.
#include "net/profiles.h"
#include "net/transport.h"
#include "platform/win/handles.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace nyra::net {

// Opens a WinHTTP session with the user agent; on the first call of the process the route decision
// runs for `host`. Direct (no proxy at all) unless the fallback route is on. Null on failure.
win::UniqueInternetHandle openSession(std::u16string_view userAgent, std::string_view host);

// Applies a profile's time-outs, TLS 1.2 and IPv6 fast fallback to a session; false when the
// profile requires TLS 1.2 and the option is refused.
bool applySessionProfile(HINTERNET session, const TransportProfile& profile);

// Per-request certificate check record, the context value of the request.
struct CertificateCheck {
    std::atomic<std::uint8_t> inspected{0};
    std::atomic<std::uint8_t> closed{0};  // the check refused the certificate and closed the request
    // Whoever takes this first closes the request handle (the check, or a thread cancelling the
    // request), so that it is closed once.
    std::atomic<std::uint8_t> handleTaken{0};
};

// The certificate rule: inside its validity period now, and for the "localhost" development host
// also equal to the compiled-in pin (SHA-256 of its DER bytes).
bool certificateAcceptable(PCCERT_CONTEXT certificate, std::string_view host, std::string_view pin);
bool certificateAcceptable(HINTERNET request, std::string_view host, std::string_view pin);

// Registered for the sending-request notification of backend and relay requests.
void CALLBACK checkServerCertificate(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID info, DWORD length);

// Reads the whole body under a 64-bit limit, testing the limit before each read.
std::vector<std::uint8_t> readBody(HINTERNET request, std::uint64_t limit);

// The backend connection of one nyra::Http: session and connection to the backend API host.
class WinHttpBackendTransport final : public BackendTransport {
public:
    WinHttpBackendTransport(std::string host, std::uint16_t port);
    void reopen() override;
    std::unique_ptr<TransportResponse> send(const TransportRequest& request) override;

private:
    std::string host_;
    std::uint16_t port_;
    win::UniqueInternetHandle session_;
    win::UniqueInternetHandle connection_;
};

}  // namespace nyra::net
