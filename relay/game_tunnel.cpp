#include "relay/game_tunnel.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/http_error.h"
#include "core/text.h"

namespace nyra {
namespace {

constexpr const char* kInvalidControl = "Controle de conexao invalido.";

// Compare-and-swap, so that the 64-bit counters stay exact in a 32-bit process too.
void addCount(std::atomic<std::uint64_t>& counter, std::uint64_t amount) noexcept {
    std::uint64_t seen = counter.load();
    while (!counter.compare_exchange_weak(seen, seen + amount)) {
    }
}

// Header lines carry the session's cookies and tokens: built in one block of the final size, so
// that no grown-out copy is left behind, and wiped by the caller.
std::string joinHeaders(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (const std::string_view part : parts) size += part.size();
    std::string text;
    text.reserve(size);
    for (const std::string_view part : parts) text.append(part);
    return text;
}

}  // namespace

GameTunnel::Peer::Peer(std::unique_ptr<GameSocket> socket) : socket_(std::move(socket)), io_(socket_.get()) {}

void GameTunnel::Peer::close() noexcept {
    closing_.store(true);
    toGame_.close();
    std::lock_guard lock(lock_);
    if (socket_) socket_->shutdownBoth();
    if (stream_) stream_->abort();
}

void GameTunnel::Peer::finish() noexcept {
    close();
    std::shared_ptr<RelayStream> released;
    {
        std::lock_guard lock(lock_);
        if (socket_) socket_->close();
        socket_.reset();
        io_ = nullptr;
        released = std::move(stream_);
    }
    released.reset();
    finished_.store(true);
}

GameTunnel::GameTunnel(std::string baseHeaders, std::shared_ptr<RelayPlatform> platform)
    : baseHeaders_(std::move(baseHeaders)), platform_(std::move(platform)), clock_(platform_->clock()) {
    peers_.reserve(kMaxRelayPeers);  // an admitted peer is appended without allocating
    try {
        for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
            listeners_[channel] = platform_->listen();
            ports_[channel] = listeners_[channel]->port();
        }
        for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
            acceptThreads_[channel] = std::thread([this, channel] { acceptLoop(channel); });
        }
    } catch (...) {
        stop();
        throw;
    }
}

GameTunnel::~GameTunnel() { stop(); }

nlohmann::json GameTunnel::portMap() const { return relayPortMap(ports_); }

nlohmann::json GameTunnel::stats() const {
    nlohmann::json stats = nlohmann::json::object();
    std::uint32_t resumed = 0;
    for (std::size_t channel = 0; channel < kRelayChannelCount; ++channel) {
        stats[std::string(kRelayChannels[channel].counterKey)] = streamsOpened_[channel].load();
        resumed += streamsResumed_[channel].load();
    }
    stats["resumed_streams"] = resumed;
    stats["open_retries"] = openRetries_.load();
    stats["sent_bytes"] = sentBytes_.load();
    stats["received_bytes"] = receivedBytes_.load();
    return stats;
}

std::string GameTunnel::failureMessage() const {
    std::lock_guard lock(failureLock_);
    return failureMessage_;
}

void GameTunnel::fail(const char* message) noexcept {
    if (message != nullptr) {
        try {
            std::lock_guard lock(failureLock_);
            if (failureMessage_.empty()) failureMessage_ = message;
        } catch (...) {  // the flag below is what matters
        }
    }
    failed_.store(true);
}

void GameTunnel::stop() noexcept {
    if (stopping_.exchange(true)) return;
    stopSignal_.set();  // every wait ends at once
    for (auto& listener : listeners_) {
        if (listener) listener->shut();
    }
    for (auto& thread : acceptThreads_) {
        if (thread.joinable()) thread.join();
    }
    for (auto& listener : listeners_) listener.reset();

    std::vector<PeerEntry> entries;
    {
        std::lock_guard lock(peersLock_);
        entries.swap(peers_);
    }
    for (auto& entry : entries) {
        // An opening blocked in the platform (an upgrade the server is slow to answer) is broken
        // rather than waited for.
        entry.peer->opening_.cancel();
        entry.peer->close();
    }
    for (auto& entry : entries) {
        if (entry.worker.joinable()) entry.worker.join();
    }
    wipe(baseHeaders_);
}

