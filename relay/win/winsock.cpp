#include "relay/win/winsock.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace nyra {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// One send or receive moves at most this much, whatever the span holds.
int chunkOf(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, std::numeric_limits<int>::max())); }

}  // namespace

WinsockSession::WinsockSession() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("Rede do Windows indisponivel.");
}

WinsockSession::~WinsockSession() { ::WSACleanup(); }

WinsockGameSocket::WinsockGameSocket(win::UniqueSocket socket) {
    u_long nonBlocking = 1;
    ::ioctlsocket(socket.get(), static_cast<long>(FIONBIO), &nonBlocking);  // the macro is unsigned, the parameter not
    socket_.store(socket.release());
}

bool WinsockGameSocket::waitFor(short events) const {
    constexpr int kSliceMs = 50;
    while (!shut_.load()) {
        WSAPOLLFD descriptor{};
        descriptor.fd = socket_.load();
        descriptor.events = events;
        const int ready = ::WSAPoll(&descriptor, 1, kSliceMs);
        if (ready > 0) return true;  // readable, writable, closed or failed: the next call tells
        if (ready < 0) return false;
    }
    return false;
}

std::optional<std::size_t> WinsockGameSocket::read(std::span<std::uint8_t> buffer) {
    for (;;) {
        const int got = ::recv(socket_.load(), reinterpret_cast<char*>(buffer.data()), chunkOf(buffer.size()), 0);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (::WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(POLLRDNORM)) return std::nullopt;
    }
}

std::optional<std::size_t> WinsockGameSocket::writeNow(std::span<const std::uint8_t> bytes) {
    const int sent = ::send(socket_.load(), reinterpret_cast<const char*>(bytes.data()), chunkOf(bytes.size()), 0);
    if (sent > 0) return static_cast<std::size_t>(sent);
    if (sent < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    return std::nullopt;
}

std::optional<std::size_t> WinsockGameSocket::write(std::span<const std::uint8_t> bytes) {
    for (;;) {
        const int sent = ::send(socket_.load(), reinterpret_cast<const char*>(bytes.data()), chunkOf(bytes.size()), 0);
        if (sent > 0) return static_cast<std::size_t>(sent);
        if (sent == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(POLLWRNORM)) return std::nullopt;
    }
}

void WinsockGameSocket::shutdownBoth() noexcept {
    shut_.store(true);
    const SOCKET socket = socket_.load();
    if (socket != INVALID_SOCKET) ::shutdown(socket, SD_BOTH);
}

void WinsockGameSocket::close() noexcept {
    const SOCKET socket = socket_.exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET) ::closesocket(socket);
}

WinsockListener::WinsockListener() {
    win::UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) fail("Conexao local indisponivel.");
    // No other program may bind this address while the game uses it.
    BOOL exclusive = TRUE;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                     sizeof(exclusive)) != 0) {
        fail("Protecao da conexao local indisponivel.");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(socket.get(), 8) != 0) {
        fail("Nao foi possivel abrir a entrada local do jogo.");
    }
    sockaddr_in bound{};
    int length = sizeof(bound);
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0 || bound.sin_port == 0) {
        fail("Porta local indisponivel.");
    }
    port_ = ntohs(bound.sin_port);
    socket_.store(socket.release());
}

std::optional<AcceptedConnection> WinsockListener::accept() {
    sockaddr_in client{};
    int length = sizeof(client);
    win::UniqueSocket accepted(::accept(socket_.load(), reinterpret_cast<sockaddr*>(&client), &length));
    AcceptedConnection connection;
    if (!accepted) {
        // A client that reset its connection before it was taken ends only that connection.
        const int error = ::WSAGetLastError();
        if (socket_.load() != INVALID_SOCKET && error == WSAECONNRESET) return connection;
        return std::nullopt;
    }
    if (length < static_cast<int>(sizeof(client)) || client.sin_family != AF_INET) return connection;  // refused
    BOOL noDelay = TRUE;
    ::setsockopt(accepted.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    std::memcpy(connection.clientAddress.data(), &client.sin_addr.s_addr, 4);  // network order
    connection.clientPort = ntohs(client.sin_port);
    connection.socket = std::make_unique<WinsockGameSocket>(std::move(accepted));
    return connection;
}

void WinsockListener::shut() noexcept {
    const SOCKET socket = socket_.exchange(INVALID_SOCKET);
    if (socket == INVALID_SOCKET) return;
    ::shutdown(socket, SD_BOTH);
    ::closesocket(socket);
}

}  // namespace nyra
