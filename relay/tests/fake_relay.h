#pragma once
// An in-memory platform for the relay: listeners whose connections the test makes, game sockets
// as a pair of byte pipes, a clock whose sleeps move time only when the test lets it flow, and a
// scripted relay server that keeps every byte each way so that resumption is exact and a test
// can prove what arrived. The server can drop a stream, refuse with a status, change the resume
// id, claim an offset, send text and close.
#include "core/http_error.h"
#include "relay/relay_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nyra::test {

using Bytes = std::vector<std::uint8_t>;

// How long a test waits for something the relay does at once; reached only when it is broken.
constexpr auto kPatience = std::chrono::seconds(20);

class FakeClock final : public Clock {
public:
    std::uint64_t tickMs() override { return now_.load(); }
    void sleepMs(std::uint32_t ms) override {
        {
            std::unique_lock lock(holdMutex_);
            HeldCount count(*this, holding_);
            released_.wait(lock, [&] { return !holding_; });
        }
        if (flowing_.load()) now_.fetch_add(ms);
        // A token pause so that waiting loops do not spin a core; time itself is the count above.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    // Like sleepMs, but the signal ends it at once, a held sleep too, and then time stands still.
    void sleepUnlessWoken(std::uint32_t ms, WakeSignal& wake) override {
        {
            std::unique_lock lock(holdMutex_);
            HeldCount count(*this, holding_);
            // The signal cannot notify this condition variable: looked at every millisecond.
            while (holding_ && !wake.isSet()) released_.wait_for(lock, std::chrono::milliseconds(1));
        }
        if (wake.isSet()) return;
        if (flowing_.load()) now_.fetch_add(ms);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    // While flowing, every sleep moves time forward by what it asked for.
    void setFlowing(bool flowing) { flowing_.store(flowing); }
    // While holding, every sleep waits: only what a thread does without sleeping happens.
    void holdSleepers(bool holding) {
        {
            std::lock_guard lock(holdMutex_);
            holding_ = holding;
        }
        released_.notify_all();
    }
    // Waits (within the patience) until `count` sleepers are held.
    bool waitForHeldSleepers(int count) {
        std::unique_lock lock(holdMutex_);
        return released_.wait_for(lock, kPatience, [&] { return held_ >= count; });
    }

private:
    // A sleeper held while it waits, under holdMutex_.
    struct HeldCount {
        HeldCount(FakeClock& clock, bool holding) : clock_(clock), counted_(holding) {
            if (counted_) ++clock_.held_;
            clock_.released_.notify_all();
        }
        ~HeldCount() {
            if (counted_) --clock_.held_;
        }
        FakeClock& clock_;
        bool counted_;
    };

    int held_ = 0;
    std::atomic<std::uint64_t> now_{7'000'000};
    std::atomic<bool> flowing_{false};
    std::mutex holdMutex_;
    std::condition_variable released_;
    bool holding_ = false;
};

// Both directions of one game connection. It shares the server's mutex and condition variable,
// so that a test can wait for anything the relay does in one place.
struct GameLink {
    GameLink(std::mutex& sharedMutex, std::condition_variable& sharedChanged)
        : mutex(sharedMutex), changed(sharedChanged) {}
    std::mutex& mutex;
    std::condition_variable& changed;
    std::deque<std::uint8_t> toRelay;
    std::deque<std::uint8_t> toGame;
    std::size_t toGameCapacity = std::numeric_limits<std::size_t>::max();
    int writes = 0;         // writes that moved bytes to the game
    int writesNow = 0;      // of them, writes the worker made itself, without the writer
    bool gameClosed = false;
    int endsRead = 0;       // reads that returned the game's close
    bool writesFail = false;  // the game reset its end: writes fail before reads see the end
    bool shut = false;      // shut down by the relay
    bool released = false;  // closed by the relay
};

class FakeGameSocket final : public GameSocket {
public:
    explicit FakeGameSocket(std::shared_ptr<GameLink> link) : link_(std::move(link)) {}
    ~FakeGameSocket() override { close(); }

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        std::unique_lock lock(link_->mutex);
        link_->changed.wait(lock, [&] { return !link_->toRelay.empty() || link_->gameClosed || link_->shut; });
        if (link_->shut) return std::nullopt;
        const std::size_t count = std::min(buffer.size(), link_->toRelay.size());
        std::copy_n(link_->toRelay.begin(), count, buffer.begin());
        link_->toRelay.erase(link_->toRelay.begin(), link_->toRelay.begin() + static_cast<std::ptrdiff_t>(count));
        if (count == 0) ++link_->endsRead;
        link_->changed.notify_all();  // a test may wait for the relay to have read everything
        return count;
    }
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override {
        std::unique_lock lock(link_->mutex);
        link_->changed.wait(lock, [&] {
            return link_->toGame.size() < link_->toGameCapacity || link_->shut || link_->gameClosed ||
                   link_->writesFail;
        });
        if (link_->shut || link_->gameClosed || link_->writesFail) return std::nullopt;
        const std::size_t count = std::min(bytes.size(), link_->toGameCapacity - link_->toGame.size());
        link_->toGame.insert(link_->toGame.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
        ++link_->writes;
        link_->changed.notify_all();
        return count;
    }
    std::optional<std::size_t> writeNow(std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(link_->mutex);
        if (link_->shut || link_->gameClosed || link_->writesFail) return std::nullopt;
        const std::size_t count = std::min(bytes.size(), link_->toGameCapacity - link_->toGame.size());
        if (count == 0) return 0;
        link_->toGame.insert(link_->toGame.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
        ++link_->writes;
        ++link_->writesNow;
        link_->changed.notify_all();
        return count;
    }

    void shutdownBoth() noexcept override {
        std::lock_guard lock(link_->mutex);
        link_->shut = true;
        link_->changed.notify_all();
    }
    void close() noexcept override {
        std::lock_guard lock(link_->mutex);
        link_->shut = true;
        link_->released = true;
        link_->changed.notify_all();
    }

private:
    std::shared_ptr<GameLink> link_;
};

// The game's end of a connection.
class GameEnd {
public:
    explicit GameEnd(std::shared_ptr<GameLink> link) : link_(std::move(link)) {}

    void write(const Bytes& bytes) {
        std::lock_guard lock(link_->mutex);
        link_->toRelay.insert(link_->toRelay.end(), bytes.begin(), bytes.end());
        link_->changed.notify_all();
    }
    // Takes `count` bytes once they have arrived (fewer if the relay shut the connection first).
    Bytes read(std::size_t count) {
        std::unique_lock lock(link_->mutex);
        link_->changed.wait_for(lock, kPatience, [&] { return link_->toGame.size() >= count || link_->shut; });
        const std::size_t taken = std::min(count, link_->toGame.size());
        Bytes bytes(link_->toGame.begin(), link_->toGame.begin() + static_cast<std::ptrdiff_t>(taken));
        link_->toGame.erase(link_->toGame.begin(), link_->toGame.begin() + static_cast<std::ptrdiff_t>(taken));
        link_->changed.notify_all();
        return bytes;
    }
    // Everything the relay wrote, once it has released the connection.
    Bytes readToEnd() {
        EXPECT_TRUE(waitReleased());
        std::lock_guard lock(link_->mutex);
        return Bytes(link_->toGame.begin(), link_->toGame.end());
    }
    void close() {
        std::lock_guard lock(link_->mutex);
        link_->gameClosed = true;
        link_->changed.notify_all();
    }
    void failWrites() {
        std::lock_guard lock(link_->mutex);
        link_->writesFail = true;
        link_->changed.notify_all();
    }
    bool waitReleased() {
        std::unique_lock lock(link_->mutex);
        return link_->changed.wait_for(lock, kPatience, [&] { return link_->released; });
    }
    bool released() {
        std::lock_guard lock(link_->mutex);
        return link_->released;
    }
    GameLink& link() { return *link_; }  // under the shared mutex
    void setCapacity(std::size_t bytes) {
        std::lock_guard lock(link_->mutex);
        link_->toGameCapacity = bytes;
    }
    int writes() {
        std::lock_guard lock(link_->mutex);
        return link_->writes;
    }
    int writesNow() {
        std::lock_guard lock(link_->mutex);
        return link_->writesNow;
    }

private:
    std::shared_ptr<GameLink> link_;
};

struct ListenerState {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<AcceptedConnection> pending;
    bool shut = false;
};

class FakeListener final : public GameListener {
public:
    FakeListener(std::shared_ptr<ListenerState> state, std::uint16_t port) : state_(std::move(state)), port_(port) {}
    ~FakeListener() override { shut(); }
    std::uint16_t port() const override { return port_; }
    std::optional<AcceptedConnection> accept() override {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->pending.empty() || state_->shut; });
        if (state_->shut) return std::nullopt;
        AcceptedConnection next = std::move(state_->pending.front());
        state_->pending.pop_front();
        return next;
    }
    void shut() noexcept override {
        std::lock_guard lock(state_->mutex);
        state_->shut = true;
        state_->pending.clear();
        state_->changed.notify_all();
    }

private:
    std::shared_ptr<ListenerState> state_;
    std::uint16_t port_;
};

class FakeServer;

// One game connection as the relay server sees it, across all its streams.
struct ServerConnection {
    std::string channel;
    std::string resumeId;
    Bytes fromLauncher;  // game bytes received, in order
    Bytes toLauncher;    // every game byte sent; a resumption continues from the offset asked for
    std::vector<std::string> textsFromLauncher;
    std::vector<std::uint64_t> resumeOffsets;
    int streams = 0;
    bool closedNormally = false;   // the launcher ended it with status 1000
    std::optional<std::uint16_t> closeAnswer;  // the launcher's answer to the server's close frame
    int sendsAfterServerClose = 0;  // anything the launcher tried to send after that frame
    bool acknowledges = true;      // answers every binary message with its received count
    bool holdsSends = false;       // the launcher's sends wait (a server that is not reading)
    int heldSends = 0;             // sends that waited while holdsSends was set
    bool dropsDuringResend = false;  // a resumed stream is reset at the first game bytes sent on it
};

struct OpenOutcome {
    enum Kind { Accept, Refuse, Fail, NotResumable, ChangeId, ReportOffset } kind = Accept;
    std::uint64_t value = 0;  // Refuse: the status; ReportOffset: the offset claimed
};

class FakeStream final : public RelayStream {
public:
    enum class State { Live, Dropped, Aborted, Closed };
    struct Frame {
        Message type;
        Bytes bytes;
        std::uint16_t status = 0;
    };

