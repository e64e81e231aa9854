#pragma once
// The seam between the backend protocol (nyra::Http, portable) and the WinHTTP transport. The
// transport owns the session, the connection, the certificate checks and the send recovery; the
// protocol owns everything that is said over it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nyra {

struct TransportRequest {
    std::string headers;                // header lines, each ending in "\r\n"
    const std::vector<std::uint8_t>* body = nullptr;
    bool retrySafe = false;             // the operation may be sent twice after a connection failure
};

// One response whose certificate has passed. Calls come in this order: cookies, status, then (only
// for an accepted status) body and content type.
class TransportResponse {
public:
    virtual ~TransportResponse() = default;
    // Every Set-Cookie header, in order, as UTF-8 (the list ends at the first unreadable one).
    virtual std::vector<std::string> setCookies() = 0;
    // Throws "Resposta invalida." when the status cannot be read.
    virtual int status() = 0;
    // Reads the whole body; throws "Resposta do servidor muito grande." before storing more than
    // `limit` bytes.
    virtual std::vector<std::uint8_t> readBody(std::uint64_t limit) = 0;
    // The same, read into `buffer`'s storage when the transport can reuse it (pack ranges: one
    // allocation for a whole pack). Only for bodies that hold no secret.
    virtual std::vector<std::uint8_t> readBodyInto(std::vector<std::uint8_t> buffer, std::uint64_t limit) {
        (void)buffer;
        return readBody(limit);
    }
    // The Content-Type header (up to 256 bytes), or nothing when the response has none.
    virtual std::optional<std::string> contentType() = 0;
};

class BackendTransport {
public:
    virtual ~BackendTransport() = default;
    // Replaces the session and connection (throws "HTTPS indisponivel." / "Backend indisponivel.").
    virtual void reopen() = 0;
    // Sends "POST /client/v1"; throws the player's message for any transport failure.
    virtual std::unique_ptr<TransportResponse> send(const TransportRequest& request) = 0;
};

}  // namespace nyra
