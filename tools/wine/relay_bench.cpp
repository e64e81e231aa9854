// Game-traffic relay benchmark, run under Wine against the stand-in service (scripts/bench-relay):
//   throughput - one channel's bulk download from the game-server stand-in through the relay,
//                against the same bytes over a direct loopback TCP connection, same run;
//   stream     - the same download over one WinHTTP WebSocket read directly (no relay around it),
//                and 64-byte round trips over it: what WinHTTP and the stand-in allow;
//   latency    - round trips of 64-byte messages through the relay and directly: p50 and p99;
//   resumption - the longest pause in a flowing stream around each dropped WebSocket (the time
//                from the drop to the first byte of the resumed stream): p50 and max;
//   storm      - bidirectional echo of seeded bytes on the three channels while the service drops
//                WebSockets at random points (mean and direction on the command line): every byte
//                checked both ways;
//   dense      - the same with a drop every 32 KiB of server-sent bytes on average;
//   drops      - the long run: drop points counted over both directions, 32 KiB apart on average,
//                until well over 1,000 WebSockets have been dropped (full mode only);
//   memory     - the process's peak working set with eight connections streaming at once;
//   game       - small stamped messages (64-512 bytes, 60 a second each way) on the three channels
//                while a second world connection downloads as fast as it can: one-way delays per
//                channel and direction (p50, p99, p99.9, max) directly, through the relay, and
//                through the relay with the zone WebSocket dropped every 2 s (with the resumption
//                times), the relay's added delay, and the bulk rate against one bare WebSocket's.
// relay-download and direct-download (named with --only) repeat one path's download, to profile.
// Prints one "key value" line per figure.
// Usage: nyra-relay-bench [--short] [--only=SECTION,...] [--storm-mean=BYTES]
//                         [--storm-direction=to-launcher|both] [--storm-bytes=BYTES] [--trace]
#include "core/text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/game_stream.h"
#include "net/win/winhttp.h"
#include "relay/tests/win/game_client.h"
#include "tools/common/timed_messages.h"
#include "relay/win/windows_relay.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using nyra::test::GameClient;

struct WinClock final : nyra::Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

struct Options {
    bool quick = false;
    bool trace = false;
    std::vector<std::string> only;  // empty: every section of the mode
    std::uint64_t stormMean = 98304;
    std::string stormDirection = "to-launcher";
    std::uint64_t stormBytes = 0;  // per channel; 0: the mode's default

    bool wanted(const std::string& section) const {
        if (only.empty()) return (section != "drops" || !quick) && section.find("-download") == std::string::npos;
        return std::find(only.begin(), only.end(), section) != only.end();
    }
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&](const char* name) -> std::optional<std::string> {
            const std::string prefix = std::string(name) + "=";
            if (argument.rfind(prefix, 0) != 0) return std::nullopt;
            return argument.substr(prefix.size());
        };
        if (argument == "--short") {
            options.quick = true;
        } else if (argument == "--trace") {
            options.trace = true;
        } else if (const auto list = value("--only")) {
            for (std::size_t at = 0; at <= list->size();) {
                const std::size_t comma = std::min(list->find(',', at), list->size());
                options.only.push_back(list->substr(at, comma - at));
                at = comma + 1;
            }
        } else if (const auto mean = value("--storm-mean")) {
            options.stormMean = std::stoull(*mean);
        } else if (const auto direction = value("--storm-direction")) {
            options.stormDirection = *direction;
        } else if (const auto bytes = value("--storm-bytes")) {
            options.stormBytes = std::stoull(*bytes);
        } else {
            throw std::invalid_argument("unknown option " + argument);
        }
    }
    return options;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Seconds to receive `length` seeded bytes from a source connection (checked).
double download(std::uint16_t port, std::uint64_t length) {
    GameClient game(port);
    std::vector<std::uint8_t> buffer(1 << 20);
    nyra::tools::SeededBytes expected(11);
    const auto start = Clock::now();
    if (!game.startSource(11, length)) throw std::runtime_error("source");
    for (std::uint64_t done = 0; done < length;) {
        const auto got = game.receive({buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done))});
        if (!got || *got == 0) {
            throw std::runtime_error("download ended early after " + std::to_string(done) + " bytes" +
                                     (got ? "" : " (error " + std::to_string(::WSAGetLastError()) + ")"));
        }
        if (expected.match({buffer.data(), *got}) != *got) throw std::runtime_error("download corrupted");
        done += *got;
    }
    return secondsSince(start);
}

// Round-trip times in milliseconds of 64-byte echoes.
std::vector<double> roundTrips(std::uint16_t port, int count) {
    GameClient game(port);
    if (!game.startEcho()) throw std::runtime_error("echo");
    std::vector<std::uint8_t> message(64, 0x3C);
    std::vector<std::uint8_t> answer(64);
    std::vector<double> times;
    for (int i = 0; i < count + 20; ++i) {
        const auto start = Clock::now();
        if (!game.sendAll(message) || !game.receiveAll(answer)) throw std::runtime_error("round trip");
        if (i >= 20) times.push_back(secondsSince(start) * 1000);  // the first ones warm the path
    }
    return times;
}