template <typename Done>
void GameTunnel::waitSteps(std::uint32_t ms, Done&& done) {
    while (ms > 0 && !done()) {
        const std::uint32_t step = std::min(ms, kRelayStepMs);
        sleepUnlessStopped(step);
        ms -= step;
    }
}

void GameTunnel::acceptLoop(std::size_t channel) {
    GameListener& listener = *listeners_[channel];
    try {
        while (!stopping()) {
            std::optional<AcceptedConnection> accepted = listener.accept();
            if (!accepted) {
                if (!stopping()) fail();
                return;
            }
            if (!accepted->socket) continue;  // that client's own failure, not the listener's
            std::lock_guard lock(peersLock_);
            for (auto entry = peers_.begin(); entry != peers_.end();) {
                if (entry->peer->finished()) {
                    entry->worker.join();
                    entry = peers_.erase(entry);
                } else {
                    ++entry;
                }
            }
            const LoopbackConnection connection{accepted->clientAddress, accepted->clientPort, kLoopbackAddress,
                                                ports_[channel]};
            // A source other than 127.0.0.1 is never the game's: refused before it takes a slot.
            if (stopping() || peers_.size() >= kMaxRelayPeers || !bothEndsAreLoopback(connection)) {
                accepted->socket->close();  // the game sees the connection refused
                continue;
            }
            auto peer = std::make_shared<Peer>(std::move(accepted->socket));
            try {
                std::thread worker([this, peer, channel, connection] { relayPeer(peer, channel, connection); });
                peers_.push_back({peer, std::move(worker)});  // within the reserved room
            } catch (...) {
                peer->finish();
                throw;
            }
        }
    } catch (...) {
        if (!stopping()) fail();
    }
}

ConnectionOwner GameTunnel::isGameConnection(const LoopbackConnection& connection) {
    if (!bothEndsAreLoopback(connection)) return ConnectionOwner::Other;
    const std::uint32_t processId = gameProcessId_.load();
    if (processId == 0) return ConnectionOwner::NotListed;
    try {
        return platform_->connectionOwner(processId, connection);
    } catch (...) {
        return ConnectionOwner::NotListed;
    }
}

bool GameTunnel::admit(const LoopbackConnection& connection) {
    for (int attempt = 0; attempt < kAdmissionTries && !stopping(); ++attempt) {
        if (attempt > 0) sleepUnlessStopped(kAdmissionPauseMs);
        if (stopping()) break;
        switch (isGameConnection(connection)) {
        case ConnectionOwner::Game: return true;
        case ConnectionOwner::Other: return false;  // its slot is free at once, not after 20 checks
        case ConnectionOwner::NotListed: break;
        }
    }
    return false;
}

std::shared_ptr<RelayStream> GameTunnel::openStream(Peer& peer, const std::string& headers) {
    const std::uint64_t start = clock_.tickMs();
    const auto timeIsUp = [&] {
        const std::uint64_t now = clock_.tickMs();
        return now > start && now - start >= kStreamRetryWindowMs;
    };
    const auto peerEnded = [&] { return peer.finished() || peer.closing_.load(); };
    for (int attempt = 1;; ++attempt) {
        if (stopping()) return nullptr;
        try {
            std::shared_ptr<RelayStream> stream = platform_->openStream(headers, peer.opening_);
            if (stream) return stream;
            throw std::runtime_error("Falha ao conectar a entrada do jogo.");
        } catch (const HttpError& error) {
            if (stopping()) return nullptr;
            if (refusalIsFinal(error.status) || peerEnded() || attempt >= kOpenAttempts || timeIsUp()) throw;
        } catch (const std::exception&) {
            if (stopping()) return nullptr;
            if (peerEnded() || attempt >= kOpenAttempts || timeIsUp()) throw;
        }
        openRetries_.fetch_add(1);
        waitSteps(openRetryWaitMs(attempt - 1), [&] { return stopping(); });
    }
}

