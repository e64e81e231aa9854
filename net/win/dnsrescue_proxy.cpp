// The loopback CONNECT proxy of the connectivity fallback: WinHTTP sessions opened while the route
// is on ask it for "CONNECT <service host>:443"; it resolves the host through DNS-over-HTTPS and
// carries the bytes of the TLS connection, which still runs end to end between the launcher and
// the server. Anything but such a request is closed without a reply and reaches no network.
#include "core/deployment.h"
#include "core/win/shell_adapters.h"
#include "net/dnsrescue.h"
#include "net/win/dnsrescue.h"
#include "platform/win/handles.h"
#include "relay/admission.h"
#include "relay/win/tcp_owners.h"

#include <ws2tcpip.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nyra::dnsrescue {
namespace {

constexpr int kBacklog = 32;
constexpr long kConnectTimeoutSeconds = 5;
constexpr int kPumpPiece = 32768;
constexpr DWORD kAcceptRetryMs = 50;

std::atomic<int> tunnels{0};

// Gives back the slot the accept loop took for a handler, on every path.
class TunnelSlot {
public:
    TunnelSlot() = default;
    TunnelSlot(const TunnelSlot&) = delete;
    TunnelSlot& operator=(const TunnelSlot&) = delete;
    ~TunnelSlot() { tunnels.fetch_sub(1); }
};

void setReceiveTimeout(SOCKET socket, DWORD milliseconds) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof(milliseconds));
}

void setSendTimeout(SOCKET socket, DWORD milliseconds) {
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof(milliseconds));
}

// 1 when `socket` has bytes (or its end) within `waitMs`, 0 when not, -1 on an error.
int waitReadable(SOCKET socket, std::uint32_t waitMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval limit{static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
    const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

bool setBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking) == 0;  // the macro is unsigned
}

bool sendAll(SOCKET socket, const char* bytes, int size) {
    while (size > 0) {
        const int sent = ::send(socket, bytes, size, 0);
        if (sent <= 0) return false;
        bytes += sent;
        size -= sent;
    }
    return true;
}

// One byte of the request within `waitMs`.
std::optional<char> readRequestByte(SOCKET client, std::uint32_t waitMs) {
    setReceiveTimeout(client, waitMs);
    char byte = 0;
    if (::recv(client, &byte, 1, 0) != 1) return std::nullopt;
    return byte;
}