// Pauses longer than `thresholdMs` while a stream of `length` bytes flows (one per drop).
std::vector<double> pauses(std::uint16_t port, std::uint64_t length, double thresholdMs) {
    GameClient game(port, 60000);
    std::vector<std::uint8_t> buffer(1 << 16);
    nyra::tools::SeededBytes expected(23);
    if (!game.startSource(23, length)) throw std::runtime_error("source");
    std::vector<double> found;
    auto last = Clock::now();
    for (std::uint64_t done = 0; done < length;) {
        const auto got = game.receive({buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done))});
        if (!got || *got == 0) throw std::runtime_error("stream ended early");
        if (expected.match({buffer.data(), *got}) != *got) throw std::runtime_error("stream corrupted");
        const double gapMs = secondsSince(last) * 1000;
        if (gapMs > thresholdMs) found.push_back(gapMs);
        last = Clock::now();
        done += *got;
    }
    return found;
}

// Seconds for one WebSocket stream, opened as the relay opens it but read here directly, to
// deliver `length` seeded bytes from the game server: WinHTTP's receive rate with no relay around it.
double streamOnly(const std::string& baseHeaders, std::uint64_t length, std::size_t bufferSize) {
    const auto stream = nyra::Http::GameStream::open(baseHeaders + "X-Nyra-Game-Channel: world\r\n");
    std::vector<std::uint8_t> command{'S'};
    for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(std::uint64_t{11} >> (8 * i)));
    for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    const auto start = Clock::now();
    if (!stream->sendBinary(command)) throw std::runtime_error("stream send");
    std::vector<std::uint8_t> buffer(bufferSize);
    nyra::tools::SeededBytes expected(11);
    for (std::uint64_t done = 0; done < length;) {
        const auto got = stream->receive(buffer);
        if (!got) throw std::runtime_error("stream receive");
        if (got->type != nyra::RelayStream::Message::Binary && got->type != nyra::RelayStream::Message::BinaryFragment) continue;
        if (expected.match({buffer.data(), got->size}) != got->size) throw std::runtime_error("stream corrupted");
        done += got->size;
    }
    const double seconds = secondsSince(start);
    stream->closeNormally();
    return seconds;
}

// Round-trip times in milliseconds of 64-byte echoes over one WebSocket stream read directly.
std::vector<double> streamRoundTrips(const std::string& baseHeaders, int count) {
    const auto stream = nyra::Http::GameStream::open(baseHeaders + "X-Nyra-Game-Channel: login\r\n");
    if (!stream->sendBinary(std::vector<std::uint8_t>{'E'})) throw std::runtime_error("stream send");
    std::vector<std::uint8_t> message(64, 0x3C);
    std::vector<std::uint8_t> buffer(32768);
    std::vector<double> times;
    for (int i = 0; i < count + 20; ++i) {
        const auto start = Clock::now();
        if (!stream->sendBinary(message)) throw std::runtime_error("stream send");
        for (std::size_t got = 0; got < message.size();) {
            const auto received = stream->receive(buffer);
            if (!received) throw std::runtime_error("stream receive");
            got += received->size;
        }
        if (i >= 20) times.push_back(secondsSince(start) * 1000);
    }
    stream->closeNormally();
    return times;
}

struct StormResult {
    std::uint64_t drops = 0;
    std::uint64_t serviceResumptions = 0;  // resumed WebSockets the service accepted
    std::uint64_t resumed = 0;              // the tunnel's resumed_streams
    std::uint64_t retries = 0;              // the tunnel's open_retries
    double seconds = 0;
    int intact = 0;
    bool failed = false;
    std::string failure;
};

json relayCounters(const nyra::test::ServiceControl& service) {
    json relay = service.request("GET", "/state").at("relay");
    relay.erase("open_streams");
    return relay;
}