void GameTunnel::relayPeer(const std::shared_ptr<Peer>& peerHandle, std::size_t channel,
                           const LoopbackConnection& connection) {
    Peer& peer = *peerHandle;
    SecretBytes buffer;
    std::string controlText;
    std::string headers;
    std::string resumeId;  // the first stream's, the identity of every later resumption
    std::thread writer;
    std::thread reader;
    std::thread acknowledger;
    // The server ended the stream (a normal close, or a break it cannot resume): what it sent
    // before is still the game's, so the writer delivers the queue before the connection closes.
    bool deliverQueued = false;
    try {
        if (admit(connection)) {
            headers = joinHeaders({baseHeaders_, "X-Nyra-Game-Channel: ", kRelayChannels[channel].name, "\r\n"});
            std::shared_ptr<RelayStream> stream;
            {
                std::string firstHeaders = joinHeaders({headers, "X-Nyra-Resume: 1\r\n"});
                WipeOnExit wipeFirst(firstHeaders);
                stream = openStream(peer, firstHeaders);
            }
            if (!stream) throw std::runtime_error("Launcher encerrando.");
            streamsOpened_[channel].fetch_add(1);
            resumeId = stream->resumeId();
            const bool resumable = !resumeId.empty();
            {
                std::lock_guard lock(peer.lock_);
                peer.stream_ = stream;
                // A stop or close that ran while the stream was opening did not see it.
                if (stopping() || peer.closing_.load()) stream->abort();
            }
            {
                std::lock_guard lock(peer.resendLock_);
                peer.currentStream_ = stream;
                peer.lastAckTime_ = clock_.tickMs();
            }
            peer.lastActivity_.store(clock_.tickMs());

            peer.resumable_ = resumable;
            writer = std::thread([this, peerHandle] { writeToGame(peerHandle); });
            reader = std::thread([this, peerHandle, resumable] { readFromGame(peerHandle, resumable); });
            if (resumable) acknowledger = std::thread([this, peerHandle] { acknowledge(peerHandle); });

            buffer.resize(kRelayMessageBytes);
            peer.channel_ = channel;
            ResumeSchedule schedule;
            while (!stopping()) {
                const Ending ending = receiveUntilBroken(peer, *stream, resumable, buffer, controlText);
                if (ending == Ending::Normal || !resumable) {
                    deliverQueued = true;
                    break;
                }
                if (stopping() || peer.closing_.load()) break;
                if (peer.resendPending_.load() && peer.pendingAck_.load() <= schedule.serverHeld) {
                    ++schedule.failedAttempts;  // broke before its resend went out, the server taking nothing
                } else {
                    schedule = {clock_.tickMs(), 0, schedule.serverHeld};
                }
                std::string refusal;
                if (!resume(peerHandle, channel, headers, resumeId, schedule, refusal)) {
                    if (!stopping() && !peer.closing_.load()) fail(refusal.empty() ? nullptr : refusal.c_str());
                    break;
                }
                std::lock_guard lock(peer.lock_);
                stream = peer.stream_;
            }
        }
    } catch (const std::exception& error) {
        if (!stopping() && !peer.closing_.load()) fail(error.what());
    } catch (...) {
        if (!stopping() && !peer.closing_.load()) fail();
    }

    wipe(buffer);
    wipe(controlText);
    if (deliverQueued && writer.joinable() && !stopping() && !peer.closing_.load()) {
        peer.serverEnded_.store(true);  // the reader buffers nothing more for a stream that has ended
        peer.toGame_.endAfterDelivery();
        // The writer ends once the queue is written, or when the game's socket fails or stop
        // closes it; a game that takes nothing for kGameStallMs loses the rest, as while relaying.
        std::uint64_t written = peer.writtenToGame_.load();
        std::uint64_t since = clock_.tickMs();
        while (!peer.writerDone_.load() && !stopping()) {
            sleepUnlessStopped(kRelayStepMs);
            const std::uint64_t now = clock_.tickMs();
            if (const std::uint64_t writtenNow = peer.writtenToGame_.load(); writtenNow != written) {
                written = writtenNow;
                since = now;
            } else if (now > since && now - since >= kGameStallMs) {
                break;
            }
        }
    }
    peer.workerDone_.store(true);
    peer.companionsDone_.store(true);
    peer.close();
    for (std::thread* companion : {&writer, &reader, &acknowledger, &peer.resender_}) {
        if (companion->joinable()) companion->join();
    }
    {
        std::lock_guard lock(peer.resendLock_);
        peer.currentStream_.reset();
        peer.resending_.reset();
        peer.resend_.release();  // up to 4 MiB, not kept until the peer is reaped
    }
    wipe(headers);
    wipe(resumeId);
    peer.finish();
}

