#include "tools/service/relay.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <unordered_map>
#include <vector>

#include "tools/common/crypto.h"
#include "tools/common/seeded_bytes.h"
#include "tools/service/backend.h"
#include "tools/service/envelope.h"
#include "tools/service/io_thread.h"
#include "tools/service/upgrade.h"

namespace nyra::service {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using nlohmann::json;

std::optional<std::uint64_t> parseAcknowledgement(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

bool acknowledgementDue(std::uint64_t received, std::uint64_t lastSent, std::int64_t msSinceLast) {
    if (received == lastSent) {
        return msSinceLast >= 3000;
    }
    return received - lastSent > 32767 || msSinceLast >= 1000;
}

std::uint64_t seededDropPoint(std::uint64_t seed, std::uint64_t use, std::uint64_t mean) {
    // A stream of its own, so that the drop points do not follow the game servers' bytes.
    return 1 + tools::seededWord(seed ^ 0xD5A61266F0C9392Cull, use) % (2 * mean - 1);
}

// The relay's internal types (a named namespace: Relay::Impl holds them).
namespace relay_detail {

using WebSocket = websocket::stream<TlsStream>;
using Steady = std::chrono::steady_clock;

constexpr auto kTick = std::chrono::milliseconds(250);
constexpr std::size_t kGameRead = 32768;
constexpr std::uint16_t kProtocolError = 1002;
constexpr std::uint16_t kInternalError = 1011;

std::int64_t msSince(Steady::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - then).count();
}

// Bytes appended at the back and dropped from the front, contiguous for copying out.
class ByteBuffer {
public:
    std::size_t size() const { return bytes_.size() - head_; }
    void append(const std::uint8_t* data, std::size_t count) { bytes_.insert(bytes_.end(), data, data + count); }
    const std::uint8_t* at(std::size_t offset) const { return bytes_.data() + head_ + offset; }
    void dropFront(std::size_t count) {
        head_ += count;
        if (head_ == bytes_.size()) {
            bytes_.clear();
            head_ = 0;
        } else if (head_ >= (std::size_t{1} << 20) && head_ * 2 >= bytes_.size()) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t head_ = 0;
};

struct Counters {
    std::atomic<std::uint64_t> streams{0}, open{0}, resumptions{0}, dropsReset{0}, dropsStall{0}, disconnects{0},
        closed{0}, expired{0}, broken{0}, refused{0}, bytesFromLauncher{0}, bytesToLauncher{0}, badAcks{0},
        silences{0}, closesAnswered{0}, closesUnanswered{0};
};

// What the fault rules do to one WebSocket once it is up.
struct SessionFaults {
    std::optional<std::uint64_t> dropAfter;
    std::uint64_t dropEveryMs = 0;  // 0: no timed drop
    bool bothDirections = false;
    DropHow how = DropHow::Reset;
    std::uint64_t silentMs = 0;
    std::optional<std::string> badAck;
    std::uint64_t badAckAt = 0;
    // At the drop point the WebSocket is closed with this status and reason instead.
    std::optional<std::uint16_t> closeStatus;
    std::string closeReason;
};

// One WebSocket of a logical stream.
struct WsSession {
    explicit WsSession(TlsStream&& tls) : ws(std::move(tls)), timer(ws.get_executor()), dropTimer(ws.get_executor()) {}

    // Closes the connection; abortive: with a TCP reset.
    void closeSocket(bool abortive) {
        boost::system::error_code ignored;
        auto& socket = ws.next_layer().next_layer();
        if (abortive) {
            socket.set_option(net::socket_base::linger(true, 0), ignored);
        }
        socket.close(ignored);
        timer.cancel();
        dropTimer.cancel();
    }
    void reset() { closeSocket(true); }

    // Bytes written to the socket that TCP has not sent yet.
    int unsent() {
        int count = 0;
        auto& socket = ws.next_layer().next_layer();
        if (!socket.is_open() || ::ioctl(socket.native_handle(), SIOCOUTQNSD, &count) != 0) {
            return 0;
        }
        return count;
    }

    WebSocket ws;
    net::steady_timer timer;  // acknowledgement pacing, keep-alives and the end of a silence
    net::steady_timer dropTimer;  // a timed drop
    beast::http::request<beast::http::string_body> request;
    SessionFaults faults;
    beast::flat_buffer readBuffer;
    std::vector<std::uint8_t> out;  // the message being written
    std::uint64_t sendOffset = 0;   // the next byte of the game-to-launcher stream to send
    std::uint64_t bytesOut = 0;     // game bytes sent and received on this WebSocket
    std::uint64_t bytesIn = 0;
    std::uint64_t lastAckSent = 0;
    Steady::time_point lastAckTime = Steady::now();
    Steady::time_point silentUntil = Steady::now();
    std::optional<std::uint16_t> closeCode;  // set: close with it, send nothing else
    std::string closeReason;                 // sent with closeCode
    bool closeAnswered = false;              // the launcher's close frame came back after ours
    std::uint64_t messages = 0;              // binary messages written, to fragment some
    std::uint64_t acks = 0;
    bool live = true;  // false once dropped, stalled, superseded or closed
    bool reading = false;
    bool writing = false;
    bool closing = false;
    bool badAckSent = false;
};

enum class EndReason { Closed, Expired, Broken };

// A timed drop, for the benchmarks: when a WebSocket was cut and when its resumption took over
// (0: not yet), microseconds since the Unix epoch like the game servers' stamps.
struct TimedDrop {
    std::size_t channel = 0;
    std::uint64_t droppedUs = 0;
    std::uint64_t resumedUs = 0;
};

class LogicalStream;

}  // namespace relay_detail

using namespace relay_detail;

struct Relay::Impl {
    Impl(Store& s, FaultRegistry& f, RelaySettings r) : store(s), faults(f), settings(std::move(r)) {}

    Store& store;
    FaultRegistry& faults;
    RelaySettings settings;
    IoThread ioThread;
    net::io_context& io = ioThread.context();
    std::atomic<bool> stopping{false};
    std::array<std::uint16_t, kGameChannelCount> gamePorts{};
    Counters counters;

    // The I/O thread's own state.
    std::map<std::uint64_t, std::shared_ptr<LogicalStream>> streams;
    std::unordered_map<std::string, std::shared_ptr<LogicalStream>> byId;
    std::unordered_map<std::string, std::int64_t> endedIds;  // id -> when it ended
    std::deque<std::string> endedOrder;
    std::uint64_t nextSerial = 1;
    std::unique_ptr<net::steady_timer> sweepTimer;
    std::deque<TimedDrop> timedDrops;  // the latest kTimedDropsKept
    std::uint64_t timedDropsBefore = 0;  // records forgotten from the front
    static constexpr std::size_t kTimedDropsKept = 4096;

    // Records a timed drop; its number, for the resumption to complete it.
    std::uint64_t recordTimedDrop(std::size_t channel) {
        timedDrops.push_back({channel, unixMicros(), 0});
        if (timedDrops.size() > kTimedDropsKept) {
            timedDrops.pop_front();
            ++timedDropsBefore;
        }
        return timedDropsBefore + timedDrops.size() - 1;
    }
    void timedDropResumed(std::uint64_t number) {
        if (number >= timedDropsBefore && number - timedDropsBefore < timedDrops.size()) {
            timedDrops[static_cast<std::size_t>(number - timedDropsBefore)].resumedUs = unixMicros();
        }
    }

    std::int64_t now() const { return store.now(); }

    void remember(const std::string& id) {
        constexpr std::size_t kRemembered = 100000;
        endedIds[id] = now();
        endedOrder.push_back(id);
        while (endedOrder.size() > kRemembered) {
            endedIds.erase(endedOrder.front());
            endedOrder.pop_front();
        }
    }

    void sweep();
    void scheduleSweep();

    // Runs `work` on the I/O thread and waits for its result; nullopt when the relay stops.
    template <class Result, class Task>
    std::optional<Result> call(Task task) {
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future();
        net::post(io, [promise, task = std::move(task)]() mutable {
            try {
                promise->set_value(task());
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            if (stopping) {
                return std::nullopt;
            }
        }
        return future.get();
    }
};

namespace relay_detail {

// A launcher's game connection as the relay sees it: one TCP connection to the channel's game
// server, kept across WebSockets, the bytes sent to the launcher and not yet acknowledged, and
// the count received from it. Touched on the I/O thread only.
class LogicalStream : public std::enable_shared_from_this<LogicalStream> {
public:
    LogicalStream(Relay::Impl& relay, std::uint64_t serial, std::string id, std::int64_t gameSessionId,
                  std::size_t channel)
        : relay_(relay),
          serial_(serial),
          id_(std::move(id)),
          gameSessionId_(gameSessionId),
          channel_(channel),
          game_(relay.io),
          detachedAt_(relay.now()) {}

    const std::string& id() const { return id_; }
    bool resumable() const { return !id_.empty(); }
    std::uint64_t serial() const { return serial_; }
    std::int64_t gameSessionId() const { return gameSessionId_; }
    std::size_t channel() const { return channel_; }
    bool ended() const { return ended_; }
    std::uint64_t receivedTotal() const { return receivedTotal_; }
    std::uint64_t ackedBase() const { return ackedBase_; }
    std::uint64_t highestSent() const { return highestSent_; }
    json describe() const {
        return json{{"channel", std::string(kGameChannels[channel_])},
                    {"resumable", resumable()},
                    {"live", ws_ != nullptr},
                    {"from_launcher", receivedTotal_},
                    {"acknowledged", ackedBase_},
                    {"sent", highestSent_},
                    {"unacknowledged", toLauncher_.size()}};
    }
    std::uint64_t reserve() { return ++generation_; }
    // The launcher holds every byte before `total`: they need not be kept for resending. A
    // resumption's offset says as much as an acknowledgement.
    void acknowledge(std::uint64_t total) {
        if (total <= ackedBase_ || total > highestSent_) {
            return;
        }
        toLauncher_.dropFront(static_cast<std::size_t>(total - ackedBase_));
        ackedBase_ = total;
        readGame();
    }
    std::uint64_t generation() const { return generation_; }
    void makeNotResumable() { id_.clear(); }

    // Without a live WebSocket for longer than the grace period.
    bool expired() const { return !ws_ && relay_.now() - detachedAt_ >= relay_.settings.graceSeconds; }

    void connectGame(std::uint16_t port) {
        const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
        game_.async_connect(endpoint, [self = shared_from_this()](const boost::system::error_code& error) {
            if (error || self->ended_) {
                if (!self->ended_) {
                    self->end(EndReason::Broken, kInternalError);
                }
                self->closeGame();
                return;
            }
            boost::system::error_code ignored;
            self->game_.set_option(tcp::no_delay(true), ignored);
            self->gameConnected_ = true;
            self->readGame();
            self->writeGame();
        });
    }

    // A resumption takes over: the WebSocket still attached (or stalled) is cut. One whose close
    // frame went out ends by itself once the launcher's answer (or the handshake's time-out)
    // comes: a resumption that follows at once must not cut that answer off.
    void supersede() {
        if (ws_) {
            auto old = ws_;
            release(old, true);
            if (!old->closing) {
                old->reset();
            }
        }
        for (auto& stalled : stalled_) {
            stalled->reset();
        }
        stalled_.clear();
    }

    void attach(const std::shared_ptr<WsSession>& session, std::uint64_t offset, bool resumption) {
        if (ws_) {
            supersede();
        }
        ws_ = session;
        session->sendOffset = std::max(offset, ackedBase_);
        session->lastAckSent = receivedTotal_;
        session->lastAckTime = Steady::now();
        if (session->faults.silentMs > 0) {
            ++relay_.counters.silences;
            session->silentUntil = Steady::now() + std::chrono::milliseconds(session->faults.silentMs);
        }
        if (resumption) {
            ++relay_.counters.resumptions;
            if (pendingTimedDrop_) {
                relay_.timedDropResumed(*pendingTimedDrop_);
            }
        }
        pendingTimedDrop_.reset();
        tick(session);
        readWs(session);
        if (session->faults.dropEveryMs > 0) {
            session->dropTimer.expires_after(std::chrono::milliseconds(session->faults.dropEveryMs));
            session->dropTimer.async_wait([self = shared_from_this(), session](const boost::system::error_code& error) {
                if (error || !session->live || self->ws_ != session || self->ended_) {
                    return;
                }
                self->pendingTimedDrop_ = self->relay_.recordTimedDrop(self->channel_);
                self->drop(session);
            });
        }
        if (dropPointReached(*session)) {
            drop(session);
            return;
        }
        pump(session);
    }

    // Ends the stream: its id answers 410 from now on. `code`: how an attached WebSocket closes.
    void end(EndReason reason, std::uint16_t code) {
        if (ended_) {
            return;
        }
        ended_ = true;
        auto& counters = relay_.counters;
        (reason == EndReason::Closed ? counters.closed : reason == EndReason::Expired ? counters.expired
                                                                                       : counters.broken)++;
        --counters.open;
        relay_.streams.erase(serial_);
        if (resumable()) {
            relay_.byId.erase(id_);
            relay_.remember(id_);
        }
        for (auto& stalled : stalled_) {
            stalled->reset();
        }
        stalled_.clear();
        if (ws_) {
            ws_->closeCode = code;
            pump(ws_);
        }
        // What the launcher sent still reaches the game server; then its connection closes.
        closeGameAfterFlush_ = true;
        if (!gameConnected_) {
            closeGame();
        } else {
            writeGame();
        }
    }

private:
    void closeGame() {
        boost::system::error_code ignored;
        game_.shutdown(tcp::socket::shutdown_both, ignored);
        game_.close(ignored);
    }

    // This WebSocket no longer carries the stream (dropped, broken, superseded or closed).
    void release(const std::shared_ptr<WsSession>& session, bool abnormal) {
        if (!session->live) {
            return;
        }
        session->live = false;
        session->timer.cancel();
        if (abnormal) {
            ++relay_.counters.disconnects;
        }
        if (ws_ == session) {
            ws_.reset();
            detachedAt_ = relay_.now();
            if (!resumable() && !ended_) {
                end(EndReason::Broken, kInternalError);
            }
        }
    }

    bool dropPointReached(const WsSession& session) const {
        if (!session.faults.dropAfter) {
            return false;
        }
        const std::uint64_t counted = session.bytesOut + (session.faults.bothDirections ? session.bytesIn : 0);
        return counted >= *session.faults.dropAfter;
    }

    void drop(const std::shared_ptr<WsSession>& session) {
        if (session->faults.closeStatus) {
            // A close frame instead of a cut: 1000 ends the stream, anything else breaks this
            // WebSocket only and the stream waits for its resumption.
            const std::uint16_t status = *session->faults.closeStatus;
            session->faults.closeStatus.reset();
            session->faults.dropAfter.reset();
            session->closeReason = session->faults.closeReason;
            if (status == 1000) {
                end(EndReason::Closed, 1000);
            } else {
                session->closeCode = status;
                pump(session);
            }
            return;
        }
        if (session->faults.how == DropHow::Stall) {
            ++relay_.counters.dropsStall;
            stalled_.push_back(session);  // keeps the connection open, silent both ways
            release(session, true);
        } else {
            ++relay_.counters.dropsReset;
            release(session, true);
            resetWhenSent(session, Steady::now() + std::chrono::milliseconds(500));
        }
    }

    // A reset discards what TCP has not sent yet: the launcher is to have the bytes before the
    // drop point, so the reset waits (briefly) until they are on their way.
    void resetWhenSent(const std::shared_ptr<WsSession>& session, Steady::time_point limit) {
        if (session->unsent() == 0 || Steady::now() >= limit) {
            session->reset();
            return;
        }
        session->timer.expires_after(std::chrono::milliseconds(1));
        session->timer.async_wait([self = shared_from_this(), session, limit](const boost::system::error_code&) {
            self->resetWhenSent(session, limit);
        });
    }

    void tick(const std::shared_ptr<WsSession>& session) {
        session->timer.expires_after(kTick);
        session->timer.async_wait([self = shared_from_this(), session](const boost::system::error_code& error) {
            if (error || !session->live) {
                return;
            }
            self->pump(session);
            self->tick(session);
        });
    }

    // Game server -> launcher.
    void readGame() {
        const std::size_t limit = relay_.settings.resendLimit;
        if (gameReading_ || !gameConnected_ || gameDone_ || ended_ || toLauncher_.size() >= limit) {
            return;
        }
        gameReading_ = true;
        const std::size_t room = std::min(kGameRead, limit - toLauncher_.size());
        game_.async_read_some(net::buffer(gameBuffer_.data(), room),
                              [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                                  self->gameReading_ = false;
                                  if (self->ended_) {
                                      return;
                                  }
                                  if (error) {
                                      self->gameDone_ = true;
                                  } else {
                                      self->toLauncher_.append(self->gameBuffer_.data(), size);
                                      self->readGame();
                                  }
                                  if (self->ws_) {
                                      self->pump(self->ws_);
                                  } else if (self->gameDone_ && self->settled()) {
                                      self->end(EndReason::Closed, 1000);
                                  }
                              });
    }

    // Launcher -> game server.
    void writeGame() {
        if (gameWriting_ || !gameConnected_) {
            return;
        }
        if (toGame_.empty()) {
            if (closeGameAfterFlush_) {
                closeGame();
            }
            return;
        }
        gameWriting_ = true;
        net::async_write(game_, net::buffer(toGame_.front()),
                         [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                             self->gameWriting_ = false;
                             if (error) {
                                 self->toGame_.clear();
                                 self->toGameBytes_ = 0;
                                 self->end(EndReason::Broken, kInternalError);
                                 self->closeGame();
                                 return;
                             }
                             self->toGameBytes_ -= self->toGame_.front().size();
                             self->toGame_.pop_front();
                             self->writeGame();
                             if (self->ws_) {
                                 self->readWs(self->ws_);
                             }
                         });
    }

    // Everything the game server sent has reached the launcher (acknowledged when resumable).
    bool settled() const {
        return toLauncher_.size() == 0;
    }

    void readWs(const std::shared_ptr<WsSession>& session) {
        if (!session->live || session->reading || session->closing || session->closeCode ||
            toGameBytes_ >= relay_.settings.toGameLimit) {
            return;
        }
        session->reading = true;
        session->ws.async_read(session->readBuffer, [self = shared_from_this(), session](
                                                        const boost::system::error_code& error, std::size_t) {
            session->reading = false;
            self->onWsRead(session, error);
        });
    }

    void onWsRead(const std::shared_ptr<WsSession>& session, const boost::system::error_code& error) {
        if (session->closeCode && error == websocket::error::closed) {
            session->closeAnswered = true;  // a pending read took the launcher's answer to our close
        }
        if (!session->live || ws_ != session) {
            return;  // dropped, stalled or superseded: what it still delivered is not counted
        }
        if (error) {
            const bool normal = error == websocket::error::closed && session->ws.reason().code == 1000;
            release(session, !normal);
            session->closeSocket(!normal);
            if (normal) {
                end(EndReason::Closed, 1000);
            }
            return;
        }
        const std::size_t size = session->readBuffer.size();
        if (session->ws.got_text()) {
            const std::string text = beast::buffers_to_string(session->readBuffer.data());
            session->readBuffer.consume(size);
            const auto acknowledged = parseAcknowledgement(text);
            if (!resumable() || !acknowledged || *acknowledged > highestSent_) {
                end(EndReason::Broken, kProtocolError);
                return;
            }
            acknowledge(*acknowledged);
        } else {
            const auto* bytes = static_cast<const std::uint8_t*>(session->readBuffer.data().data());
            toGame_.emplace_back(bytes, bytes + size);
            session->readBuffer.consume(size);
            toGameBytes_ += size;
            receivedTotal_ += size;
            session->bytesIn += size;
            relay_.counters.bytesFromLauncher += size;
            writeGame();
        }
        if (dropPointReached(*session)) {
            drop(session);
            return;
        }
        pump(session);
        readWs(session);
    }

    // Starts the next write on this WebSocket, if any is due: a close, a malformed
    // acknowledgement, an acknowledgement, then game bytes.
    void pump(const std::shared_ptr<WsSession>& session) {
        if (!session->live || session->writing || session->closing) {
            return;
        }
        if (session->closeCode) {
            closeWebSocket(session);
            return;
        }
        if (Steady::now() < session->silentUntil) {
            return;  // the tick comes back when the silence is over
        }
        if (session->faults.badAck && !session->badAckSent && session->bytesOut >= session->faults.badAckAt) {
            session->badAckSent = true;
            ++relay_.counters.badAcks;
            const std::string& text = *session->faults.badAck;
            write(session, true, std::vector<std::uint8_t>(text.begin(), text.end()), 0, 0);
            return;
        }
        if (resumable() &&
            acknowledgementDue(receivedTotal_, session->lastAckSent, msSince(session->lastAckTime))) {
            const std::string text = std::to_string(receivedTotal_);
            session->lastAckSent = receivedTotal_;
            session->lastAckTime = Steady::now();
            // Some acknowledgements go out in two fragments: the launcher must join them.
            const std::size_t split = (++session->acks % 3 == 0 && text.size() >= 2) ? text.size() / 2 : 0;
            write(session, true, std::vector<std::uint8_t>(text.begin(), text.end()), split, 0);
            return;
        }
        session->sendOffset = std::max(session->sendOffset, ackedBase_);
        const std::uint64_t produced = ackedBase_ + toLauncher_.size();
        if (session->sendOffset < produced) {
            std::uint64_t count = std::min<std::uint64_t>(kRelayMessageLimit, produced - session->sendOffset);
            if (session->faults.dropAfter) {
                const std::uint64_t counted =
                    session->bytesOut + (session->faults.bothDirections ? session->bytesIn : 0);
                count = std::min(count, *session->faults.dropAfter - counted);
            }
            if (session->faults.badAck && !session->badAckSent) {
                count = std::min(count, session->faults.badAckAt - session->bytesOut);  // exactly there
            }
            const auto* first = toLauncher_.at(static_cast<std::size_t>(session->sendOffset - ackedBase_));
            std::vector<std::uint8_t> bytes(first, first + static_cast<std::size_t>(count));
            highestSent_ = std::max(highestSent_, session->sendOffset + count);
            // Every fourth message goes out in two fragments: the launcher must join them too.
            const std::size_t split = (++session->messages % 4 == 0 && count >= 2) ? bytes.size() / 2 : 0;
            write(session, false, std::move(bytes), split, count);
            return;
        }
        if (gameDone_ && settled()) {
            end(EndReason::Closed, 1000);
        }
    }

    void write(const std::shared_ptr<WsSession>& session, bool text, std::vector<std::uint8_t> bytes,
               std::size_t split, std::uint64_t gameBytes) {
        session->writing = true;
        session->out = std::move(bytes);
        session->ws.text(text);
        auto done = [self = shared_from_this(), session, gameBytes](const boost::system::error_code& error,
                                                                    std::size_t) {
            session->writing = false;
            self->onWritten(session, error, gameBytes);
        };
        if (split == 0) {
            session->ws.async_write(net::buffer(session->out), std::move(done));
            return;
        }
        session->ws.async_write_some(
            false, net::buffer(session->out.data(), split),
            [session, split, done = std::move(done)](const boost::system::error_code& error, std::size_t) mutable {
                if (error) {
                    done(error, 0);
                    return;
                }
                session->ws.async_write_some(
                    true, net::buffer(session->out.data() + split, session->out.size() - split), std::move(done));
            });
    }

    void onWritten(const std::shared_ptr<WsSession>& session, const boost::system::error_code& error,
                   std::uint64_t gameBytes) {
        if (!session->live || ws_ != session) {
            return;
        }
        if (error) {
            release(session, true);
            session->reset();
            return;
        }
        if (gameBytes > 0) {
            session->sendOffset += gameBytes;
            session->bytesOut += gameBytes;
            relay_.counters.bytesToLauncher += gameBytes;
            if (!resumable()) {
                // Nothing is resent without resumption: what went out is gone.
                const std::uint64_t done = session->sendOffset - ackedBase_;
                toLauncher_.dropFront(static_cast<std::size_t>(done));
                ackedBase_ = session->sendOffset;
                readGame();
            }
            if (dropPointReached(*session)) {
                drop(session);
                return;
            }
        }
        pump(session);
    }

    void closeWebSocket(const std::shared_ptr<WsSession>& session) {
        session->closing = true;
        const websocket::close_reason reason(static_cast<websocket::close_code>(*session->closeCode), session->closeReason);
        session->ws.async_close(reason, [self = shared_from_this(), session](const boost::system::error_code& error) {
            // Completes without an error once the launcher's own close frame came back; when a
            // pending read took that frame instead, the close fails and the read's handler (queued
            // already) says so: judged after it. A close frame that came back is an answer even
            // when the TLS teardown after it fails: WinHTTP closes the connection without TLS's
            // close_notify once the handshake is done (under Wine the teardown always ends with
            // "stream truncated"), which says nothing about the WebSocket's closing handshake.
            if (!error || session->ws.reason().code != websocket::close_code::none) session->closeAnswered = true;
            net::post(self->relay_.io, [self, session] {
                ++(session->closeAnswered ? self->relay_.counters.closesAnswered
                                          : self->relay_.counters.closesUnanswered);
            });
            const bool normal = *session->closeCode == 1000;
            self->release(session, !normal);
            session->closeSocket(!normal);
        });
    }

    Relay::Impl& relay_;
    std::uint64_t serial_;
    std::string id_;  // empty: not resumable
    std::int64_t gameSessionId_;
    std::size_t channel_;
    std::uint64_t generation_ = 0;  // of the latest admitted WebSocket; only that one attaches

    tcp::socket game_;
    std::array<std::uint8_t, kGameRead> gameBuffer_{};
    bool gameConnected_ = false;
    bool gameReading_ = false;
    bool gameWriting_ = false;
    bool gameDone_ = false;
    bool closeGameAfterFlush_ = false;

    std::deque<std::vector<std::uint8_t>> toGame_;  // from the launcher, not yet written
    std::size_t toGameBytes_ = 0;
    std::uint64_t receivedTotal_ = 0;  // from the launcher, on all WebSockets

    ByteBuffer toLauncher_;         // from the game server, not yet acknowledged
    std::uint64_t ackedBase_ = 0;   // what the launcher has acknowledged (or, without resumption, been sent)
    std::uint64_t highestSent_ = 0;  // the furthest byte ever handed to a WebSocket

    std::shared_ptr<WsSession> ws_;  // the live WebSocket, if any
    std::optional<std::uint64_t> pendingTimedDrop_;  // the timed drop the next resumption completes
    std::vector<std::shared_ptr<WsSession>> stalled_;
    std::int64_t detachedAt_;  // service clock, when the stream last lost its WebSocket
    bool ended_ = false;
};

// What the I/O thread decided about one upgrade request.
struct Admission {
    unsigned status = 101;
    std::string reason;
    HeaderList headers;
    std::shared_ptr<LogicalStream> stream;
    std::uint64_t generation = 0;
    std::uint64_t offset = 0;
};

// What the HTTP thread found in the request and the fault rules.
struct Request {
    std::int64_t gameSessionId = 0;
    std::size_t channel = 0;
    bool wantsResume = false;
    std::optional<std::string> resumeId;
    std::uint64_t offset = 0;
    std::optional<std::string> omit;             // no-resume-headers
    bool changeId = false;                       // change-resume-id
    std::optional<std::string> claimedReceived;  // impossible-received
};

}  // namespace relay_detail

void Relay::Impl::sweep() {
    std::vector<std::shared_ptr<LogicalStream>> expired;
    for (const auto& [serial, stream] : streams) {
        if (stream->expired()) {
            expired.push_back(stream);
        }
    }
    for (auto& stream : expired) {
        stream->end(EndReason::Expired, 1000);
    }
}

void Relay::Impl::scheduleSweep() {
    sweepTimer->expires_after(std::chrono::seconds(1));
    // Handlers run on the I/O thread, which stops before the relay goes away.
    sweepTimer->async_wait([this](const boost::system::error_code& error) {
        if (error || stopping) {
            return;
        }
        sweep();
        scheduleSweep();
    });
}

namespace {

Admission admit(Relay::Impl& relay, const Request& request) {
    Admission admission;
    const auto refuse = [&](unsigned status, std::string reason) {
        admission.status = status;
        admission.reason = std::move(reason);
        return admission;
    };
    if (!request.resumeId) {
        if (relay.streams.size() >= relay.settings.streamLimit) {
            return refuse(503, "too many relay streams");
        }
        std::string id = request.wantsResume ? tools::opaqueToken() : std::string();
        auto stream = std::make_shared<LogicalStream>(relay, relay.nextSerial++, id, request.gameSessionId,
                                                      request.channel);
        if (request.wantsResume) {
            if (!request.omit) {
                admission.headers = {{"X-Nyra-Resume-Id", id},
                                     {"X-Nyra-Resume-Received", request.claimedReceived.value_or("0")}};
            } else {
                // The launcher treats a stream without both headers as not resumable; so does this end.
                if (*request.omit == "id") {
                    admission.headers = {{"X-Nyra-Resume-Received", "0"}};
                } else if (*request.omit == "received") {
                    admission.headers = {{"X-Nyra-Resume-Id", id}};
                }
                stream->makeNotResumable();
            }
        }
        relay.streams.emplace(stream->serial(), stream);
        if (stream->resumable()) {
            relay.byId.emplace(stream->id(), stream);
        }
        ++relay.counters.streams;
        ++relay.counters.open;
        stream->connectGame(relay.gamePorts[request.channel]);
        admission.stream = stream;
        admission.generation = stream->reserve();
        return admission;
    }
    const auto found = relay.byId.find(*request.resumeId);
    if (found == relay.byId.end()) {
        return relay.endedIds.count(*request.resumeId) ? refuse(410, "relay stream ended")
                                                       : refuse(404, "unknown relay stream");
    }
    auto stream = found->second;
    if (stream->gameSessionId() != request.gameSessionId || stream->channel() != request.channel) {
        return refuse(404, "unknown relay stream");
    }
    if (stream->expired()) {
        stream->end(EndReason::Expired, 1000);
        return refuse(410, "relay stream ended");
    }
    if (request.offset < stream->ackedBase() || request.offset > stream->highestSent()) {
        return refuse(400, "resume offset outside what can be resent");
    }
    stream->supersede();
    stream->acknowledge(request.offset);
    const std::string received = std::to_string(stream->receivedTotal());
    admission.headers = {{"X-Nyra-Resume-Id", request.changeId ? tools::opaqueToken() : stream->id()},
                         {"X-Nyra-Resume-Received", request.claimedReceived.value_or(received)}};
    admission.stream = stream;
    admission.generation = stream->reserve();
    admission.offset = request.offset;
    return admission;
}

// The handshake of an admitted WebSocket; the stream takes it when it succeeds.
void startSession(Relay::Impl* relay, UpgradedConnection& connection,
                  const Admission& admission, const SessionFaults& faults, bool resumption) {
    auto session = std::make_shared<WsSession>(std::move(*connection.stream));
    session->request = std::move(connection.request);
    session->faults = faults;
    auto& ws = session->ws;
    boost::system::error_code ignored;
    ws.next_layer().next_layer().set_option(tcp::no_delay(true), ignored);  // game packets are small
    ws.auto_fragment(false);
    ws.read_message_max(kRelayReadLimit);
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::seconds(10);
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws.set_option(timeouts);
    ws.set_option(websocket::stream_base::decorator([headers = admission.headers](websocket::response_type& response) {
        response.set(beast::http::field::server, "nyra-service");
        for (const auto& [name, value] : headers) {
            response.set(name, value);
        }
    }));
    ws.async_accept(session->request, [relay, session, admission, resumption](const boost::system::error_code& error) {
        auto& stream = admission.stream;
        if (error || relay->stopping || stream->ended() || stream->generation() != admission.generation) {
            session->live = false;
            session->reset();
            return;
        }
        stream->attach(session, admission.offset, resumption);
    });
}

bool appliesTo(const FaultRule& rule, bool resumption, bool wantsResume) {
    switch (rule.kind) {
    case FaultKind::NoResumeHeaders:
        return !resumption && wantsResume;
    case FaultKind::ImpossibleReceived:
        return rule.newStreams ? !resumption && wantsResume : resumption;
    case FaultKind::RefuseResume:
    case FaultKind::ChangeResumeId:
        return resumption;
    default:
        return true;
    }
}

}  // namespace

Relay::Relay(Store& store, FaultRegistry& faults, RelaySettings settings)
    : impl_(std::make_shared<Impl>(store, faults, std::move(settings))) {}

Relay::~Relay() { stop(); }

net::io_context& Relay::context() { return impl_->io; }

void Relay::start(std::array<std::uint16_t, kGameChannelCount> gamePorts) {
    impl_->ioThread.start([impl = impl_.get(), gamePorts] {
        impl->gamePorts = gamePorts;
        impl->sweepTimer = std::make_unique<net::steady_timer>(impl->io);
        impl->scheduleSweep();
    });
}

void Relay::stop() {
    impl_->stopping = true;  // requests waiting for the I/O thread give up; nothing new attaches
    impl_->ioThread.stop([impl = impl_.get()] {
        std::vector<std::shared_ptr<LogicalStream>> all;
        for (const auto& [serial, stream] : impl->streams) {
            all.push_back(stream);
        }
        for (auto& stream : all) {
            stream->supersede();
            stream->end(EndReason::Closed, 1001);
        }
        impl->sweepTimer->cancel();
    });
}

HttpResponse Relay::handle(const HttpRequest& request, const Pause& pause) {
    auto& impl = *impl_;
    const auto refuse = [&impl](unsigned status, const std::string& reason) {
        ++impl.counters.refused;
        return textResponse(status, "text/plain; charset=utf-8", reason + "\n");
    };
    const std::string* origin = request.header("Origin");
    if (origin == nullptr || *origin != impl.settings.origin) {
        return refuse(403, "origin not allowed");
    }
    const std::string sessionToken = request.cookie(kSessionCookie);
    const auto session = isOpaqueToken(sessionToken) ? impl.store.findSession(sessionToken) : std::nullopt;
    if (!session) {
        return refuse(401, "not signed in");
    }
    const std::string* csrfHeader = request.header("X-CSRF-Token");
    const std::string csrf = request.cookie(kCsrfCookie);
    if (csrfHeader == nullptr || *csrfHeader != csrf || !isOpaqueToken(csrf) || !impl.store.csrfTokenValid(csrf)) {
        return refuse(403, "CSRF token missing or wrong");
    }
    const std::string* authorization = request.header("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    const std::string token = authorization != nullptr && authorization->rfind(kBearer, 0) == 0
                                  ? authorization->substr(kBearer.size())
                                  : std::string();
    const auto game = isOpaqueToken(token) ? impl.store.findGameSession(token) : std::nullopt;
    if (!game || game->stopped) {
        return refuse(401, "game session unknown or ended");
    }
    if (game->accountId != session->account.id) {
        return refuse(403, "game session of another account");
    }
    const std::string* channelName = request.header("X-Nyra-Game-Channel");
    const auto channel = channelName ? gameChannelIndex(*channelName) : std::nullopt;
    if (!channel) {
        return refuse(400, "X-Nyra-Game-Channel must be login, world or zone");
    }
    const std::string* key = request.header("Sec-WebSocket-Key");
    const std::string* version = request.header("Sec-WebSocket-Version");
    if (key == nullptr || key->empty() || version == nullptr || *version != "13") {
        return refuse(400, "not a WebSocket version 13 handshake");
    }

    Request parsed;
    parsed.gameSessionId = game->id;
    parsed.channel = *channel;
    const std::string* resumeId = request.header("X-Nyra-Resume-Id");
    const std::string* offset = request.header("X-Nyra-Resume-Offset");
    const std::string* resume = request.header("X-Nyra-Resume");
    if (resumeId != nullptr) {
        const auto value = offset ? parseAcknowledgement(*offset) : std::nullopt;
        if (!isOpaqueToken(*resumeId) || !value) {
            return refuse(400, "X-Nyra-Resume-Id needs a 43-character id and X-Nyra-Resume-Offset 1 to 20 digits");
        }
        parsed.resumeId = *resumeId;
        parsed.offset = *value;
    } else if (offset != nullptr) {
        return refuse(400, "X-Nyra-Resume-Offset without X-Nyra-Resume-Id");
    } else if (resume != nullptr) {
        if (*resume != "1") {
            return refuse(400, "X-Nyra-Resume must be 1");
        }
        parsed.wantsResume = true;
    }

    const bool resumption = parsed.resumeId.has_value();
    const auto rules = impl.faults.take({"relay"}, [&](const FaultRule& rule) {
        return (!rule.channel || *rule.channel == kGameChannels[parsed.channel]) &&
               appliesTo(rule, resumption, parsed.wantsResume);
    });
    SessionFaults faults;
    for (const auto& rule : rules) {
        switch (rule.kind) {
        case FaultKind::Delay:
            if (!pause(static_cast<int>(rule.milliseconds))) {
                return refuse(503, "service stopping");
            }
            break;
        case FaultKind::Status:
        case FaultKind::RefuseResume:
            return refuse(rule.status, "injected fault");
        case FaultKind::Drop: {
            if (rule.everyMs) {
                faults.dropEveryMs = *rule.everyMs;
                faults.how = rule.how;
                break;
            }
            const std::uint64_t at =
                rule.mean ? seededDropPoint(rule.seed.value_or(1), rule.uses, *rule.mean) : rule.at.value_or(0);
            faults.dropAfter = std::min(at, faults.dropAfter.value_or(at));
            faults.bothDirections = rule.bothDirections;
            faults.how = rule.how;
            break;
        }
        case FaultKind::NoResumeHeaders:
            parsed.omit = rule.omit;
            break;
        case FaultKind::ChangeResumeId:
            parsed.changeId = true;
            break;
        case FaultKind::ImpossibleReceived:
            parsed.claimedReceived = rule.value.value_or(std::string());
            break;
        case FaultKind::BadAck:
            faults.badAck = rule.value;
            faults.badAckAt = rule.at.value_or(0);
            break;
        case FaultKind::Silent:
            faults.silentMs = rule.milliseconds;
            break;
        case FaultKind::Close:
            faults.dropAfter = std::min(*rule.at, faults.dropAfter.value_or(*rule.at));
            faults.closeStatus = static_cast<std::uint16_t>(rule.status);
            faults.closeReason = rule.value.value_or(std::string());
            break;
        default:
            break;
        }
    }

    auto admission = impl.call<Admission>([self = impl_.get(), parsed] {
        Admission result = admit(*self, parsed);
        if (result.status == 101 && parsed.claimedReceived && parsed.claimedReceived->empty()) {
            // Far beyond anything the launcher can have sent.
            result.headers[1].second = std::to_string(result.stream->receivedTotal() + (std::uint64_t{1} << 32));
        }
        return result;
    });
    if (!admission) {
        return refuse(503, "service stopping");
    }
    if (admission->status != 101) {
        return refuse(admission->status, admission->reason);
    }
    HttpResponse response;
    response.status = 101;
    response.headers = admission->headers;
    std::weak_ptr<Impl> weak = impl_;
    response.upgrade = [weak, admission = *admission, faults, resumption](UpgradedConnection& connection) {
        auto relay = weak.lock();
        if (!relay) {
            return;
        }
        auto handedOver = std::make_shared<UpgradedConnection>(std::move(connection));
        net::post(relay->io, [impl = relay.get(), handedOver, admission, faults, resumption] {
            startSession(impl, *handedOver, admission, faults, resumption);
        });
    };
    return response;
}

json Relay::state() const {
    const auto& c = impl_->counters;
    return json{{"streams", c.streams.load()},
                {"open", c.open.load()},
                {"resumptions", c.resumptions.load()},
                {"drops", c.dropsReset.load() + c.dropsStall.load()},
                {"drops_reset", c.dropsReset.load()},
                {"drops_stall", c.dropsStall.load()},
                {"disconnects", c.disconnects.load()},
                {"closed", c.closed.load()},
                {"expired", c.expired.load()},
                {"broken", c.broken.load()},
                {"refused", c.refused.load()},
                {"bad_acks", c.badAcks.load()},
                {"silences", c.silences.load()},
                {"closes_answered", c.closesAnswered.load()},
                {"closes_unanswered", c.closesUnanswered.load()},
                {"bytes_from_launcher", c.bytesFromLauncher.load()},
                {"bytes_to_launcher", c.bytesToLauncher.load()},
                {"grace_seconds", impl_->settings.graceSeconds},
                {"resend_limit", impl_->settings.resendLimit},
                {"timed_drops", impl_->call<json>([impl = impl_.get()] {
                                    json drops = json::array();
                                    for (const auto& drop : impl->timedDrops) {
                                        drops.push_back({{"channel", std::string(kGameChannels[drop.channel])},
                                                         {"dropped_us", drop.droppedUs},
                                                         {"resumed_us", drop.resumedUs}});
                                    }
                                    return drops;
                                }).value_or(json::array())},
                {"open_streams", impl_->call<json>([impl = impl_.get()] {
                                     json streams = json::array();
                                     for (const auto& [serial, stream] : impl->streams) {
                                         streams.push_back(stream->describe());
                                     }
                                     return streams;
                                 }).value_or(json::array())}};
}

}  // namespace nyra::service