// Echo of seeded bytes on the three channels while the service drops WebSockets at points drawn
// around `mean` bytes (counted to the launcher, or both ways): every byte that comes back is
// checked, so the game's bytes reached the server once and in order and the server's reached the
// game once and in order. Like a game, each sender keeps what is in flight bounded (1 MiB): a
// sender far ahead of its echo would hold the relay's 4 MiB of unacknowledged bytes, by design.
StormResult storm(const nyra::test::ServiceControl& service, nyra::GameTunnel& tunnel,
                  const std::function<std::uint16_t(const char*)>& relayPort, std::uint64_t mean,
                  const std::string& direction, std::uint64_t perChannel, bool trace) {
    service.fault({{"target", "relay"}, {"kind", "drop"}, {"always", true}, {"seed", 47}, {"mean", mean},
                   {"direction", direction}, {"how", "reset"}});
    const json serviceBefore = relayCounters(service);
    const json tunnelBefore = tunnel.stats();
    const auto dropsBefore = serviceBefore.at("drops").get<std::uint64_t>();
    const auto start = Clock::now();
    constexpr std::size_t kInFlight = 1u << 20;
    std::atomic<int> intact{0};
    std::atomic<bool> over{false};
    std::array<std::atomic<std::uint64_t>, 3> echoed{};
    std::vector<std::thread> channels;
    const std::array<const char*, 3> serverPorts{"6543", "5712", "10166"};
    for (std::size_t channel = 0; channel < 3; ++channel) {
        channels.emplace_back([&, channel] {
            const char* serverPort = serverPorts[channel];
            GameClient game(relayPort(serverPort), 120000);
            if (!game.startEcho()) return;
            std::thread sender([&] {
                nyra::tools::SeededBytes source(static_cast<std::uint8_t>(serverPort[0]));
                std::vector<std::uint8_t> chunk(8192);
                for (std::uint64_t done = 0; done < perChannel; done += chunk.size()) {
                    while (done - echoed[channel].load() > kInFlight && !tunnel.failed() && !over) ::Sleep(1);
                    source.fill(chunk);
                    if (!game.sendAll(chunk)) return;
                }
            });
            nyra::tools::SeededBytes expected(static_cast<std::uint8_t>(serverPort[0]));
            std::vector<std::uint8_t> buffer(65536);
            bool whole = true;
            std::uint64_t received = 0;
            while (received < perChannel) {
                const auto got = game.receive(buffer);
                if (!got || *got == 0) break;
                for (std::size_t i = 0; i < *got; ++i) buffer[i] ^= nyra::test::kEchoTransform;
                whole = whole && expected.match({buffer.data(), *got}) == *got;
                received += *got;
                echoed[channel] = received;
            }
            if (received < perChannel) over = true;  // the senders stop waiting for echoes that will not come
            game.close();
            sender.join();
            if (whole && received == perChannel) ++intact;
        });
    }
    std::thread monitor;
    std::atomic<bool> finished{false};
    if (trace) {
        monitor = std::thread([&] {
            while (!finished) {
                for (int i = 0; i < 20 && !finished; ++i) ::Sleep(100);
                const json relayState = relayCounters(service);
                std::fprintf(stderr, "%6.1f s echoed %llu %llu %llu KiB, drops %llu, tunnel %s\n", secondsSince(start),
                             static_cast<unsigned long long>(echoed[0] >> 10),
                             static_cast<unsigned long long>(echoed[1] >> 10),
                             static_cast<unsigned long long>(echoed[2] >> 10),
                             static_cast<unsigned long long>(relayState.at("drops").get<std::uint64_t>() - dropsBefore),
                             tunnel.stats().dump().c_str());
            }
        });
    }
    for (auto& thread : channels) thread.join();
    finished = true;
    if (monitor.joinable()) monitor.join();
    StormResult result;
    result.seconds = secondsSince(start);
    const json serviceAfter = relayCounters(service);
    const json tunnelAfter = tunnel.stats();
    const auto grown = [](const json& after, const json& before, const char* key) {
        return after.at(key).get<std::uint64_t>() - before.at(key).get<std::uint64_t>();
    };
    result.drops = grown(serviceAfter, serviceBefore, "drops");
    result.serviceResumptions = grown(serviceAfter, serviceBefore, "resumptions");
    result.resumed = grown(tunnelAfter, tunnelBefore, "resumed_streams");
    result.retries = grown(tunnelAfter, tunnelBefore, "open_retries");
    result.intact = intact.load();
    result.failed = tunnel.failed();
    result.failure = tunnel.failureMessage();
    return result;
}


// ---- game: small timed messages on the three channels while the world channel is saturated ----

namespace timed = nyra::tools::timed;

// Microseconds since the Unix epoch: under Wine the precise system time is the kernel's
// CLOCK_REALTIME, the clock the stand-in stamps its messages with.
std::uint64_t unixMicros() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ull) / 10;  // 100-ns ticks since 1601
}

double delayMs(std::uint64_t from, std::uint64_t to) {
    return static_cast<double>(static_cast<std::int64_t>(to - from)) / 1000.0;
}

// Sequence numbers as they arrive: lost (skipped), duplicated and reordered (late) ones.
struct SequenceCheck {
    std::uint32_t next = 0;
    std::uint64_t count = 0, lost = 0, duplicated = 0, reordered = 0;
    std::vector<bool> seen;

    void take(std::uint32_t sequence) {
        ++count;
        if (seen.size() <= sequence) seen.resize(std::max<std::size_t>(sequence + 1, seen.size() * 2));
        if (sequence >= next) {
            lost += sequence - next;
            next = sequence + 1;
        } else if (seen[sequence]) {
            ++duplicated;
        } else {
            ++reordered;
            --lost;
        }
        seen[sequence] = true;
    }
};

struct ChannelRun {
    std::vector<double> upMs, downMs;
    std::vector<std::uint64_t> downArrivals;  // when each server message arrived (Unix us)
    std::vector<std::uint64_t> upSent, downSent;  // when each message was sent, beside its delay
    std::uint64_t sent = 0;
    double firstMessageMs = 0;  // from connecting to the server's first message
    SequenceCheck receipts, messages;
    std::string failure;
};

struct GamePhase {
    std::array<ChannelRun, 3> channels;
    double bulkMibPerS = 0;
    std::uint64_t startUs = 0, endUs = 0;
};

constexpr unsigned kGameRate = 60;
constexpr std::size_t kGameSmallest = 64, kGameLargest = 512;

// The game's end of one path to a game server: a loopback TCP connection (to the server itself,
// or through the relay), or one WebSocket to the backend's relay read here directly, with no
// relay of the launcher around it (what the transport and the backend's side take alone).
class GamePath {
public:
    virtual ~GamePath() = default;
    virtual bool sendAll(std::span<const std::uint8_t> bytes) = 0;
    // Some bytes: their count, 0 when the path ended, nullopt on an error.
    virtual std::optional<std::size_t> receive(std::span<std::uint8_t> buffer) = 0;
    virtual void close() = 0;  // also ends a send or receive under way
};

class SocketPath final : public GamePath {
public:
    explicit SocketPath(std::uint16_t port) : game_(port, 30000) {}
    bool sendAll(std::span<const std::uint8_t> bytes) override { return game_.sendAll(bytes); }
    std::optional<std::size_t> receive(std::span<std::uint8_t> buffer) override { return game_.receive(buffer); }
    void close() override { game_.close(); }

private:
    GameClient game_;
};

