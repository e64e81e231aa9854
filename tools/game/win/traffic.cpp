#include "tools/game/win/traffic.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/game/guard_protocol.h"
#include "tools/game/traffic_check.h"
#include "tools/game/win/pipe_client.h"

namespace nyra::standin {
namespace {

using nlohmann::json;

constexpr std::size_t kEchoSlice = 16384;  // sent, then its echo read back, so nothing piles up
constexpr std::size_t kRoundBytes = 256;
constexpr DWORD kSocketTimeoutMs = 30000;

std::runtime_error socketFailure(const std::string& what) {
    return std::runtime_error(systemFailure(what, static_cast<DWORD>(::WSAGetLastError())));
}

void sendAll(SOCKET socket, const std::vector<std::uint8_t>& bytes, std::uint64_t& sent) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
        const int written = ::send(socket, reinterpret_cast<const char*>(bytes.data() + at), chunk, 0);
        if (written == SOCKET_ERROR) throw socketFailure("sending");
        at += static_cast<std::size_t>(written);
        sent += static_cast<std::uint64_t>(written);
    }
}

// Reads until everything owed has arrived, checking every byte.
void receiveOwed(SOCKET socket, ChannelCheck& check) {
    std::vector<std::uint8_t> buffer(65536);
    while (check.owed() > 0) {
        const int wanted = static_cast<int>(std::min<std::uint64_t>(check.owed(), buffer.size()));
        const int got = ::recv(socket, reinterpret_cast<char*>(buffer.data()), wanted, 0);
        if (got == SOCKET_ERROR) throw socketFailure("receiving");
        if (got == 0) {
            throw std::runtime_error("the connection was closed after " + std::to_string(check.received()) +
                                     " bytes; " + std::to_string(check.owed()) + " more were owed");
        }
        if (!check.receive(std::span(buffer.data(), static_cast<std::size_t>(got)))) {
            throw std::runtime_error("byte " + std::to_string(*check.mismatch()) + " differs from what the server owed");
        }
    }
}

}  // namespace

GameTraffic::GameTraffic(ResultRecord& record, std::uint32_t seededBytes, std::uint32_t roundMs)
    : record_(record),
      seededBytes_(seededBytes),
      roundMs_(roundMs),
      stopEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!stopEvent_) throw std::runtime_error(systemFailure("creating the traffic's stop event", ::GetLastError()));
}

GameTraffic::~GameTraffic() { stop(); }

void GameTraffic::start(const std::array<std::uint16_t, 3>& ports) {
    if (started_.exchange(true) || stopping_) return;
    for (std::size_t channel = 0; channel < ports.size(); ++channel) {
        if (ports[channel] == 0) continue;
        threads_[channel] = std::thread([this, channel, port = ports[channel]] { runChannel(channel, port); });
    }
}

void GameTraffic::stop() noexcept {
    stopping_ = true;
    ::SetEvent(stopEvent_.get());
    {
        // Shut down, not closed: the channel's thread still owns the socket.
        std::lock_guard lock(socketsMutex_);
        for (const SOCKET socket : sockets_) {
            if (socket != INVALID_SOCKET) ::shutdown(socket, SD_BOTH);
        }
    }
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

void GameTraffic::runChannel(std::size_t channel, std::uint16_t port) noexcept {
    const std::string name(kChannelNames[channel]);
    const auto report = [&](json patch) { record_.merge({{"traffic", {{name, std::move(patch)}}}}); };
    std::uint64_t sent = 0;
    ChannelCheck check((std::uint64_t{::GetCurrentProcessId()} << 8) | channel, seededBytes_);
    const auto counts = [&] {
        return json{{"sent", sent}, {"received", check.received()}, {"payload_bytes", check.payloadSent()}};
    };
    report({{"port", port}, {"state", "connecting"}});
    try {
        win::UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!socket) throw socketFailure("creating a socket");
        {
            std::lock_guard lock(socketsMutex_);
            if (stopping_) return;
            sockets_[channel] = socket.get();
        }
        const struct Forget {
            GameTraffic& traffic;
            std::size_t channel;
            ~Forget() {
                std::lock_guard lock(traffic.socketsMutex_);
                traffic.sockets_[channel] = INVALID_SOCKET;
            }
        } forget{*this, channel};

        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = ::htons(port);
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
            throw socketFailure("connecting to 127.0.0.1:" + std::to_string(port));
        }
        const BOOL noDelay = TRUE;
        const DWORD timeout = kSocketTimeoutMs;
        ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        report({{"state", "exchanging"}});

        sendAll(socket.get(), check.opening(), sent);
        receiveOwed(socket.get(), check);
        const std::uint64_t echoed = seededBytes_ / 2;
        while (check.payloadSent() < echoed) {
            sendAll(socket.get(), check.payload(static_cast<std::size_t>(
                                      std::min<std::uint64_t>(kEchoSlice, echoed - check.payloadSent()))),
                    sent);
            receiveOwed(socket.get(), check);
        }
        json verified = counts();
        verified["state"] = "verified";
        verified["verified"] = true;
        verified["seeded_bytes"] = seededBytes_;
        report(verified);

        for (std::uint64_t rounds = 1; ::WaitForSingleObject(stopEvent_.get(), roundMs_) == WAIT_TIMEOUT; ++rounds) {
            sendAll(socket.get(), check.payload(kRoundBytes), sent);
            receiveOwed(socket.get(), check);
            json round = counts();
            round["echo_rounds"] = rounds;
            report(round);
        }
        report({{"state", "closed"}});
    } catch (const std::exception& error) {
        if (stopping_) {
            report({{"state", "closed"}});
            return;
        }
        json failed = counts();
        failed["state"] = "failed";
        failed["verified"] = false;
        failed["error"] = error.what();
        report(failed);
    }
}

}  // namespace nyra::standin