    FakeStream(FakeServer& server, ServerConnection& connection, std::string id, std::uint64_t received)
        : server_(server), connection_(connection), id_(std::move(id)), received_(received) {}

    const std::string& resumeId() const override { return id_; }
    std::uint64_t resumeReceived() const override { return received_; }
    std::optional<Received> receive(std::span<std::uint8_t> buffer) override;
    std::optional<std::uint16_t> closeStatus() override;
    bool sendBinary(std::span<const std::uint8_t> bytes) override;
    bool sendText(std::string_view text) override;
    bool isOpen() const override;
    void closeNormally() noexcept override;
    void answerClose(std::uint16_t status) noexcept override;
    void abort() noexcept override;

    // Server side, under the server's mutex.
    bool closeDelivered = false;  // the launcher has received the server's close frame
    State state = State::Live;
    std::deque<Frame> inbound;
    std::optional<std::uint16_t> receivedCloseStatus;

private:
    FakeServer& server_;
    ServerConnection& connection_;
    const std::string id_;
    const std::uint64_t received_;
};

class FakeServer {
public:
    std::mutex mutex;
    std::condition_variable changed;

    std::shared_ptr<RelayStream> open(const std::string& headers, std::uint64_t now) {
        std::unique_lock lock(mutex);
        requests_.push_back(headers);
        openTimes_.push_back(now);
        changed.notify_all();
        OpenOutcome outcome;
        if (!script_.empty()) {
            outcome = script_.front();
            script_.pop_front();
        } else if (always_) {
            outcome = *always_;
        }
        if (outcome.kind == OpenOutcome::Refuse) {
            throw HttpError("O servidor recusou a conexao protegida do jogo.", static_cast<std::int32_t>(outcome.value));
        }
        if (outcome.kind == OpenOutcome::Fail) throw std::runtime_error("Falha ao conectar a entrada do jogo.");

        ServerConnection* connection = nullptr;
        const auto resumeId = headerValue(headers, "X-Nyra-Resume-Id");
        std::uint64_t offset = 0;
        if (resumeId) {
            for (auto& known : connections_) {
                if (known->resumeId == *resumeId) connection = known.get();
            }
            if (connection == nullptr) throw HttpError("O servidor recusou a conexao protegida do jogo.", 404);
            offset = std::stoull(headerValue(headers, "X-Nyra-Resume-Offset").value_or("0"));
            connection->resumeOffsets.push_back(offset);
        } else {
            connections_.push_back(std::make_unique<ServerConnection>());
            connection = connections_.back().get();
            connection->channel = headerValue(headers, "X-Nyra-Game-Channel").value_or("");
            if (outcome.kind != OpenOutcome::NotResumable) connection->resumeId = tokenFor(connections_.size());
        }
        std::uint64_t received = connection->fromLauncher.size();
        if (outcome.kind == OpenOutcome::ReportOffset) {
            received = outcome.value;
            // A server that lost bytes holds only the first `value` of them.
            if (received < connection->fromLauncher.size()) connection->fromLauncher.resize(received);
        }
        const std::string id = outcome.kind == OpenOutcome::ChangeId       ? tokenFor(999)
                               : outcome.kind == OpenOutcome::NotResumable ? std::string()
                                                                           : connection->resumeId;
        auto stream = std::make_shared<FakeStream>(*this, *connection, id, received);
        if (offset < connection->toLauncher.size()) {
            pushBinary(*stream, Bytes(connection->toLauncher.begin() + static_cast<std::ptrdiff_t>(offset),
                                      connection->toLauncher.end()));
        }
        if (current_.size() < connections_.size()) current_.resize(connections_.size());
        current_[index(*connection)] = stream;
        ++connection->streams;
        return stream;
    }