class StreamPath final : public GamePath {
public:
    explicit StreamPath(const std::string& headers) : stream_(nyra::Http::GameStream::open(headers)) {}
    bool sendAll(std::span<const std::uint8_t> bytes) override { return stream_->sendBinary(bytes); }
    std::optional<std::size_t> receive(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const auto got = stream_->receive(buffer);
            if (!got) return std::nullopt;
            switch (got->type) {
            case nyra::RelayStream::Message::Binary:
            case nyra::RelayStream::Message::BinaryFragment:
                if (got->size > 0) return got->size;
                break;
            case nyra::RelayStream::Message::Close: return 0;
            default: break;  // text: acknowledgements, which a stream opened without resumption does not get
            }
        }
    }
    void close() override { stream_->abort(); }

private:
    std::shared_ptr<nyra::Http::GameStream> stream_;
};

// Opens the path of a channel (0 login, 1 world, 2 zone) or, for kBulkPath, the world channel's
// second connection that carries the bulk download.
constexpr std::size_t kBulkPath = 3;
using PathOpener = std::function<std::unique_ptr<GamePath>(std::size_t)>;

std::vector<std::uint8_t> sourceCommand(std::uint64_t seed, std::uint64_t length) {
    std::vector<std::uint8_t> command{'S'};
    for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(seed >> (8 * i)));
    for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    return command;
}

// One timed connection: once the server's first message shows the path is up (as a game waits
// for its server's greeting), the game sends its own messages at the rate for `seconds` while
// the server's arrive; then it waits (up to 10 s) for the receipts of everything it sent.
void timedChannel(const PathOpener& openPath, std::size_t channel, double seconds, ChannelRun& run) {
    try {
        const auto connecting = Clock::now();
        const std::unique_ptr<GamePath> path = openPath(channel);
        GamePath& game = *path;
        if (!game.sendAll(timed::encodeOpen({kGameRate, kGameSmallest, kGameLargest, 100 + channel}))) {
            throw std::runtime_error("open");
        }
        const timed::Open mine{kGameRate, kGameSmallest, kGameLargest, 200 + channel};
        std::atomic<std::uint64_t> sent{0};
        std::atomic<bool> sending{true};
        std::atomic<bool> greeted{false};
        std::thread sender([&] {
            while (!greeted && sending) ::Sleep(1);
            const auto start = Clock::now();
            std::vector<std::uint8_t> message;
            for (std::uint32_t sequence = 0;; ++sequence) {
                const auto due = start + std::chrono::microseconds(std::uint64_t{sequence} * 1000000u / kGameRate);
                if (std::chrono::duration<double>(due - start).count() >= seconds) break;
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
                if (wait > 0) ::Sleep(static_cast<DWORD>(wait));
                message.clear();
                timed::appendMessage(message, sequence, unixMicros(), timed::messageSize(mine, sequence));
                if (!game.sendAll(message)) break;
                ++sent;
            }
            sending = false;
        });
        const auto stopSender = [&] {
            sending = false;
            game.close();  // also ends a send in progress
            sender.join();
        };
        timed::FrameReader reader;
        std::vector<std::uint8_t> buffer(65536);
        Clock::time_point drainDeadline{};
        while (true) {
            if (!sending) {
                if (drainDeadline == Clock::time_point{}) drainDeadline = Clock::now() + std::chrono::seconds(10);
                if (run.receipts.count >= sent || Clock::now() >= drainDeadline) break;
            }
            const auto got = game.receive(buffer);
            const std::uint64_t arrival = unixMicros();
            if (!got || *got == 0) {
                run.failure = "connection ended";
                break;
            }
            reader.append({buffer.data(), *got});
            timed::Frame frame;
            timed::FrameReader::Result result;
            while ((result = reader.next(frame)) == timed::FrameReader::Result::Frame) {
                if (frame.kind == 'R') {
                    run.receipts.take(frame.sequence);
                    run.upMs.push_back(delayMs(frame.sentAt, frame.receivedAt));
                    run.upSent.push_back(frame.sentAt);
                } else {
                    if (!greeted) {
                        run.firstMessageMs = secondsSince(connecting) * 1000;
                        greeted = true;
                    }
                    if (frame.size != timed::messageSize({kGameRate, kGameSmallest, kGameLargest, 100 + channel}, frame.sequence)) {
                        run.failure = "a message of the wrong size";
                    }
                    run.messages.take(frame.sequence);
                    run.downMs.push_back(delayMs(frame.sentAt, arrival));
                    run.downArrivals.push_back(arrival);
                    run.downSent.push_back(frame.sentAt);
                }
            }
            if (result == timed::FrameReader::Result::Bad) {
                run.failure = "malformed bytes";
                break;
            }
        }
        stopSender();
        run.sent = sent;
    } catch (const std::exception& error) {
        run.failure = error.what();
    }
}

