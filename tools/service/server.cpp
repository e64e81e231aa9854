#include "tools/service/server.h"

#include "tools/service/upgrade.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nyra::service {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

ListenAddress parseListenAddress(const std::string& text) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            throw std::invalid_argument("bad listen address " + text);
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            throw std::invalid_argument("listen address needs host:port: " + text);
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        throw std::invalid_argument("bad port in " + text);
    }
    boost::system::error_code error;
    net::ip::make_address(host, error);
    if (error) {
        throw std::invalid_argument("bad host in " + text + " (an IP literal or localhost)");
    }
    return ListenAddress{host, static_cast<std::uint16_t>(std::stoul(port))};
}

namespace {

// A request target in absolute form ("https://host/path?query"), which HTTP/1.1 servers must accept
// and which some clients send inside a proxy tunnel, as the origin form the handlers route on.
std::string originForm(std::string_view target) {
    for (const std::string_view scheme : {"https://", "http://"}) {
        if (target.size() >= scheme.size() && equalsIgnoreCase(target.substr(0, scheme.size()), scheme)) {
            const auto path = target.find_first_of("/?", scheme.size());
            if (path == std::string_view::npos) return "/";
            return (target[path] == '?' ? "/" : "") + std::string(target.substr(path));
        }
    }
    return std::string(target);
}

constexpr int kSliceMs = 100;

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Connection {
    std::thread thread;
    int fd = -1;  // guarded by the server mutex; -1 once the connection closed its socket
    std::atomic<bool> finished{false};
    // While the connection waits for the peer: the steady-clock millisecond after which the
    // accept loop shuts the socket down (0: no deadline).
    std::atomic<std::int64_t> deadline{0};
};

std::string reasonFor(unsigned status) {
    return std::string(http::obsolete_reason(static_cast<http::status>(status)));
}

}  // namespace

struct HttpServer::Impl {
    ServerOptions options;
    Handler handler;
    TlsContextSource tls;
    net::io_context io;  // never run: the sockets are used with blocking calls only
    std::unique_ptr<tcp::acceptor> acceptor;
    std::thread acceptThread;
    std::atomic<bool> stopping{false};
    std::atomic<AcceptMode> mode{AcceptMode::Accept};
    int modeConnections = 0;  // under mutex; 0: the mode lasts until changed
    mutable std::mutex mutex;
    std::condition_variable stopSignal;
    std::list<Connection> connections;
    std::uint16_t boundPort = 0;
    bool started = false;

    // Shuts down the sockets whose peer has been silent past their deadline; the blocked read
    // of that connection then fails and its thread ends.
    void expireIdle() {
        const std::int64_t now = steadyMs();
        std::lock_guard lock(mutex);
        for (auto& connection : connections) {
            const std::int64_t deadline = connection.deadline;
            if (deadline != 0 && now > deadline && connection.fd >= 0) {
                ::shutdown(connection.fd, SHUT_RDWR);
            }
        }
    }

    void acceptLoop() {
        while (!stopping) {
            reap(false);
            expireIdle();
            pollfd entry{acceptor->native_handle(), POLLIN, 0};
            if (::poll(&entry, 1, kSliceMs) <= 0 || mode == AcceptMode::Ignore) {
                continue;
            }
            boost::system::error_code error;
            tcp::socket socket(options.socketContext != nullptr ? *options.socketContext : io);
            acceptor->accept(socket, error);
            if (error) {
                continue;
            }
            socket.non_blocking(false, error);
            const AcceptMode applied = takeMode();
            if (applied == AcceptMode::Reset || openCount() >= options.maxConnections) {
                socket.set_option(net::socket_base::linger(true, 0), error);
                socket.close(error);
                continue;
            }
            std::lock_guard lock(mutex);
            auto& connection = connections.emplace_back();
            connection.fd = socket.native_handle();
            connection.thread = std::thread([this, &connection, s = std::move(socket)]() mutable {
                serve(std::move(s), connection);
                connection.finished = true;
            });
        }
    }

    // The mode for one accepted connection; a counted mode returns to Accept when used up.
    AcceptMode takeMode() {
        std::lock_guard lock(mutex);
        const AcceptMode current = mode;
        if (current != AcceptMode::Accept && modeConnections > 0 && --modeConnections == 0) {
            mode = AcceptMode::Accept;
        }
        return current;
    }

    std::size_t openCount() const {
        std::lock_guard lock(mutex);
        std::size_t count = 0;
        for (const auto& connection : connections) {
            count += connection.finished ? 0u : 1u;
        }
        return count;
    }

    void reap(bool all) {
        std::list<Connection> done;
        {
            std::lock_guard lock(mutex);
            for (auto it = connections.begin(); it != connections.end();) {
                if (all || it->finished) {
                    auto next = std::next(it);
                    done.splice(done.end(), connections, it);
                    it = next;
                } else {
                    ++it;
                }
            }
        }
        for (auto& connection : done) {
            if (connection.thread.joinable()) {
                connection.thread.join();
            }
        }
    }

    // Marks the socket as closed for stop(), so it never touches a reused descriptor.
    void forget(Connection& connection) {
        std::lock_guard lock(mutex);
        connection.fd = -1;
    }