    // The next opens' outcomes, in order; then `always` (accept when unset).
    void script(std::vector<OpenOutcome> outcomes, std::optional<OpenOutcome> always = std::nullopt) {
        std::lock_guard lock(mutex);
        script_.assign(outcomes.begin(), outcomes.end());
        always_ = always;
    }

    // Waits (within the patience) until `ready` holds under the server's mutex.
    template <typename Ready>
    bool waitFor(Ready&& ready) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return ready(); });
    }
    bool waitForConnections(std::size_t count) { return waitFor([&] { return connections_.size() >= count; }); }

    // Reads a connection's state under the mutex.
    template <typename Read>
    auto with(std::size_t connection, Read&& read) {
        std::lock_guard lock(mutex);
        return read(*connections_.at(connection));
    }
    ServerConnection& connection(std::size_t index) { return *connections_.at(index); }  // under `mutex`
    std::size_t connectionCount() {
        std::lock_guard lock(mutex);
        return connections_.size();
    }
    std::size_t connectionCountUnderLock() const { return connections_.size(); }
    std::size_t requestsUnderLock() const { return requests_.size(); }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex);
        return requests_;
    }
    std::vector<std::uint64_t> openTimes() {
        std::lock_guard lock(mutex);
        return openTimes_;
    }

    // Game bytes to the launcher: logged, and sent at once when the current stream is live.
    void send(std::size_t connection, const Bytes& bytes) {
        std::lock_guard lock(mutex);
        auto& state = *connections_.at(connection);
        state.toLauncher.insert(state.toLauncher.end(), bytes.begin(), bytes.end());
        if (auto* stream = liveStream(connection)) pushBinary(*stream, bytes);
    }
    // One binary message in these fragments, sent at once.
    void sendFragments(std::size_t connection, const std::vector<Bytes>& pieces) {
        std::lock_guard lock(mutex);
        auto& state = *connections_.at(connection);
        auto* stream = liveStream(connection);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            state.toLauncher.insert(state.toLauncher.end(), pieces[i].begin(), pieces[i].end());
            const bool last = i + 1 == pieces.size();
            if (stream) stream->inbound.push_back({last ? RelayStream::Message::Binary : RelayStream::Message::BinaryFragment, pieces[i]});
        }
        changed.notify_all();
    }
    // A text message, in fragments when there are several pieces.
    void sendText(std::size_t connection, const std::vector<std::string>& pieces) {
        std::lock_guard lock(mutex);
        if (auto* stream = liveStream(connection)) {
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                const bool last = i + 1 == pieces.size();
                stream->inbound.push_back({last ? RelayStream::Message::Text : RelayStream::Message::TextFragment,
                                           Bytes(pieces[i].begin(), pieces[i].end())});
            }
            changed.notify_all();
        }
    }
    void close(std::size_t connection, std::uint16_t status) {
        std::lock_guard lock(mutex);
        if (auto* stream = liveStream(connection)) {
            stream->inbound.push_back({RelayStream::Message::Close, {}, status});
            changed.notify_all();
        }
    }
    // The network loses the current stream: the launcher's receive fails, and what it sends
    // from now on is lost on the way. False when there was no live stream.
    bool drop(std::size_t connection) {
        std::lock_guard lock(mutex);
        auto* stream = liveStream(connection);
        if (stream == nullptr) return false;
        stream->state = FakeStream::State::Dropped;
        stream->inbound.clear();
        changed.notify_all();
        return true;
    }
    void setAcknowledges(std::size_t connection, bool acknowledges) {
        std::lock_guard lock(mutex);
        connections_.at(connection)->acknowledges = acknowledges;
    }
    void holdSends(std::size_t connection, bool holds) {
        std::lock_guard lock(mutex);
        connections_.at(connection)->holdsSends = holds;
        changed.notify_all();
    }

    static std::string tokenFor(std::size_t n) {
        std::string token = "Resume-" + std::to_string(n) + "-";
        token.resize(43, 'x');
        return token;
    }

    // Under `mutex`.
    void pushBinary(FakeStream& stream, const Bytes& bytes) {
        // Messages of up to 32 KiB; every third one arrives as two fragments.
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t size = std::min<std::size_t>(bytes.size() - at, 32768);
            const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
            if (++messages_ % 3 == 0 && size > 1) {
                stream.inbound.push_back({RelayStream::Message::BinaryFragment, Bytes(begin, begin + 1)});
                stream.inbound.push_back({RelayStream::Message::Binary,
                                          Bytes(begin + 1, begin + static_cast<std::ptrdiff_t>(size))});
            } else {
                stream.inbound.push_back({RelayStream::Message::Binary, Bytes(begin, begin + static_cast<std::ptrdiff_t>(size))});
            }
            at += size;
        }
        changed.notify_all();
    }