// The three timed connections and, beside them, a bulk download on a second world connection
// read as fast as it comes (checked).
GamePhase gamePhase(const PathOpener& openPath, double seconds) {
    GamePhase phase;
    phase.startUs = unixMicros();
    std::atomic<bool> over{false};
    std::uint64_t bulkBytes = 0;
    double bulkSeconds = 0;
    std::string bulkFailure;
    std::thread bulk([&] {
        try {
            const std::unique_ptr<GamePath> path = openPath(kBulkPath);
            GamePath& game = *path;
            std::vector<std::uint8_t> buffer(1 << 20);
            nyra::tools::SeededBytes expected(13);
            if (!game.sendAll(sourceCommand(13, std::uint64_t{1} << 40))) throw std::runtime_error("source");
            Clock::time_point start{};  // the first byte: the rate leaves out opening the path
            while (!over) {
                const auto got = game.receive(buffer);
                if (!got || *got == 0) throw std::runtime_error("bulk download ended early");
                if (start == Clock::time_point{}) start = Clock::now();
                if (expected.match({buffer.data(), *got}) != *got) throw std::runtime_error("bulk download corrupted");
                bulkBytes += *got;
            }
            bulkSeconds = secondsSince(start);
        } catch (const std::exception& error) {
            bulkFailure = error.what();
        }
    });
    std::vector<std::thread> channels;
    for (std::size_t channel = 0; channel < 3; ++channel) {
        channels.emplace_back([&, channel] { timedChannel(openPath, channel, seconds, phase.channels[channel]); });
    }
    for (auto& thread : channels) thread.join();
    over = true;
    bulk.join();
    phase.endUs = unixMicros();
    if (!bulkFailure.empty()) throw std::runtime_error(bulkFailure);
    phase.bulkMibPerS = bulkSeconds > 0 ? static_cast<double>(bulkBytes) / 1048576.0 / bulkSeconds : 0;
    return phase;
}

struct Spread {
    double p50 = 0, p99 = 0, p999 = 0, max = 0;
};

Spread spread(const std::vector<double>& values) {
    if (values.empty()) return {};
    return {percentile(values, 0.5), percentile(values, 0.99), percentile(values, 0.999),
            *std::max_element(values.begin(), values.end())};
}

void printSpread(const std::string& key, const Spread& s, const char* note = "") {
    std::printf("%s p50 %.3f p99 %.3f p99.9 %.3f max %.3f%s\n", key.c_str(), s.p50, s.p99, s.p999, s.max, note);
}

constexpr std::array<const char*, 3> kGameChannelNames{"login", "world", "zone"};

// Per channel and direction the delays, and what the sequence numbers showed.
void printPhase(const char* name, const GamePhase& phase) {
    for (std::size_t channel = 0; channel < 3; ++channel) {
        const ChannelRun& run = phase.channels[channel];
        const std::string key = std::string("game_") + name + "_" + kGameChannelNames[channel];
        printSpread(key + "_up_ms", spread(run.upMs));
        printSpread(key + "_down_ms", spread(run.downMs));
        std::printf("%s_first_message_ms %.1f (connecting to the server's first message)\n", key.c_str(),
                    run.firstMessageMs);
        std::printf("%s_checked up sent %llu receipted %llu lost %llu duplicated %llu reordered %llu; "
                    "down received %llu lost %llu duplicated %llu reordered %llu%s%s\n",
                    key.c_str(), static_cast<unsigned long long>(run.sent),
                    static_cast<unsigned long long>(run.receipts.count),
                    static_cast<unsigned long long>(run.receipts.lost + (run.sent - std::min<std::uint64_t>(run.sent, run.receipts.next))),
                    static_cast<unsigned long long>(run.receipts.duplicated),
                    static_cast<unsigned long long>(run.receipts.reordered),
                    static_cast<unsigned long long>(run.messages.count),
                    static_cast<unsigned long long>(run.messages.lost),
                    static_cast<unsigned long long>(run.messages.duplicated),
                    static_cast<unsigned long long>(run.messages.reordered), run.failure.empty() ? "" : ", failed: ",
                    run.failure.c_str());
    }
    std::printf("game_%s_bulk_mib_per_s %.1f (world, beside the small messages)\n", name, phase.bulkMibPerS);
}

