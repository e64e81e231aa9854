#pragma once
// The game-traffic relay of one game session: three loopback listeners (login, world, zone), and
// for every admitted game connection a peer whose bytes travel to the game servers over its own
// WebSocket stream. On resumable streams both ends acknowledge what they received, the launcher
// keeps what the server has not acknowledged, and a broken stream is replaced by one that carries
// on from the exact byte where the old one stopped.
//
// Threads: one accept thread per listener; per peer a worker (admission, streams, receiving from
// the server, resumption) and its companions: the to-game writer, the to-server reader and, on
// resumable streams, the acknowledger; after a resumption with bytes to resend, a resender sends
// them while the worker already receives on the new stream.
// Lock order: a peer's resendLock may be held while taking the same peer's lock, never the
// reverse; the to-game queue's lock is never held with another; peersLock is held while finished
// workers are joined, and workers never take it.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "relay/relay_platform.h"
#include "relay/resend_buffer.h"
#include "relay/to_game_queue.h"
#include "relay/tunnel_rules.h"

namespace nyra {

class GameTunnel {
public:
    // One accepted game connection and the state of its streams. Shared by the tunnel, the worker
    // and the worker's companions.
    class Peer {
    public:
        explicit Peer(std::unique_ptr<GameSocket> socket);

        // The connection is ending: the to-game queue closes, the socket is shut down in both
        // directions (blocked reads and writes return) and the current stream is aborted.
        void close() noexcept;
        // close, then the socket is released, the stream dropped and the peer marked finished.
        void finish() noexcept;

        bool finished() const noexcept { return finished_.load(); }

    private:
        friend class GameTunnel;

        // Guards socket_ and stream_.
        std::mutex lock_;
        std::unique_ptr<GameSocket> socket_;
        std::shared_ptr<RelayStream> stream_;
        GameSocket* io_ = nullptr;  // socket_ for the companions, valid until finish

        ToGameQueue toGame_{kToGameCapacity};

        // Guards the fields below it up to receivedTotal, and every send on currentStream_.
        std::mutex resendLock_;
        ResendBuffer resend_{kResendLimit};
        std::shared_ptr<RelayStream> currentStream_;
        // A resumed stream whose resend is still going out: game bytes read meanwhile join the
        // resend buffer and leave with it; currentStream_ stays null until the resend is done.
        std::shared_ptr<RelayStream> resending_;
        // The game closed while its stream was being resumed: the worker sends the close frame
        // once the resumption's resend has gone out, and ends the connection.
        bool closeAfterResume_ = false;
        std::uint64_t lastAckSent_ = 0;
        std::uint64_t lastAckTime_ = 0;

        // Every game byte ever buffered for the server (ackedBase + buffered), the bound of a valid
        // server acknowledgement; written under resendLock_, read without it.
        std::atomic<std::uint64_t> bufferedEnd_{0};
        // The highest server acknowledgement not yet applied to resend_. The worker never waits
        // for resendLock_ (a resend may hold it for long), so whoever holds it next applies this.
        std::atomic<std::uint64_t> pendingAck_{0};
        // The worker's: sends the resend buffer on a resumed stream while the worker receives.
        std::thread resender_;

        std::size_t channel_ = 0;
        bool resumable_ = false;  // set before the companions start
        // Stop breaks an opening under way through this.
        OpeningCancel opening_;
        // The last resumption's resend has not gone out yet: a break now is a failed attempt of
        // that resumption (its waits and its 45 s go on), not a new one.
        std::atomic<bool> resendPending_{false};
        // The stream whose server sent a close frame: a resend going out on it stops.
        std::atomic<const RelayStream*> serverClosed_{nullptr};

        std::atomic<std::uint64_t> receivedTotal_{0};
        std::atomic<std::uint64_t> writtenToGame_{0};  // the game is still reading while this grows
        std::atomic<std::uint64_t> lastActivity_{0};
        std::atomic<bool> closing_{false};
        std::atomic<bool> workerDone_{false};
        std::atomic<bool> writerDone_{false};
        // The server ended the stream normally: what it sent is being delivered, nothing more
        // goes to it.
        std::atomic<bool> serverEnded_{false};
        std::atomic<bool> companionsDone_{false};
        std::atomic<bool> finished_{false};
    };

    // Opens the three listeners in channel order and starts their accept threads. Throws the
    // platform's message when a listener cannot be opened; what was opened is stopped first.
    // `baseHeaders` (cookies and tokens) is wiped at stop.
    GameTunnel(std::string baseHeaders, std::shared_ptr<RelayPlatform> platform);
    ~GameTunnel();
    GameTunnel(const GameTunnel&) = delete;
    GameTunnel& operator=(const GameTunnel&) = delete;

    // {"6543": login port, "5712": world port, "10166": zone port}.
    nlohmann::json portMap() const;
    // login_streams, world_streams, zone_streams, resumed_streams, open_retries, sent_bytes,
    // received_bytes; still the final counters after stop.
    nlohmann::json stats() const;
    void setGameProcessId(std::uint32_t processId) noexcept { gameProcessId_.store(processId); }
    // The relay can no longer carry the game's traffic.
    bool failed() const noexcept { return failed_.load(); }
    // The message of the first failure that had one, for the session's diagnostics; empty otherwise.
    std::string failureMessage() const;
    // Ends every thread and connection; idempotent.
    void stop() noexcept;