private:
    static std::optional<std::string> headerValue(const std::string& headers, const std::string& name) {
        const std::string key = name + ": ";
        const auto at = headers.find(key);
        if (at == std::string::npos) return std::nullopt;
        const auto end = headers.find("\r\n", at);
        return headers.substr(at + key.size(), end - at - key.size());
    }
    std::size_t index(const ServerConnection& connection) const {
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            if (connections_[i].get() == &connection) return i;
        }
        throw std::logic_error("unknown connection");
    }
    FakeStream* liveStream(std::size_t connection) {
        if (connection >= current_.size() || !current_[connection]) return nullptr;
        FakeStream* stream = current_[connection].get();
        return stream->state == FakeStream::State::Live ? stream : nullptr;
    }

    std::vector<std::unique_ptr<ServerConnection>> connections_;
    std::vector<std::shared_ptr<FakeStream>> current_;
    std::vector<std::string> requests_;
    std::vector<std::uint64_t> openTimes_;
    std::deque<OpenOutcome> script_;
    std::optional<OpenOutcome> always_;
    std::size_t messages_ = 0;
};

inline std::optional<RelayStream::Received> FakeStream::receive(std::span<std::uint8_t> buffer) {
    std::unique_lock lock(server_.mutex);
    server_.changed.wait(lock, [&] { return !inbound.empty() || state == State::Dropped || state == State::Aborted; });
    if (state == State::Dropped || state == State::Aborted) return std::nullopt;
    Frame& front = inbound.front();
    if (front.bytes.size() > buffer.size() && front.type != Message::Close) {
        // Like WinHTTP: what fits is handed over as a fragment, the rest stays for the next call.
        std::copy_n(front.bytes.begin(), buffer.size(), buffer.begin());
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(buffer.size()));
        const bool text = front.type == Message::Text || front.type == Message::TextFragment;
        return Received{text ? Message::TextFragment : Message::BinaryFragment, buffer.size()};
    }
    Frame frame = std::move(front);
    inbound.pop_front();
    std::copy_n(frame.bytes.begin(), frame.bytes.size(), buffer.begin());
    if (frame.type == Message::Close) {
        receivedCloseStatus = frame.status;
        closeDelivered = true;
    }
    return Received{frame.type, frame.bytes.size()};
}