bool phaseIntact(const GamePhase& phase) {
    for (const auto& run : phase.channels) {
        if (!run.failure.empty() || run.receipts.count != run.sent || run.receipts.lost || run.receipts.duplicated ||
            run.receipts.reordered || run.messages.lost || run.messages.duplicated || run.messages.reordered) {
            return false;
        }
    }
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool quick = options.quick;
    auto service = nyra::test::ServiceControl::fromEnvironment();
    if (!service) {
        std::fprintf(stderr, "run beside the stand-in service (scripts/bench-relay)\n");
        return 2;
    }
    std::unique_ptr<nyra::GameTunnel> tunnel;
    try {
        WinClock clock;
        nyra::Http http(std::make_unique<nyra::net::WinHttpBackendTransport>("localhost", 443), clock, "localhost");
        http.login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        const json policy = http.call("/api/launcher/package-policy");
        const json start = http.call("/api/launcher/start", {{"version", policy.at("package_id")},
                                                             {"package_id", policy.at("package_id")},
                                                             {"files", policy.at("policy").at("files")},
                                                             {"transport", "cloudflare-ws-v1"}});
        std::string token = start.at("token").get<std::string>();
        const nyra::WipeOnExit wipeToken(token);
        json map;
        // Each measurement gets a fresh tunnel, so that one never inherits another's state.
        const auto freshTunnel = [&] {
            if (tunnel) tunnel->stop();
            tunnel = nyra::openGameTunnel(http.tunnelHeaders(token));
            tunnel->setGameProcessId(::GetCurrentProcessId());
            map = tunnel->portMap();
        };
        const std::function<std::uint16_t(const char*)> relayPort = [&](const char* serverPort) {
            return map.at(serverPort).get<std::uint16_t>();
        };
        const json servers = service->request("GET", "/state").at("game_servers");
        const auto directPort = servers.at("world").get<std::uint16_t>();

        // Throughput, best of the rounds for each path, the paths alternating.
        if (options.wanted("throughput")) {
            freshTunnel();
            const std::uint64_t bulk = quick ? (32u << 20) : (256u << 20);
            double relayBest = 1e9, directBest = 1e9;
            for (int round = 0; round < (quick ? 1 : 3); ++round) {
                directBest = std::min(directBest, download(directPort, bulk));
                relayBest = std::min(relayBest, download(relayPort("5712"), bulk));
            }
            const double mib = static_cast<double>(bulk) / 1048576.0;
            std::printf("throughput_direct_mib_per_s %.1f\n", mib / directBest);
            std::printf("throughput_relay_mib_per_s %.1f\n", mib / relayBest);
            std::printf("throughput_ratio %.3f (target >= 0.9)\n", directBest / relayBest);
        }

        // For profiling: one path's bulk download alone (never part of a default run).
        if (!options.only.empty() && options.wanted("relay-download")) {
            freshTunnel();
            const std::uint64_t bulk = options.stormBytes ? options.stormBytes : quick ? (64u << 20) : (256u << 20);
            std::printf("relay_download_mib_per_s %.1f\n", static_cast<double>(bulk) / 1048576.0 / download(relayPort("5712"), bulk));
        }
        if (!options.only.empty() && options.wanted("direct-download")) {
            const std::uint64_t bulk = options.stormBytes ? options.stormBytes : quick ? (64u << 20) : (256u << 20);
            std::printf("direct_download_mib_per_s %.1f\n", static_cast<double>(bulk >> 20) / download(directPort, bulk));
        }

        if (options.wanted("stream")) {
            const std::uint64_t bulk = quick ? (32u << 20) : (256u << 20);
            std::string headers = http.tunnelHeaders(token);
            double best = 1e9;
            for (int round = 0; round < (quick ? 1 : 3); ++round) best = std::min(best, streamOnly(headers, bulk, 32768));
            const auto times = streamRoundTrips(headers, quick ? 300 : 3000);
            nyra::wipe(headers);
            std::printf("stream_only_mib_per_s %.1f (one WinHTTP WebSocket read directly, 32 KiB receives)\n",
                        static_cast<double>(bulk) / 1048576.0 / best);
            std::printf("stream_only_rtt_ms p50 %.3f p99 %.3f (64-byte echoes over that WebSocket)\n",
                        percentile(times, 0.5), percentile(times, 0.99));
        }

        if (options.wanted("latency")) {
            freshTunnel();
            const int trips = quick ? 300 : 3000;
            const auto direct = roundTrips(directPort, trips);
            const auto relayed = roundTrips(relayPort("6543"), trips);
            std::printf("rtt_direct_ms p50 %.3f p99 %.3f\n", percentile(direct, 0.5), percentile(direct, 0.99));
            std::printf("rtt_relay_ms p50 %.3f p99 %.3f\n", percentile(relayed, 0.5), percentile(relayed, 0.99));
            std::printf("rtt_added_ms p50 %.3f p99 %.3f (target p50 <= 1)\n",
                        percentile(relayed, 0.5) - percentile(direct, 0.5),
                        percentile(relayed, 0.99) - percentile(direct, 0.99));
        }

        // Game: small timed messages on the three channels, world saturated beside them; directly,
        // through the relay, and through the relay with the zone channel's WebSocket dropped every 2 s.
        if (options.wanted("game")) {
            const double seconds = quick ? 5 : 20;
            std::string headers = http.tunnelHeaders(token);
            const std::uint64_t bare = quick ? (64u << 20) : (256u << 20);
            const double bareMibPerS = static_cast<double>(bare) / 1048576.0 / streamOnly(headers, bare, 32768);
            const std::array<std::uint16_t, 3> directPorts{servers.at("login").get<std::uint16_t>(),
                                                           servers.at("world").get<std::uint16_t>(),
                                                           servers.at("zone").get<std::uint16_t>()};
            const auto onPorts = [](const std::array<std::uint16_t, 3>& ports) -> PathOpener {
                return [ports](std::size_t path) {
                    return std::make_unique<SocketPath>(ports[path == kBulkPath ? 1 : path]);
                };
            };
            const GamePhase direct = gamePhase(onPorts(directPorts), seconds);
            // The same over bare WebSockets (one per connection, as the relay opens them): the
            // transport's and the backend relay's share, which the launcher's relay adds to.
            const GamePhase bareStreams = gamePhase(
                [&](std::size_t path) {
                    return std::make_unique<StreamPath>(headers + "X-Nyra-Game-Channel: " +
                                                        kGameChannelNames[path == kBulkPath ? 1 : path] + "\r\n");
                },
                seconds);
            nyra::wipe(headers);
            freshTunnel();
            const GamePhase relayed = gamePhase(onPorts({relayPort("6543"), relayPort("5712"), relayPort("10166")}), seconds);
            service->fault({{"target", "relay"}, {"kind", "drop"}, {"every_ms", 2000}, {"channel", "zone"},
                            {"always", true}, {"how", "reset"}});
            freshTunnel();
            const GamePhase dropped = gamePhase(onPorts({relayPort("6543"), relayPort("5712"), relayPort("10166")}), seconds);
            const json timedDrops = service->request("GET", "/state").at("relay").at("timed_drops");
            service->reset();

            std::printf("game_setting %u messages a second each way on login, world and zone, %zu-%zu bytes, "
                        "%.0f s a phase; world also carries a bulk download\n",
                        kGameRate, kGameSmallest, kGameLargest, seconds);
            printPhase("direct", direct);
            printPhase("bare", bareStreams);
            printPhase("relay", relayed);
            printPhase("drops", dropped);
            // The stamps of both ends come from one clock when the direct path's delays are small and
            // never negative.
            double lowestUp = 1e9, lowestDown = 1e9;
            std::size_t negative = 0;
            for (const auto& run : direct.channels) {
                for (const double value : run.upMs) lowestUp = std::min(lowestUp, value), negative += value < 0;
                for (const double value : run.downMs) lowestDown = std::min(lowestDown, value), negative += value < 0;
            }
            std::printf("game_clock_check direct one-way delay lowest up %.3f down %.3f ms, %zu negative "
                        "(one clock when small and never negative)\n", lowestUp, lowestDown, negative);
            for (std::size_t channel = 0; channel < 3; ++channel) {
                for (const bool up : {true, false}) {
                    const auto& d = up ? direct.channels[channel].upMs : direct.channels[channel].downMs;
                    const auto& r = up ? relayed.channels[channel].upMs : relayed.channels[channel].downMs;
                    const Spread a = spread(d), b = spread(r);
                    printSpread(std::string("game_added_") + kGameChannelNames[channel] + (up ? "_up_ms" : "_down_ms"),
                                {b.p50 - a.p50, b.p99 - a.p99, b.p999 - a.p999, b.max - a.max},
                                " (relay minus direct; goal p99 <= 2)");
                }
            }
            // The stages: what bare WebSockets add to direct TCP (WinHTTP, TLS, the backend's relay),
            // and what the launcher's relay adds on top (the loopback hop and its own threads).
            for (std::size_t channel = 0; channel < 3; ++channel) {
                for (const bool up : {true, false}) {
                    const auto pick = [&](const GamePhase& phase) -> const std::vector<double>& {
                        return up ? phase.channels[channel].upMs : phase.channels[channel].downMs;
                    };
                    const Spread a = spread(pick(direct)), b = spread(pick(bareStreams)), c = spread(pick(relayed));
                    const std::string name = std::string(kGameChannelNames[channel]) + (up ? "_up_ms" : "_down_ms");
                    printSpread("game_stage_transport_" + name, {b.p50 - a.p50, b.p99 - a.p99, b.p999 - a.p999, b.max - a.max},
                                " (bare WebSocket minus direct)");
                    printSpread("game_stage_launcher_" + name, {c.p50 - b.p50, c.p99 - b.p99, c.p999 - b.p999, c.max - b.max},
                                " (relay minus bare WebSocket)");
                }
            }
            std::printf("game_bare_websocket_mib_per_s %.1f (one WinHTTP WebSocket read directly, alone)\n", bareMibPerS);
            std::printf("game_bulk_ratio %.3f (relay's world download beside the small messages / bare WebSocket; goal >= 0.9)\n",
                        relayed.bulkMibPerS / bareMibPerS);
            std::printf("game_bulk_ratio_beside_messages %.3f (the same against the bare phase's world download, "
                        "which also ran beside small messages)\n",
                        bareStreams.bulkMibPerS > 0 ? relayed.bulkMibPerS / bareStreams.bulkMibPerS : 0.0);
            // Resumption: from each drop of the zone WebSocket to the first message that reached the
            // game once the resumed WebSocket had taken over.
            std::vector<double> resumptions;
            std::vector<std::pair<std::uint64_t, std::uint64_t>> windows;  // drop, first byte after it
            std::size_t dropsSeen = 0;
            const auto& arrivals = dropped.channels[2].downArrivals;
            std::vector<std::uint64_t> sorted(arrivals.begin(), arrivals.end());
            std::sort(sorted.begin(), sorted.end());
            for (const auto& drop : timedDrops) {
                const auto droppedUs = drop.at("dropped_us").get<std::uint64_t>();
                const auto resumedUs = drop.at("resumed_us").get<std::uint64_t>();
                if (drop.at("channel") != "zone" || droppedUs < dropped.startUs || droppedUs > dropped.endUs) continue;
                ++dropsSeen;
                if (resumedUs == 0) continue;
                const auto first = std::lower_bound(sorted.begin(), sorted.end(), resumedUs);
                if (first != sorted.end()) {
                    resumptions.push_back(delayMs(droppedUs, *first));
                    windows.emplace_back(droppedUs, *first);
                }
            }
            const double resumptionMax = resumptions.empty() ? 0 : *std::max_element(resumptions.begin(), resumptions.end());
            std::printf("game_drops_resumption_ms p50 %.1f max %.1f (%zu of %zu drops of the zone WebSocket resumed "
                        "with a message after them)\n",
                        percentile(resumptions, 0.5), resumptionMax, resumptions.size(), dropsSeen);
            // The zone messages sent while its WebSocket was down (between a drop and the first byte
            // after it): each should wait no longer than that drop's resumption.
            const ChannelRun& zone = dropped.channels[2];
            double inDropUp = 0, inDropDown = 0;
            std::size_t inDrop = 0, beyond = 0;
            const auto during = [&](const std::vector<std::uint64_t>& sent, const std::vector<double>& delays, double& longest) {
                for (std::size_t i = 0; i < sent.size() && i < delays.size(); ++i) {
                    for (const auto& [from, to] : windows) {
                        if (sent[i] < from || sent[i] > to) continue;
                        ++inDrop;
                        longest = std::max(longest, delays[i]);
                        if (delays[i] > delayMs(from, to)) ++beyond;
                    }
                }
            };
            during(zone.upSent, zone.upMs, inDropUp);
            during(zone.downSent, zone.downMs, inDropDown);
            std::printf("game_drops_in_drop_zone_delay_ms up max %.1f down max %.1f over %zu messages sent while the "
                        "WebSocket was down, %zu waited longer than their drop's resumption (goal: 0; longest resumption %.1f)\n",
                        inDropUp, inDropDown, inDrop, beyond, resumptionMax);
            std::printf("game_drops_longest_delay_ms login %.1f world %.1f zone %.1f (any message of the phase, either way)\n",
                        std::max(spread(dropped.channels[0].upMs).max, spread(dropped.channels[0].downMs).max),
                        std::max(spread(dropped.channels[1].upMs).max, spread(dropped.channels[1].downMs).max),
                        std::max(spread(zone.upMs).max, spread(zone.downMs).max));
            std::printf("game_messages_intact direct %s relay %s drops %s (every sequence number once and in order)\n",
                        phaseIntact(direct) ? "yes" : "NO", phaseIntact(relayed) ? "yes" : "NO",
                        phaseIntact(dropped) ? "yes" : "NO");
            std::printf("game_messages_intact_bare %s\n", phaseIntact(bareStreams) ? "yes" : "NO");
        }

        // Resumption: a flowing stream with drops about every 4 MiB.
        if (options.wanted("resumption")) {
            freshTunnel();
            service->fault({{"target", "relay"}, {"kind", "drop"}, {"always", true}, {"seed", 31},
                            {"mean", 4u << 20}, {"direction", "to-launcher"}, {"how", "reset"}});
            const auto gaps = pauses(relayPort("10166"), quick ? (64u << 20) : (512u << 20), 20.0);
            const std::uint64_t resumed = tunnel->stats().at("resumed_streams").get<std::uint64_t>();
            std::printf("resumption_pauses %zu for %llu resumptions\n", gaps.size(),
                        static_cast<unsigned long long>(resumed));
            std::printf("resumption_to_first_byte_ms p50 %.1f max %.1f (target p50 <= 500)\n", percentile(gaps, 0.5),
                        gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()));
            service->reset();
        }

        // Every byte came back once and in order on every channel and the relay never failed: every
        // drop was resumed. The service counts the resumed WebSockets it accepted; the tunnel counts
        // those whose upgrade it completed (a reset that lands during the upgrade is a failed
        // attempt, retried).
        const auto runStorm = [&](const char* key, std::uint64_t mean, const std::string& direction,
                                  std::uint64_t bytes) {
            freshTunnel();
            std::printf("%s_setting mean %llu bytes, counted %s, %llu bytes each way per channel\n", key,
                        static_cast<unsigned long long>(mean), direction.c_str(), static_cast<unsigned long long>(bytes));
            const StormResult result = storm(*service, *tunnel, relayPort, mean, direction, bytes, options.trace);
            std::printf("%s %llu drops in %.1f s, channels intact %d of 3, relay failed %s%s\n", key,
                        static_cast<unsigned long long>(result.drops), result.seconds, result.intact,
                        result.failed ? "yes: " : "no", result.failure.c_str());
            std::printf("%s_resumptions service accepted %llu, tunnel resumed_streams %llu, open_retries %llu\n", key,
                        static_cast<unsigned long long>(result.serviceResumptions),
                        static_cast<unsigned long long>(result.resumed), static_cast<unsigned long long>(result.retries));
            service->reset();
            return result;
        };
        if (options.wanted("storm")) {
            runStorm("storm", options.stormMean, options.stormDirection,
                     options.stormBytes ? options.stormBytes : (quick ? (2u << 20) : (8u << 20)));
        }
        if (options.wanted("dense")) {
            runStorm("dense", 32768, "to-launcher", quick ? (2u << 20) : (8u << 20));
        }
        if (options.wanted("drops")) {
            const StormResult result = runStorm("drops", 32768, "both", options.stormBytes ? options.stormBytes : (8u << 20));
            std::printf("drops_at_least_1000 %s\n", result.drops >= 1000 && result.intact == 3 && !result.failed ? "yes" : "NO");
        }

        // Memory: eight connections streaming at once.
        if (options.wanted("memory")) {
            freshTunnel();
            std::vector<std::thread> eight;
            for (int i = 0; i < 8; ++i) {
                eight.emplace_back([&, i] {
                    GameClient game(relayPort(i % 3 == 0 ? "6543" : i % 3 == 1 ? "5712" : "10166"));
                    std::vector<std::uint8_t> buffer(1 << 16);
                    const std::uint64_t length = quick ? (16u << 20) : (64u << 20);
                    if (!game.startSource(static_cast<std::uint64_t>(i), length)) return;
                    for (std::uint64_t done = 0; done < length;) {
                        const auto got = game.receive(buffer);
                        if (!got || *got == 0) return;
                        done += *got;
                    }
                });
            }
            for (auto& thread : eight) thread.join();
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof(counters);
            ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
            std::printf("peak_working_set_mib %.1f (eight connections streaming)\n",
                        static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0);
        }
        if (tunnel) tunnel->stop();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "relay benchmark failed: %s\n", error.what());
        if (tunnel) std::fprintf(stderr, "relay %s: %s\n", tunnel->failed() ? "failed" : "not failed", tunnel->failureMessage().c_str());
        return 1;
    }
}