GameTunnel::Ending GameTunnel::receiveUntilBroken(Peer& peer, RelayStream& stream, bool resumable,
                                                  SecretBytes& buffer, std::string& controlText) {
    wipe(controlText);  // a text cut off by a broken stream does not continue on the next one
    bool textPending = false;
    // WinHTTP hands a message over a TLS record at a time: the pieces of one binary message wait
    // in the buffer and reach the game in one write (each write wakes the game), a buffer at a
    // time for longer messages. Nothing waits beyond the end of the message it belongs to.
    std::size_t held = 0;
    const auto deliverHeld = [&] {
        if (held == 0) return;
        deliverToGame(peer, std::span<const std::uint8_t>(buffer.data(), held));
        addCount(peer.receivedTotal_, held);
        held = 0;
        if (resumable) acknowledgeManyBytes(peer);
    };
    while (!stopping()) {
        const std::span<std::uint8_t> room(buffer.data() + held, buffer.size() - held);
        const std::optional<RelayStream::Received> received = stream.receive(room);
        if (!received) {
            deliverHeld();  // received whole before the break: the game's, and not asked for again
            return Ending::Broken;
        }
        peer.lastActivity_.store(clock_.tickMs());
        const std::size_t size = std::min(received->size, room.size());
        switch (received->type) {
        case RelayStream::Message::Binary:
        case RelayStream::Message::BinaryFragment:
            if (textPending) throw std::runtime_error(kInvalidControl);  // a text message left unfinished
            held += size;
            if (received->type == RelayStream::Message::Binary || held == buffer.size()) deliverHeld();
            break;
        case RelayStream::Message::Text:
        case RelayStream::Message::TextFragment: {
            deliverHeld();  // the text's bytes lie after them in the buffer and stay in place
            if (!resumable || size > kMaxAcknowledgementDigits - controlText.size()) {
                throw std::runtime_error(kInvalidControl);
            }
            controlText.append(reinterpret_cast<const char*>(room.data()), size);
            textPending = received->type == RelayStream::Message::TextFragment;
            if (textPending) break;
            const std::optional<std::uint64_t> total = parseAcknowledgement(controlText);
            wipe(controlText);
            // Beyond every byte ever handed to the server: impossible.
            if (!total || *total > peer.bufferedEnd_.load()) throw std::runtime_error(kInvalidControl);
            std::uint64_t pending = peer.pendingAck_.load();
            while (pending < *total && !peer.pendingAck_.compare_exchange_weak(pending, *total)) {
            }
            // Applied now if the buffer is free; otherwise by whoever holds it (a long resend).
            std::unique_lock lock(peer.resendLock_, std::try_to_lock);
            if (lock.owns_lock()) settleAcknowledgements(peer);
            break;
        }
        case RelayStream::Message::Close: {
            deliverHeld();
            const std::optional<std::uint16_t> status = stream.closeStatus();
            answerServerClose(peer, stream, status.value_or(1000));
            return status && *status == 1000 ? Ending::Normal : Ending::Broken;
        }
        default:
            deliverHeld();
            return Ending::Broken;
        }
    }
    return Ending::Broken;
}