    // Who holds the client's end of this connection to one of the listeners; a connection that
    // is not 127.0.0.1 on both ends is never the game's.
    ConnectionOwner isGameConnection(const LoopbackConnection& connection);

private:
    struct PeerEntry {
        std::shared_ptr<Peer> peer;
        std::thread worker;
    };
    enum class Ending { Normal, Broken };
    // One resumption, across the streams whose resend broke before it went out.
    struct ResumeSchedule {
        std::uint64_t start = 0;
        int failedAttempts = 0;
        // What the server held at the last attempt: a server that has taken more since (by
        // acknowledgement or by the next stream's count) is moving on, and a new resumption begins.
        std::uint64_t serverHeld = 0;
    };

    void acceptLoop(std::size_t channel);
    void relayPeer(const std::shared_ptr<Peer>& peer, std::size_t channel, const LoopbackConnection& connection);
    bool admit(const LoopbackConnection& connection);
    std::shared_ptr<RelayStream> openStream(Peer& peer, const std::string& headers);
    Ending receiveUntilBroken(Peer& peer, RelayStream& stream, bool resumable, SecretBytes& buffer,
                              std::string& controlText);
    // Replaces a broken stream; on a final refusal `refusal` holds the server's message. What the
    // server lacks is resent by the peer's resender while the worker receives on the new stream.
    // A resumption counts (resumed_streams) once its resend has gone out.
    bool resume(const std::shared_ptr<Peer>& peer, std::size_t channel, const std::string& headers,
                const std::string& resumeId, ResumeSchedule& schedule, std::string& refusal);
    void resend(const std::shared_ptr<Peer>& peer, const std::shared_ptr<RelayStream>& stream);
    // The server closed `stream`: our close answers it at once, and nothing else follows on it.
    static void answerServerClose(Peer& peer, RelayStream& stream, std::uint16_t status);
    // Under the peer's resendLock with a resend pending: sends it, then makes its stream current
    // and counts the resumption.
    void completeResend(Peer& peer);
    // Under the peer's resendLock: the server's latest acknowledgement leaves the resend buffer.
    static void settleAcknowledgements(Peer& peer);
    bool appendForResend(Peer& peer, std::unique_lock<std::mutex>& resendLock, std::span<const std::uint8_t> bytes);
    // Queues server bytes for the game, waiting while the queue is full and the game reads.
    void deliverToGame(Peer& peer, std::span<const std::uint8_t> bytes);
    void countWrittenToGame(Peer& peer, std::size_t count) noexcept;
    void writeToGame(const std::shared_ptr<Peer>& peer);
    // The game closed (or reset) its end: our close frame follows what it sent. True when the
    // stream is being resumed: the close waits for the resumption, and the worker ends the
    // connection.
    bool closeForGame(Peer& peer);
    void readFromGame(const std::shared_ptr<Peer>& peer, bool resumable);
    void acknowledge(const std::shared_ptr<Peer>& peer);
    // The worker's share of acknowledging: at once when 32 KiB have arrived since the last one.
    void acknowledgeManyBytes(Peer& peer);
    // Under the peer's resendLock, with a current stream: sends `total` as an acknowledgement.
    void sendAcknowledgement(Peer& peer, std::uint64_t total, std::uint64_t now);

    // Waits `ms` in steps, ending early once `done` is true.
    template <typename Done>
    void waitSteps(std::uint32_t ms, Done&& done);
    void fail(const char* message = nullptr) noexcept;
    // A wait of `ms` that stop ends at once.
    void sleepUnlessStopped(std::uint32_t ms) { clock_.sleepUnlessWoken(ms, stopSignal_); }
    bool stopping() const noexcept { return stopping_.load(); }

    std::string baseHeaders_;
    const std::shared_ptr<RelayPlatform> platform_;
    Clock& clock_;

    std::array<std::unique_ptr<GameListener>, kRelayChannelCount> listeners_;
    std::array<std::uint16_t, kRelayChannelCount> ports_{};
    std::array<std::thread, kRelayChannelCount> acceptThreads_;

    std::mutex peersLock_;
    std::vector<PeerEntry> peers_;

    std::atomic<bool> stopping_{false};
    WakeSignal stopSignal_;  // set by stop: every wait ends
    std::atomic<bool> failed_{false};
    std::atomic<std::uint32_t> gameProcessId_{0};
    mutable std::mutex failureLock_;
    std::string failureMessage_;

    std::array<std::atomic<std::uint32_t>, kRelayChannelCount> streamsOpened_{};
    std::array<std::atomic<std::uint32_t>, kRelayChannelCount> streamsResumed_{};
    std::atomic<std::uint32_t> openRetries_{0};
    std::atomic<std::uint64_t> sentBytes_{0};
    std::atomic<std::uint64_t> receivedBytes_{0};
};

}  // namespace nyra