inline std::optional<std::uint16_t> FakeStream::closeStatus() {
    std::lock_guard lock(server_.mutex);
    return receivedCloseStatus;
}

inline bool FakeStream::sendBinary(std::span<const std::uint8_t> bytes) {
    std::unique_lock lock(server_.mutex);
    if (connection_.holdsSends && state == State::Live) {
        ++connection_.heldSends;
        server_.changed.notify_all();
    }
    server_.changed.wait(lock, [&] { return !connection_.holdsSends || state != State::Live; });
    if (state == State::Dropped) return true;  // gone on the way
    if (state != State::Live) return false;
    if (closeDelivered) ++connection_.sendsAfterServerClose;
    if (connection_.dropsDuringResend && connection_.streams > 1) {
        state = State::Dropped;  // reset: the send fails
        inbound.clear();
        server_.changed.notify_all();
        return false;
    }
    connection_.fromLauncher.insert(connection_.fromLauncher.end(), bytes.begin(), bytes.end());
    if (connection_.acknowledges) {
        const std::string total = std::to_string(connection_.fromLauncher.size());
        inbound.push_back({Message::Text, Bytes(total.begin(), total.end())});
    }
    server_.changed.notify_all();
    return true;
}

inline bool FakeStream::sendText(std::string_view text) {
    std::lock_guard lock(server_.mutex);
    if (state == State::Dropped) return true;
    if (state != State::Live) return false;
    if (closeDelivered) ++connection_.sendsAfterServerClose;
    connection_.textsFromLauncher.emplace_back(text);
    server_.changed.notify_all();
    return true;
}