void GameTunnel::answerServerClose(Peer& peer, RelayStream& stream, std::uint16_t status) {
    // Nothing more goes out on a stream the server has closed but our own close frame, at once
    // (a resend under way on it stops at its next piece). Taken in turn with every other send.
    peer.serverClosed_.store(&stream);
    std::lock_guard resendLock(peer.resendLock_);
    if (peer.currentStream_.get() == &stream) peer.currentStream_.reset();
    if (peer.resending_.get() == &stream) peer.resending_.reset();
    stream.answerClose(status);
}

bool GameTunnel::resume(const std::shared_ptr<Peer>& peerHandle, std::size_t channel, const std::string& headers,
                        const std::string& resumeId, ResumeSchedule& schedule, std::string& refusal) {
    Peer& peer = *peerHandle;
    {
        std::lock_guard lock(peer.lock_);
        if (peer.stream_) peer.stream_->abort();  // also ends a resend still going out on it
    }
    if (peer.resender_.joinable()) peer.resender_.join();
    {
        std::lock_guard lock(peer.resendLock_);
        peer.currentStream_.reset();
        peer.resending_.reset();
    }
    const auto ended = [&] { return stopping() || peer.closing_.load(); };
    const auto timeIsUp = [&] {
        const std::uint64_t now = clock_.tickMs();
        return now > schedule.start && now - schedule.start >= kStreamRetryWindowMs;
    };
    peer.resendPending_.store(false);
    // A resend that broke is tried again at once (a storm of drops moves on without pauses); only
    // when the server keeps taking nothing do the waits begin.
    if (schedule.failedAttempts > 1) waitSteps(resumeRetryWaitMs(schedule.failedAttempts - 2), ended);
    while (!ended() && !timeIsUp()) {
        std::shared_ptr<RelayStream> stream;
        try {
            std::string request = joinHeaders({headers, "X-Nyra-Resume-Id: ", resumeId, "\r\nX-Nyra-Resume-Offset: ",
                                               std::to_string(peer.receivedTotal_.load()), "\r\n"});
            WipeOnExit wipeRequest(request);
            stream = platform_->openStream(request, peer.opening_);
            if (!stream) throw std::runtime_error("Falha ao conectar a entrada do jogo.");
            if (stream->resumeId() != resumeId) {
                stream->abort();
                return false;
            }
            if (stream->resumeReceived() > schedule.serverHeld) {
                schedule = {clock_.tickMs(), 0, stream->resumeReceived()};  // the server took more: moving on
            }
            bool resendNeeded = false;
            {
                std::lock_guard resendLock(peer.resendLock_);
                settleAcknowledgements(peer);
                if (!peer.resend_.resumeFrom(stream->resumeReceived())) {
                    stream->abort();
                    return false;
                }
                {
                    std::lock_guard lock(peer.lock_);
                    if (ended()) {
                        stream->abort();
                        return false;
                    }
                    // The worker receives on the new stream at once. What the server lacks goes
                    // out first, on the resender; until then the game's new bytes queue behind it.
                    resendNeeded = peer.resend_.size() > 0;
                    peer.stream_ = stream;
                    (resendNeeded ? peer.resending_ : peer.currentStream_) = stream;
                    peer.lastActivity_.store(clock_.tickMs());
                    peer.resendPending_.store(resendNeeded);
                    if (!resendNeeded) streamsResumed_[channel].fetch_add(1);
                }
                if (peer.closeAfterResume_) {
                    // The game closed while this stream was opening: what it sent before goes out
                    // now, then our close frame. A resend that breaks leaves the stream to be
                    // resumed again, and the close with it.
                    if (resendNeeded) completeResend(peer);
                    if (peer.currentStream_ == stream) {
                        peer.closing_.store(true);
                        stream->closeNormally();
                    }
                    return true;
                }
            }
            if (resendNeeded) peer.resender_ = std::thread([this, peerHandle, stream] { resend(peerHandle, stream); });
            return true;
        } catch (const HttpError& error) {
            if (stream) stream->abort();
            if (refusalIsFinal(error.status)) {
                refusal = error.what();
                return false;
            }
        } catch (const std::exception&) {
            if (stream) stream->abort();
        }
        waitSteps(resumeRetryWaitMs(schedule.failedAttempts++), ended);
    }
    return false;
}

