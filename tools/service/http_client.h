#pragma once
// A small blocking HTTP/1.1 client over one keep-alive connection, plain or TLS (verifying the
// server against a CA file and a host name). Used by the `fault` command and by the tests.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/service/http_types.h"

namespace nyra::service {

struct ClientResponse {
    unsigned status = 0;
    HeaderList headers;
    std::string body;

    const std::string* header(std::string_view name) const;
    std::vector<std::string> headersNamed(std::string_view name) const;
};

struct TlsClientOptions {
    std::string caFile;                 // trust anchor (PEM); empty: no verification at all
    std::string hostName = "localhost";  // SNI and the name the certificate must carry
};

class HttpClient {
public:
    // Throws std::runtime_error when the connection or the TLS handshake fails.
    static std::unique_ptr<HttpClient> connect(const std::string& host, std::uint16_t port,
                                               std::optional<TlsClientOptions> tls);
    virtual ~HttpClient() = default;

    // Sends one request and reads its answer; throws when the connection breaks.
    virtual ClientResponse request(const std::string& method, const std::string& target, const HeaderList& headers,
                                   const std::string& body = {}) = 0;
    // SHA-256 of the DER of the server's certificate (TLS only).
    virtual std::string peerCertificatePin() const = 0;
};

// "http://127.0.0.1:8080" -> host and port; throws std::invalid_argument.
std::pair<std::string, std::uint16_t> parseHttpUrl(const std::string& url);

}  // namespace nyra::service