    void serve(tcp::socket socket, Connection& connection) {
        std::string remote;
        boost::system::error_code error;
        const auto endpoint = socket.remote_endpoint(error);
        if (!error) {
            remote = endpoint.address().to_string();
        }
        if (!tls) {
            serveStream(socket, connection, remote, nullptr);
            forget(connection);
            socket.shutdown(tcp::socket::shutdown_both, error);
            socket.close(error);
            return;
        }
        auto context = tls();
        // On the heap, so that a WebSocket upgrade can hand it over whole.
        auto owned = std::make_unique<TlsStream>(std::move(socket), *context);
        auto& stream = *owned;
        connection.deadline = steadyMs() + options.handshakeTimeoutMs;
        stream.handshake(ssl::stream_base::server, error);
        connection.deadline = 0;
        Ending ending = Ending::Abrupt;
        if (!error) {
            ending = serveStream(stream, connection, remote, &owned);
        }
        if (ending == Ending::HandedOver) {
            return;  // the upgrade's owner has the stream now
        }
        auto& lowest = stream.next_layer();
        if (ending == Ending::Clean) {
            // Send close_notify without waiting for the peer's.
            lowest.non_blocking(true, error);
            stream.shutdown(error);
        }
        forget(connection);
        lowest.shutdown(tcp::socket::shutdown_both, error);
        lowest.close(error);
    }

    enum class Ending { Clean, Abrupt, HandedOver };

    // Serves requests until the peer closes, the idle time-out, stop(), an error or a WebSocket
    // upgrade (TLS only: `owner` holds the stream then).
    template <class Stream>
    Ending serveStream(Stream& stream, Connection& connection, const std::string& remote,
                       std::unique_ptr<TlsStream>* owner) {
        boost::beast::flat_buffer buffer;
        while (!stopping) {
            http::request_parser<http::string_body> parser;
            parser.header_limit(static_cast<std::uint32_t>(options.headerLimit));
            parser.body_limit(options.bodyLimit);
            boost::system::error_code error;
            // The idle time-out covers the wait for the next request and its reading.
            connection.deadline = steadyMs() + options.idleTimeoutMs;
            http::read(stream, buffer, parser, error);
            connection.deadline = 0;
            if (error == http::error::end_of_stream) {
                return Ending::Clean;
            }
            if (error == http::error::body_limit || error == http::error::header_limit) {
                HttpResponse refusal = textResponse(400, "text/plain; charset=utf-8", "request too large\n");
                refusal.close = true;
                write(stream, refusal, false);
                return Ending::Clean;
            }
            if (error) {
                if (error.category() == http::make_error_code(http::error::bad_target).category()) {
                    HttpResponse refusal = textResponse(400, "text/plain; charset=utf-8", "malformed request\n");
                    write(stream, refusal, false);
                }
                return Ending::Abrupt;
            }
            auto message = parser.release();
            HttpRequest request;
            request.method = std::string(message.method_string());
            request.target = originForm(std::string_view(message.target().data(), message.target().size()));
            const auto question = request.target.find('?');
            request.path = request.target.substr(0, question);
            request.query = question == std::string::npos ? std::string() : request.target.substr(question + 1);
            for (const auto& field : message) {
                request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
            }
            request.body = std::move(message.body());
            request.remoteAddress = remote;
            HttpResponse response;
            try {
                response = handler(request);
            } catch (const std::exception& failure) {
                response = textResponse(500, "text/plain; charset=utf-8", std::string(failure.what()) + "\n");
            }
            if (request.method == "HEAD") {
                response.headOnly = true;
            }
            if (response.upgrade) {
                if (owner == nullptr || response.status != 101 || buffer.size() != 0) {
                    // Plain HTTP, or bytes sent before the handshake was answered.
                    HttpResponse refusal = textResponse(400, "text/plain; charset=utf-8", "bad upgrade\n");
                    refusal.close = true;
                    write(stream, refusal, false);
                    return Ending::Clean;
                }
                forget(connection);
                UpgradedConnection upgraded{std::move(*owner), std::move(message)};
                response.upgrade(upgraded);
                return Ending::HandedOver;
            }
            const bool keepAlive =
                message.keep_alive() && !response.close && !response.faults.omitContentLength && !stopping;
            switch (write(stream, response, keepAlive)) {
            case WriteResult::Written:
                break;
            case WriteResult::Dropped:
                dropConnection(stream);
                return Ending::Abrupt;
            case WriteResult::Failed:
                return Ending::Abrupt;
            }
            if (!keepAlive) {
                return Ending::Clean;
            }
        }
        return Ending::Abrupt;
    }

    enum class WriteResult { Written, Dropped, Failed };

    template <class Stream>
    static tcp::socket& lowestLayer(Stream& stream) {
        if constexpr (std::is_same_v<Stream, tcp::socket>) {
            return stream;
        } else {
            return stream.next_layer();
        }
    }

    template <class Stream>
    void dropConnection(Stream& stream) {
        boost::system::error_code error;
        lowestLayer(stream).set_option(net::socket_base::linger(true, 0), error);
        lowestLayer(stream).shutdown(tcp::socket::shutdown_both, error);
    }

