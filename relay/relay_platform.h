#pragma once
// What the game-traffic relay needs from the platform: loopback listeners and the game's accepted
// connections, the owner test that tells whether a connection belongs to the game process, and the
// WebSocket streams to the backend. The relay's rules (relay/game_tunnel.*) run over these; the
// product binds them to Windows Sockets, the TCP owner table and WinHTTP (relay/win/, net/win/),
// and the native tests to scripted stand-ins.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/clock.h"
#include "relay/admission.h"

namespace nyra {

// One accepted game connection. One thread reads, one writes; shutdownBoth and close may come
// from any thread.
class GameSocket {
public:
    virtual ~GameSocket() = default;
    // Bytes read into `buffer`: 0 when the game closed its end, nullopt on an error.
    virtual std::optional<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
    // Some of `bytes` written: the count, or nullopt on an error (0 counts as a failure too).
    virtual std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) = 0;
    // As much of `bytes` as the socket takes without waiting: the count (0 when it would have to
    // wait), or nullopt on an error.
    virtual std::optional<std::size_t> writeNow(std::span<const std::uint8_t> bytes) = 0;
    // Both directions shut down without releasing the socket: blocked reads and writes return.
    virtual void shutdownBoth() noexcept = 0;
    // Releases the socket; idempotent.
    virtual void close() noexcept = 0;
};

struct AcceptedConnection {
    std::unique_ptr<GameSocket> socket;
    Ipv4Address clientAddress{};   // the game's end of the connection
    std::uint16_t clientPort = 0;
};

// A listening TCP socket on 127.0.0.1, port chosen by the system, exclusive use, backlog 8.
class GameListener {
public:
    virtual ~GameListener() = default;
    virtual std::uint16_t port() const = 0;
    // Waits for the next connection; nullopt when the listener was shut or can accept no more.
    // A connection without a socket is one that failed on its own (the client reset it before it
    // was taken): the listener goes on.
    virtual std::optional<AcceptedConnection> accept() = 0;
    // Ends a waiting accept and refuses further ones; idempotent.
    virtual void shut() noexcept = 0;
};

// One WebSocket stream to the backend's relay (nyra::Http::GameStream in the product).
class RelayStream {
public:
    enum class Message { Binary, BinaryFragment, Text, TextFragment, Close, Other };
    struct Received {
        Message type = Message::Other;
        std::size_t size = 0;
    };

    virtual ~RelayStream() = default;
    // The 43-character resume identity, or empty when the server offers no resumption.
    virtual const std::string& resumeId() const = 0;
    // What the server said it had received from this connection when the stream opened.
    virtual std::uint64_t resumeReceived() const = 0;
    // One message or fragment into `buffer`; nullopt when receiving failed (a closed stream too).
    virtual std::optional<Received> receive(std::span<std::uint8_t> buffer) = 0;
    // After a Close message: the status the server sent; nullopt when it cannot be read.
    virtual std::optional<std::uint16_t> closeStatus() = 0;
    virtual bool sendBinary(std::span<const std::uint8_t> bytes) = 0;
    virtual bool sendText(std::string_view text) = 0;
    // Whether the WebSocket handle is still held.
    virtual bool isOpen() const = 0;
    // Ends the stream with status 1000 (the game closed its connection).
    virtual void closeNormally() noexcept = 0;
    // Answers the server's close frame with one of ours (`status` echoed when it may be sent,
    // 1000 otherwise); nothing else is sent on the stream after it.
    virtual void answerClose(std::uint16_t status) noexcept = 0;
    // Closes the WebSocket handle: exactly once whoever calls, and a waiting receive returns.
    virtual void abort() noexcept = 0;
};

// Lets stop end a stream opening from another thread: the platform registers how to break the
// call its opening thread is blocked in (in the product: closing the WinHTTP request and
// connection handles, which is how a synchronous WinHTTP call is cancelled).
class OpeningCancel {
public:
    // Breaks the opening under way, and refuses every later one before it begins; idempotent.
    void cancel() noexcept {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        if (breakOpening_) {
            breakOpening_();
            breakOpening_ = nullptr;
            broke_ = true;
        }
    }
    bool cancelled() const noexcept {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }
    // The platform's side. `breakOpening` is called at most once, from the cancelling thread,
    // until leave. False (nothing registered) when cancelled already: the opening must not go on.
    bool enter(std::function<void()> breakOpening) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return false;
        breakOpening_ = std::move(breakOpening);
        broke_ = false;
        return true;
    }
    // After this, cancel no longer touches the opening. True when it was broken: what
    // `breakOpening` released is no longer the opening's to release.
    bool leave() noexcept {
        std::lock_guard lock(mutex_);
        breakOpening_ = nullptr;
        return std::exchange(broke_, false);
    }

private:
    mutable std::mutex mutex_;
    std::function<void()> breakOpening_;
    bool cancelled_ = false;
    bool broke_ = false;
};

class RelayPlatform {
public:
    virtual ~RelayPlatform() = default;
    // A new loopback listener. Throws the player's message of the step that failed.
    virtual std::unique_ptr<GameListener> listen() = 0;
    // One attempt to open a stream with these request header lines. Throws nyra::HttpError with
    // the status when the server refused the upgrade, std::runtime_error with the player's message
    // otherwise (an attempt that `cancel` broke or refused too).
    virtual std::shared_ptr<RelayStream> openStream(const std::string& headers, OpeningCancel& cancel) = 0;
    // Who holds the client's end of this loopback connection: process `gameProcessId`, another
    // process, or (not yet) listed.
    virtual ConnectionOwner connectionOwner(std::uint32_t gameProcessId, const LoopbackConnection& connection) = 0;
    // Tick count and waits (the relay waits in 50-ms steps).
    virtual Clock& clock() = 0;
};

}  // namespace nyra