inline bool FakeStream::isOpen() const {
    std::lock_guard lock(server_.mutex);
    return state == State::Live || state == State::Dropped;
}

inline void FakeStream::closeNormally() noexcept {
    std::lock_guard lock(server_.mutex);
    if (state != State::Live) return;
    if (closeDelivered) ++connection_.sendsAfterServerClose;  // a close frame that answers nothing
    state = State::Closed;
    connection_.closedNormally = true;
    inbound.push_back({Message::Close, {}, 1000});  // the server answers the close
    server_.changed.notify_all();
}

inline void FakeStream::answerClose(std::uint16_t status) noexcept {
    std::lock_guard lock(server_.mutex);
    if (state != State::Live) return;
    state = State::Closed;
    connection_.closeAnswer = status;
    server_.changed.notify_all();
}

inline void FakeStream::abort() noexcept {
    std::lock_guard lock(server_.mutex);
    state = State::Aborted;
    server_.changed.notify_all();
}

class FakeRelayPlatform final : public RelayPlatform {
public:
    static constexpr std::uint16_t kFirstPort = 40001;

    FakeClock fakeClock;
    FakeServer server;
    std::atomic<int> ownerChecks{0};
    // Who holds a connection's client end; by default the owner table below, which lists every
    // connection `connect` made by its full addresses and ports. Set before connections are made.
    std::function<ConnectionOwner(std::uint32_t, const LoopbackConnection&)> owner =
        [this](std::uint32_t, const LoopbackConnection& connection) { return listedOwner(connection); };
    int failingListener = -1;  // this listener (0-based) cannot be opened
    // The next openings block (a server slow to answer the upgrade) until they are cancelled (they
    // fail), the test lets them go on (they are answered), or the patience runs out (they fail).
    // Counted under the server's mutex.
    std::atomic<int> openingsToHold{0};
    int heldOpenings = 0;
    int brokenOpenings = 0;     // ended by the cancellation
    int unbrokenOpenings = 0;   // ended by the patience: nothing cancelled them
    std::vector<std::shared_ptr<ListenerState>> listeners;

    std::unique_ptr<GameListener> listen() override {
        if (static_cast<int>(listeners.size()) == failingListener) {
            throw std::runtime_error("Protecao da conexao local indisponivel.");
        }
        listeners.push_back(std::make_shared<ListenerState>());
        return std::make_unique<FakeListener>(listeners.back(),
                                              static_cast<std::uint16_t>(kFirstPort + listeners.size() - 1));
    }
    std::shared_ptr<RelayStream> openStream(const std::string& headers, OpeningCancel& cancel) override {
        int toHold = openingsToHold.load();
        while (toHold > 0 && !openingsToHold.compare_exchange_weak(toHold, toHold - 1)) {
        }
        if (toHold > 0) holdOpening(cancel);  // returns when let go
        if (cancel.cancelled()) throw std::runtime_error("Falha ao conectar a entrada do jogo.");
        return server.open(headers, fakeClock.tickMs());
    }
    ConnectionOwner connectionOwner(std::uint32_t gameProcessId, const LoopbackConnection& connection) override {
        ++ownerChecks;
        return owner(gameProcessId, connection);
    }
    Clock& clock() override { return fakeClock; }