// Connects to address:443 within 5 seconds; an invalid socket when it did not.
win::UniqueSocket connectUpstream(const std::string& address) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = ::htons(443);
    if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return {};
    win::UniqueSocket upstream(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!upstream || !setBlocking(upstream.get(), false)) return {};
    if (::connect(upstream.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return {};
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(upstream.get(), &writable);
        FD_SET(upstream.get(), &failed);
        timeval limit{kConnectTimeoutSeconds, 0};
        if (::select(0, nullptr, &writable, &failed, &limit) <= 0 || !FD_ISSET(upstream.get(), &writable)) return {};
        int error = 0;
        int length = sizeof(error);
        if (::getsockopt(upstream.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0) {
            return {};
        }
    }
    if (!setBlocking(upstream.get(), true)) return {};
    return upstream;
}

// Copies one direction until its end, an error or the tunnel's idle limit, then half-closes the
// other side so that the peer sees the end too while the opposite direction carries on. Every read
// (the upstream's included) waits at most what is left of the idle limit; a send that the peer
// does not take within it fails.
void pump(SOCKET from, SOCKET to, TunnelIdleWatch& idle) {
    SystemClock clock;
    std::array<char, kPumpPiece> buffer;
    for (;;) {
        const std::uint32_t left = idle.msLeft(clock.tickMs());
        if (left == 0) break;
        const int ready = waitReadable(from, left);
        if (ready < 0) break;
        if (ready == 0) continue;  // the other direction may have carried bytes meanwhile
        const int got = ::recv(from, buffer.data(), kPumpPiece, 0);
        if (got <= 0 || !sendAll(to, buffer.data(), got)) break;
        idle.noteActivity(clock.tickMs());
    }
    ::shutdown(to, SD_SEND);
}

// Whether this process holds the client's end of an accepted proxy connection (the owner table's
// row of this very connection names us). Anything the table does not show counts as a stranger.
bool launcherOwns(SOCKET client) {
    sockaddr_in peer{};
    sockaddr_in local{};
    int peerLength = sizeof(peer);
    int localLength = sizeof(local);
    if (::getpeername(client, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        ::getsockname(client, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 || peer.sin_family != AF_INET ||
        local.sin_family != AF_INET) {
        return false;
    }
    LoopbackConnection connection;
    std::memcpy(connection.clientAddress.data(), &peer.sin_addr, 4);
    connection.clientPort = ::ntohs(peer.sin_port);
    std::memcpy(connection.listenerAddress.data(), &local.sin_addr, 4);
    connection.listenerPort = ::ntohs(local.sin_port);
    return connectionOwnerOf(static_cast<std::uint32_t>(::GetCurrentProcessId()), connection) == ConnectionOwner::Game;
}

void handleConnection(win::UniqueSocket client, int activeBefore) {
    const TunnelSlot slot;
    if (!tunnelAdmitted(activeBefore, false) && !launcherOwns(client.get())) return;  // a reserved slot
    SystemClock clock;
    const auto request = readConnectRequest(
        [socket = client.get()](std::uint32_t waitMs) { return readRequestByte(socket, waitMs); }, clock);
    if (!request) return;
    const auto host = connectTarget(*request, deployment().serviceDomainSuffix);
    if (!host) return;  // silence: the client learns nothing and no network is touched

    win::UniqueSocket upstream;
    for (const auto& address : resolveViaDoh(*host)) {
        upstream = connectUpstream(address);
        if (upstream) break;
    }
    if (!upstream) {
        sendAll(client.get(), kBadGateway.data(), static_cast<int>(kBadGateway.size()));
        return;
    }
    BOOL noDelay = TRUE;
    ::setsockopt(upstream.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    if (!sendAll(client.get(), kConnectEstablished.data(), static_cast<int>(kConnectEstablished.size()))) return;
    setReceiveTimeout(client.get(), 0);
    setSendTimeout(client.get(), kTunnelIdleMs);
    setSendTimeout(upstream.get(), kTunnelIdleMs);

    TunnelIdleWatch idle(clock.tickMs());
    std::thread downstream;
    try {
        downstream = std::thread(pump, upstream.get(), client.get(), std::ref(idle));
    } catch (const std::exception&) {
        return;  // no second thread: the tunnel cannot run, both sockets close
    }
    pump(client.get(), upstream.get(), idle);
    downstream.join();
}

void acceptLoop(win::UniqueSocket listener) {
    for (;;) {
        win::UniqueSocket client(::accept(listener.get(), nullptr, nullptr));
        if (!client) {
            ::Sleep(kAcceptRetryMs);
            continue;
        }
        // The slot is taken here, before the thread runs, so that a burst of connections can never
        // start more than 64 handlers. Whether one of the reserved slots may stay taken is asked
        // by the handler (reading the owner table takes a while; the accept loop must not wait).
        const int active = tunnels.fetch_add(1);
        if (!tunnelAdmitted(active, true)) {
            tunnels.fetch_sub(1);
            continue;  // closed at once
        }
        try {
            std::thread(handleConnection, std::move(client), active).detach();
        } catch (const std::exception&) {
            tunnels.fetch_sub(1);  // the connection closes with `client` if the thread never took it
        }
    }
}

}  // namespace

int activeTunnels() { return tunnels.load(); }

std::uint16_t startProxyListener() {
    if (!winsockReady()) return 0;
    win::UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) return 0;
    BOOL exclusive = TRUE;
    if (::setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                     sizeof(exclusive)) != 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener.get(), kBacklog) != 0) {
        return 0;
    }
    sockaddr_in bound{};
    int length = sizeof(bound);
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    const std::uint16_t port = ::ntohs(bound.sin_port);
    if (port == 0) return 0;
    try {
        std::thread(acceptLoop, std::move(listener)).detach();
    } catch (const std::exception&) {
        return 0;
    }
    return port;
}

}  // namespace nyra::dnsrescue