void GameTunnel::resend(const std::shared_ptr<Peer>& peerHandle, const std::shared_ptr<RelayStream>& stream) {
    Peer& peer = *peerHandle;
    std::lock_guard resendLock(peer.resendLock_);
    // Done already (by a reader that saw the game close first), or the stream broke before.
    if (peer.resending_ != stream) return;
    settleAcknowledgements(peer);
    completeResend(peer);
}

void GameTunnel::completeResend(Peer& peer) {
    const std::shared_ptr<RelayStream> stream = std::move(peer.resending_);
    const bool resent = peer.resend_.forEachPiece(kRelayMessageBytes, [&](std::span<const std::uint8_t> piece) {
        return !stopping() && peer.serverClosed_.load() != stream.get() && stream->sendBinary(piece);
    });
    if (resent) {
        peer.currentStream_ = stream;
        if (peer.resendPending_.exchange(false)) streamsResumed_[peer.channel_].fetch_add(1);
        return;
    }
    // A stream that breaks during its resend is resumed again by the worker, from the offset the
    // server reports then: nothing the server received is sent twice.
    std::lock_guard lock(peer.lock_);
    if (peer.stream_ == stream) stream->abort();
}

void GameTunnel::settleAcknowledgements(Peer& peer) {
    // Checked against every byte ever buffered when it arrived, so it is never impossible here.
    const std::uint64_t total = peer.pendingAck_.load();
    if (total > peer.resend_.ackedBase()) peer.resend_.acknowledge(total);
}

bool GameTunnel::appendForResend(Peer& peer, std::unique_lock<std::mutex>& resendLock,
                                 std::span<const std::uint8_t> bytes) {
    // While the queue to the game is full the worker receives nothing, so the acknowledgements
    // the server sent after its bytes wait with them: a game that writes much while it reads
    // slowly would fill this buffer although the server has its bytes. The game's bytes wait
    // instead (the game is held back through its socket), without the lock, while anything
    // moves: an acknowledgement, a byte from the server, a byte taken by the game.
    const auto progress = [&peer] {
        return std::array{peer.pendingAck_.load(), peer.receivedTotal_.load(), peer.writtenToGame_.load()};
    };
    auto seen = progress();
    std::uint64_t since = clock_.tickMs();
    while (!peer.resend_.append(bytes)) {
        if (stopping() || peer.closing_.load() || peer.serverEnded_.load()) return false;
        resendLock.unlock();
        sleepUnlessStopped(kRelayStepMs);
        resendLock.lock();
        settleAcknowledgements(peer);
        const std::uint64_t now = clock_.tickMs();
        if (const auto current = progress(); current != seen) {
            seen = current;
            since = now;
        } else if (now > since && now - since >= kResendStallMs) {
            return false;
        }
    }
    return true;
}

void GameTunnel::countWrittenToGame(Peer& peer, std::size_t count) noexcept {
    addCount(receivedBytes_, count);
    addCount(peer.writtenToGame_, count);
}