    // A process connects to a channel's listener from `source` (by default the game from
    // 127.0.0.1); the owner table lists the connection with `listedAs`.
    std::shared_ptr<GameEnd> connect(std::size_t channel, ConnectionOwner listedAs = ConnectionOwner::Game,
                                     Ipv4Address source = kLoopbackAddress) {
        return connectFrom(channel, nextClientPort_++, listedAs, source);
    }
    std::shared_ptr<GameEnd> connectFrom(std::size_t channel, std::uint16_t clientPort, ConnectionOwner listedAs,
                                         Ipv4Address source) {
        auto link = std::make_shared<GameLink>(server.mutex, server.changed);
        {
            std::lock_guard lock(tableMutex_);
            table_.push_back({{source, clientPort, kLoopbackAddress, static_cast<std::uint16_t>(kFirstPort + channel)},
                              listedAs});
        }
        auto& state = *listeners.at(channel);
        std::lock_guard lock(state.mutex);
        state.pending.push_back({std::make_unique<FakeGameSocket>(link), source, clientPort});
        state.changed.notify_all();
        return std::make_shared<GameEnd>(link);
    }
    // A client that resets its connection before the listener takes it.
    void connectAndReset(std::size_t channel) {
        auto& state = *listeners.at(channel);
        std::lock_guard lock(state.mutex);
        state.pending.push_back({});
        state.changed.notify_all();
    }
    ConnectionOwner listedOwner(const LoopbackConnection& connection) {
        std::lock_guard lock(tableMutex_);
        for (const auto& [listed, who] : table_) {
            if (listed.clientAddress == connection.clientAddress && listed.clientPort == connection.clientPort &&
                listed.listenerAddress == connection.listenerAddress && listed.listenerPort == connection.listenerPort) {
                return who;
            }
        }
        return ConnectionOwner::NotListed;
    }
    // One held opening goes on to the server.
    void letOpeningGo() {
        std::lock_guard lock(server.mutex);
        ++openingsLetGo_;
    }
    bool listenerShut(std::size_t channel) {
        std::lock_guard lock(listeners.at(channel)->mutex);
        return listeners.at(channel)->shut;
    }

private:
    void holdOpening(OpeningCancel& cancel) {
        std::mutex mutex;
        std::condition_variable changed;
        bool broken = false;
        const bool entered = cancel.enter([&] {
            std::lock_guard lock(mutex);
            broken = true;
            changed.notify_all();
        });
        // The test's letting go wakes the server's waiters; this one looks every millisecond.
        const auto letGo = [&] {
            std::lock_guard lock(server.mutex);
            return openingsLetGo_ > 0;
        };
        if (!entered) throw std::runtime_error("Falha ao conectar a entrada do jogo.");  // refused: cancelled before
        {
            std::lock_guard lock(server.mutex);
            ++heldOpenings;
            server.changed.notify_all();
        }
        const auto until = std::chrono::steady_clock::now() + kPatience;
        bool released = false;
        {
            std::unique_lock lock(mutex);
            while (!broken && !(released = letGo()) && std::chrono::steady_clock::now() < until) {
                changed.wait_for(lock, std::chrono::milliseconds(1));
            }
        }
        const bool cancelled = cancel.leave();
        if (released && !cancelled) {
            std::lock_guard lock(server.mutex);
            --openingsLetGo_;
            return;
        }
        {
            std::lock_guard lock(server.mutex);
            ++(cancelled ? brokenOpenings : unbrokenOpenings);
            server.changed.notify_all();
        }
        throw std::runtime_error("Falha ao conectar a entrada do jogo.");
    }

    int openingsLetGo_ = 0;  // under the server's mutex
    std::atomic<std::uint16_t> nextClientPort_{50000};
    std::mutex tableMutex_;
    std::vector<std::pair<LoopbackConnection, ConnectionOwner>> table_;
};

}  // namespace nyra::test
