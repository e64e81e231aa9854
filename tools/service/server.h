#pragma once
// The HTTP/1.1 listener of the service: one accept thread and one thread per connection with
// blocking I/O, keep-alive, TLS (or plain HTTP for the control endpoint), answers streamed from
// disk, and the connection-level faults (reset, stop accepting, drop mid-body).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/service/http_types.h"

namespace boost::asio {
class io_context;
}
namespace boost::asio::ssl {
class context;
}

namespace nyra::service {

// Reset: accept and reset at once. Ignore: stop accepting (connections wait in the backlog).
enum class AcceptMode { Accept, Reset, Ignore };

struct ListenAddress {
    std::string host;  // IPv4 or IPv6 literal, or "localhost"
    std::uint16_t port = 0;
};
// "127.0.0.1:443", "[::1]:0", "localhost:8443"; throws std::invalid_argument.
ListenAddress parseListenAddress(const std::string& text);

struct ServerOptions {
    ListenAddress listen;
    std::size_t maxConnections = 256;
    int idleTimeoutMs = 65000;
    int handshakeTimeoutMs = 10000;
    std::size_t bodyLimit = 65536;
    std::size_t headerLimit = 16384;
    // When set, accepted sockets belong to this context (which another thread runs), so that a
    // connection handed over after a WebSocket upgrade continues there with asynchronous I/O.
    // The listener itself only ever uses them with blocking calls.
    boost::asio::io_context* socketContext = nullptr;
};

class HttpServer {
public:
    using Handler = std::function<HttpResponse(HttpRequest&)>;
    // Supplies the TLS context for each new connection (the served certificate can change at run
    // time); null for plain HTTP.
    using TlsContextSource = std::function<std::shared_ptr<boost::asio::ssl::context>()>;

    HttpServer(ServerOptions options, Handler handler, TlsContextSource tls);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    void start();  // binds and listens; throws when the address cannot be used
    // Stops accepting, interrupts every connection and joins all threads. Idempotent.
    void stop();

    std::uint16_t port() const;
    std::string address() const;  // "127.0.0.1:44321" or "[::1]:44321"
    // `connections` > 0: a Reset applies to that many connections, then accepting is normal
    // again; otherwise the mode lasts until changed.
    void setAcceptMode(AcceptMode mode, int connections = 0);
    AcceptMode acceptMode() const;
    std::size_t openConnections() const;

    // Waits up to `milliseconds` or until stop(); false when stopped. For injected delays.
    bool pause(int milliseconds);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nyra::service