void GameTunnel::deliverToGame(Peer& peer, std::span<const std::uint8_t> bytes) {
    // With nothing queued and the writer idle, the bytes are written here at once; only what the
    // game's socket cannot take now waits for the writer. A write that fails leaves the bytes to
    // the writer, whose own write then fails and ends the connection as the game's doing.
    if (peer.toGame_.beginDirect()) {
        const std::optional<std::size_t> written = peer.io_->writeNow(bytes);
        peer.toGame_.endDirect();
        if (written && *written > 0 && *written <= bytes.size()) {
            countWrittenToGame(peer, *written);
            bytes = bytes.subspan(*written);
        }
        if (bytes.empty()) return;
    }
    SecretBytes chunk(bytes.begin(), bytes.end());
    // Not receiving while the queue is full holds the server back through the network. Only a
    // game that takes nothing for kGameStallMs ends the connection: push refuses the chunk.
    std::uint64_t written = peer.writtenToGame_.load();
    std::uint64_t since = clock_.tickMs();
    while (!peer.toGame_.waitForRoom(chunk.size(), std::chrono::milliseconds(kRelayStepMs))) {
        const std::uint64_t now = clock_.tickMs();
        if (const std::uint64_t writtenNow = peer.writtenToGame_.load(); writtenNow != written) {
            written = writtenNow;
            since = now;
            peer.lastActivity_.store(now);  // waiting for the game, not for a silent server
        } else if (now > since && now - since >= kGameStallMs) {
            break;
        }
    }
    peer.toGame_.push(std::move(chunk));
}

void GameTunnel::writeToGame(const std::shared_ptr<Peer>& peerHandle) {
    Peer& peer = *peerHandle;
    bool gameEnded = false;
    try {
        while (std::optional<SecretBytes> chunk = peer.toGame_.pop()) {
            std::span<const std::uint8_t> rest(*chunk);
            while (!rest.empty()) {
                const std::optional<std::size_t> written = peer.io_->write(rest);
                if (!written || *written == 0 || *written > rest.size()) {
                    throw std::runtime_error("Conexao local interrompida.");
                }
                countWrittenToGame(peer, *written);
                rest = rest.subspan(*written);
            }
        }  // each chunk is zeroed as it is released
    } catch (const std::exception&) {
        // The game's socket failed under a write: the game closed or reset its end (with unread
        // data its close races the reader's), which ends this connection and nothing else. A
        // connection already ending shut the socket itself.
        gameEnded = !peer.closing_.load();
    }
    peer.writerDone_.store(true);
    if (gameEnded && !stopping() && closeForGame(peer)) return;  // the worker ends the connection
    peer.close();
}

bool GameTunnel::closeForGame(Peer& peer) {
    // The close frame is a send like any other: after the bytes read before it (a resend under
    // way included), never beside an acknowledgement (WinHTTP takes one send at a time, and a
    // close that crosses one leaves the closing handshake unanswered).
    std::lock_guard resendLock(peer.resendLock_);
    if (peer.closeAfterResume_) return true;  // the other companion saw the end first
    if (peer.resending_) completeResend(peer);  // the resender has not begun: its bytes go first
    // No stream takes bytes: it is being resumed (or about to be), and what the game sent before
    // its close waits in the resend buffer. The resumption goes on for them.
    if (peer.resumable_ && !peer.currentStream_ && !peer.closing_.load() && !peer.serverEnded_.load() &&
        !peer.workerDone_.load()) {
        peer.closeAfterResume_ = true;
        return true;
    }
    peer.closing_.store(true);
    std::lock_guard lock(peer.lock_);
    if (peer.stream_) peer.stream_->closeNormally();
    return false;
}