    template <class Stream>
    WriteResult write(Stream& stream, HttpResponse& response, bool keepAlive) {
        http::response<http::empty_body> head;
        head.version(11);
        head.result(response.status);
        head.reason(reasonFor(response.status));
        head.set(http::field::server, "nyra-service");
        for (const auto& [name, value] : response.headers) {
            head.insert(name, value);
        }
        const std::uint64_t total = response.bodyLength() + response.faults.padding;
        if (!response.faults.omitContentLength) {
            head.content_length(total);
        }
        head.keep_alive(keepAlive && !response.faults.omitContentLength);
        boost::system::error_code error;
        http::response_serializer<http::empty_body> serializer(head);
        http::write_header(stream, serializer, error);
        if (error) {
            return WriteResult::Failed;
        }
        if (response.headOnly) {
            return WriteResult::Written;
        }
        const std::uint64_t limit = response.faults.dropAfter ? *response.faults.dropAfter : total;
        std::uint64_t sent = 0;
        std::vector<char> block(65536);
        std::ifstream file;
        if (response.file) {
            file.open(response.file->path, std::ios::binary);
            file.seekg(static_cast<std::streamoff>(response.file->offset));
            if (!file) {
                return WriteResult::Failed;
            }
        }
        while (sent < total && sent < limit) {
            const std::uint64_t want = std::min<std::uint64_t>({block.size(), total - sent, limit - sent});
            const std::uint64_t bodyLeft = sent < response.bodyLength() ? response.bodyLength() - sent : 0;
            const std::uint64_t fromBody = std::min(want, bodyLeft);
            if (fromBody > 0) {
                if (response.file) {
                    file.read(block.data(), static_cast<std::streamsize>(fromBody));
                    if (static_cast<std::uint64_t>(file.gcount()) != fromBody) {
                        return WriteResult::Failed;  // the file shrank: end the connection
                    }
                } else {
                    std::copy_n(response.body.data() + sent, fromBody, block.data());
                }
            }
            std::fill(block.begin() + static_cast<std::ptrdiff_t>(fromBody),
                      block.begin() + static_cast<std::ptrdiff_t>(want), '\0');
            if (response.faults.flipAt && *response.faults.flipAt >= sent && *response.faults.flipAt < sent + want) {
                auto& byte = block[*response.faults.flipAt - sent];
                byte = static_cast<char>(~byte);
            }
            net::write(stream, net::buffer(block.data(), want), error);
            if (error) {
                return WriteResult::Failed;
            }
            sent += want;
        }
        if (response.faults.dropAfter && sent < total) {
            return WriteResult::Dropped;
        }
        return WriteResult::Written;
    }
};

HttpServer::HttpServer(ServerOptions options, Handler handler, TlsContextSource tls)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->handler = std::move(handler);
    impl_->tls = std::move(tls);
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
    auto& impl = *impl_;
    const tcp::endpoint endpoint(net::ip::make_address(impl.options.listen.host), impl.options.listen.port);
    impl.acceptor = std::make_unique<tcp::acceptor>(impl.io);
    impl.acceptor->open(endpoint.protocol());
    impl.acceptor->set_option(net::socket_base::reuse_address(true));
    impl.acceptor->bind(endpoint);
    impl.acceptor->listen(net::socket_base::max_listen_connections);
    impl.acceptor->non_blocking(true);
    impl.boundPort = impl.acceptor->local_endpoint().port();
    impl.started = true;
    impl.acceptThread = std::thread([&impl] { impl.acceptLoop(); });
}

void HttpServer::stop() {
    auto& impl = *impl_;
    if (!impl.started) {
        return;
    }
    impl.started = false;
    {
        std::lock_guard lock(impl.mutex);
        impl.stopping = true;
    }
    impl.stopSignal.notify_all();
    if (impl.acceptThread.joinable()) {
        impl.acceptThread.join();
    }
    {
        std::lock_guard lock(impl.mutex);
        for (auto& connection : impl.connections) {
            if (connection.fd >= 0) {
                ::shutdown(connection.fd, SHUT_RDWR);  // wakes blocking reads and writes
            }
        }
    }
    impl.reap(true);
    boost::system::error_code error;
    impl.acceptor->close(error);
}

std::uint16_t HttpServer::port() const { return impl_->boundPort; }

std::string HttpServer::address() const {
    const auto& host = impl_->options.listen.host;
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->boundPort);
}

void HttpServer::setAcceptMode(AcceptMode mode, int connections) {
    std::lock_guard lock(impl_->mutex);
    impl_->mode = mode;
    impl_->modeConnections = mode == AcceptMode::Reset && connections > 0 ? connections : 0;
}
AcceptMode HttpServer::acceptMode() const { return impl_->mode; }
std::size_t HttpServer::openConnections() const { return impl_->openCount(); }

bool HttpServer::pause(int milliseconds) {
    std::unique_lock lock(impl_->mutex);
    impl_->stopSignal.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return impl_->stopping.load(); });
    return !impl_->stopping;
}

}  // namespace nyra::service