void GameTunnel::readFromGame(const std::shared_ptr<Peer>& peerHandle, bool resumable) {
    Peer& peer = *peerHandle;
    enum class End { GameClosed, Overflow, NoStream, ServerEnded };
    End end = End::GameClosed;
    SecretBytes buffer;
    try {
        buffer.resize(kRelayMessageBytes);
        while (!stopping()) {
            const std::optional<std::size_t> read = peer.io_->read(buffer);
            if (!read || *read == 0) break;  // the game closed its end (or the socket was shut)
            if (peer.serverEnded_.load()) {
                end = End::ServerEnded;  // nowhere to send them: the connection is ending
                break;
            }
            const std::span<const std::uint8_t> bytes(buffer.data(), std::min(*read, buffer.size()));
            std::unique_lock resendLock(peer.resendLock_);
            if (resumable) {
                settleAcknowledgements(peer);  // acknowledged bytes make room first
                if (!appendForResend(peer, resendLock, bytes)) {
                    end = End::Overflow;
                    break;
                }
                peer.bufferedEnd_.store(peer.resend_.ackedBase() + peer.resend_.size());
            }
            if (!peer.currentStream_ && peer.resending_) {
                addCount(sentBytes_, bytes.size());
                continue;  // they leave after the resend under way, in order
            }
            const std::shared_ptr<RelayStream>& stream = peer.currentStream_;
            const bool sent = stream && stream->isOpen() && stream->sendBinary(bytes);
            addCount(sentBytes_, bytes.size());
            if (!sent) {
                if (!resumable) {
                    end = End::NoStream;
                    break;
                }
                // The worker sees its stream break and resumes; these bytes wait in the resend buffer.
                peer.currentStream_.reset();
                std::lock_guard lock(peer.lock_);
                if (peer.stream_) peer.stream_->abort();
            }
        }
    } catch (...) {
        end = End::Overflow;  // no room for the game's bytes
    }
    wipe(buffer);
    if (end == End::GameClosed) {
        if (stopping()) {
            peer.closing_.store(true);
        } else if (closeForGame(peer)) {
            return;  // the worker closes the resumed stream and ends the connection
        }
    } else if (end == End::Overflow && !stopping()) {
        fail();
        peer.closing_.store(true);
    }
    for (int step = 0; step < kReaderWaitSteps && !peer.workerDone_.load(); ++step) sleepUnlessStopped(kRelayStepMs);
    peer.close();
}

void GameTunnel::acknowledge(const std::shared_ptr<Peer>& peerHandle) {
    Peer& peer = *peerHandle;
    const auto ended = [&] { return peer.companionsDone_.load() || stopping(); };
    const auto silentTooLong = [&](std::uint64_t now) {
        const std::uint64_t last = peer.lastActivity_.load();
        return now > last && now - last > kSilenceLimitMs;
    };
    while (!ended()) {
        for (int step = 0; step < kAcknowledgerStepsPerPass && !ended(); ++step) sleepUnlessStopped(kRelayStepMs);
        if (ended()) break;
        const std::uint64_t now = clock_.tickMs();
        if (silentTooLong(now)) {
            // Treated as broken even when TCP still looks alive: the worker resumes. Checked again
            // under the lock so that a stream a resumption has just installed is left alone.
            std::lock_guard lock(peer.lock_);
            if (silentTooLong(now)) {
                peer.lastActivity_.store(now);
                if (peer.stream_) peer.stream_->abort();
            }
            continue;
        }
        std::unique_lock resendLock(peer.resendLock_, std::try_to_lock);  // never delays game traffic
        if (!resendLock.owns_lock()) continue;
        settleAcknowledgements(peer);
        if (!peer.currentStream_ || peer.closing_.load()) continue;  // nothing follows the close frame
        const std::uint64_t total = peer.receivedTotal_.load();
        if (shouldAcknowledge(total, peer.lastAckSent_, now, peer.lastAckTime_)) sendAcknowledgement(peer, total, now);
    }
}

void GameTunnel::acknowledgeManyBytes(Peer& peer) {
    // The acknowledger looks only every quarter of a second, while a server holds back once its
    // window of unacknowledged bytes is full: waiting for the next pass would cap the stream at
    // one window per pass. Like the acknowledger, this only tries the lock.
    std::unique_lock resendLock(peer.resendLock_, std::try_to_lock);
    if (!resendLock.owns_lock()) return;
    settleAcknowledgements(peer);
    const std::uint64_t total = peer.receivedTotal_.load();
    if (peer.currentStream_ && !peer.closing_.load() && manyBytesUnacknowledged(total, peer.lastAckSent_)) {
        sendAcknowledgement(peer, total, clock_.tickMs());
    }
}

void GameTunnel::sendAcknowledgement(Peer& peer, std::uint64_t total, std::uint64_t now) {
    if (peer.currentStream_->sendText(std::to_string(total))) {
        peer.lastAckSent_ = total;
        peer.lastAckTime_ = now;
    }
}

}  // namespace nyra
