// Game-traffic relay benchmark, run under Wine against the stand-in service (scripts/bench-relay):
//   throughput - one channel's bulk download from the game-server stand-in through the relay,
//                against the same bytes over a direct loopback TCP connection, same run;
//   latency    - round trips of 64-byte messages through the relay and directly: p50 and p99;
//   resumption - the longest pause in a flowing stream around each dropped WebSocket (the time
//                from the drop to the first byte of the resumed stream): p50 and max;
//   storm      - bidirectional echo on the three channels while the service drops WebSockets at
//                random points: drops survived, every byte checked;
//   memory     - the process's peak working set with eight connections streaming at once.
// Prints one "key value" line per figure. Usage: nyra-relay-bench [--short]
#include "core/text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "relay/tests/win/game_client.h"
#include "relay/win/windows_relay.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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
        if (!got || *got == 0) throw std::runtime_error("download ended early");
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

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--short";
    auto service = nyra::test::ServiceControl::fromEnvironment();
    if (!service) {
        std::fprintf(stderr, "run beside the stand-in service (scripts/bench-relay)\n");
        return 2;
    }
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
        std::unique_ptr<nyra::GameTunnel> tunnel;
        json map;
        // Each measurement gets a fresh tunnel, so that one never inherits another's state.
        const auto freshTunnel = [&] {
            if (tunnel) tunnel->stop();
            tunnel = nyra::openGameTunnel(http.tunnelHeaders(token));
            tunnel->setGameProcessId(::GetCurrentProcessId());
            map = tunnel->portMap();
        };
        freshTunnel();
        const auto relayPort = [&](const char* serverPort) { return map.at(serverPort).get<std::uint16_t>(); };
        const json servers = service->request("GET", "/state").at("game_servers");
        const auto directPort = servers.at("world").get<std::uint16_t>();

        // Throughput, best of the rounds for each path, the paths alternating.
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

        // Latency.
        const int trips = quick ? 300 : 3000;
        const auto direct = roundTrips(directPort, trips);
        const auto relayed = roundTrips(relayPort("6543"), trips);
        std::printf("rtt_direct_ms p50 %.3f p99 %.3f\n", percentile(direct, 0.5), percentile(direct, 0.99));
        std::printf("rtt_relay_ms p50 %.3f p99 %.3f\n", percentile(relayed, 0.5), percentile(relayed, 0.99));
        std::printf("rtt_added_ms p50 %.3f p99 %.3f (target p50 <= 1)\n",
                    percentile(relayed, 0.5) - percentile(direct, 0.5), percentile(relayed, 0.99) - percentile(direct, 0.99));

        // Resumption: a flowing stream with drops about every 4 MiB.
        service->fault({{"target", "relay"}, {"kind", "drop"}, {"always", true}, {"seed", 31}, {"mean", 4u << 20},
                        {"direction", "to-launcher"}, {"how", "reset"}});
        const std::uint64_t resumed0 = tunnel->stats().at("resumed_streams").get<std::uint64_t>();
        const auto gaps = pauses(relayPort("10166"), quick ? (64u << 20) : (512u << 20), 20.0);
        const std::uint64_t resumed = tunnel->stats().at("resumed_streams").get<std::uint64_t>() - resumed0;
        std::printf("resumption_pauses %zu for %llu resumptions\n", gaps.size(), static_cast<unsigned long long>(resumed));
        std::printf("resumption_to_first_byte_ms p50 %.1f max %.1f (target p50 <= 500)\n", percentile(gaps, 0.5),
                    gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()));
        service->reset();

        // Storm.
        freshTunnel();
        service->fault({{"target", "relay"}, {"kind", "drop"}, {"always", true}, {"seed", 47}, {"mean", 98304},
                        {"direction", "to-launcher"}, {"how", "reset"}});
        const int dropsBefore = service->request("GET", "/state").at("relay").at("drops").get<int>();
        const auto stormStart = Clock::now();
        std::atomic<int> intact{0};
        std::vector<std::thread> storm;
        const std::size_t perChannel = quick ? (2u << 20) : (8u << 20);
        for (const char* serverPort : {"6543", "5712", "10166"}) {
            storm.emplace_back([&, serverPort] {
                GameClient game(relayPort(serverPort), 120000);
                if (!game.startEcho()) return;
                // Like a game, the sender keeps what is in flight bounded (1 MiB): a sender far
                // ahead of its echo would hold the relay's 4 MiB of unacknowledged bytes, by design.
                std::atomic<std::size_t> echoed{0};
                std::thread sender([&] {
                    nyra::tools::SeededBytes source(static_cast<std::uint8_t>(serverPort[0]));
                    std::vector<std::uint8_t> chunk(8192);
                    for (std::size_t done = 0; done < perChannel; done += chunk.size()) {
                        while (done - echoed.load() > (1u << 20) && !tunnel->failed()) ::Sleep(1);
                        source.fill(chunk);
                        if (!game.sendAll(chunk)) return;
                    }
                });
                nyra::tools::SeededBytes expected(static_cast<std::uint8_t>(serverPort[0]));
                std::vector<std::uint8_t> buffer(65536);
                bool whole = true;
                std::size_t received = 0;
                while (received < perChannel) {
                    const auto got = game.receive(buffer);
                    if (!got || *got == 0) break;
                    for (std::size_t i = 0; i < *got; ++i) buffer[i] ^= nyra::test::kEchoTransform;
                    whole = whole && expected.match({buffer.data(), *got}) == *got;
                    received += *got;
                    echoed = received;
                }
                sender.join();
                if (whole && received == perChannel) ++intact;
            });
        }
        for (auto& thread : storm) thread.join();
        const json relayState = service->request("GET", "/state").at("relay");
        std::printf("storm_drops %d in %.1f s, channels intact %d of 3, relay failed %s %s\n",
                    relayState.at("drops").get<int>() - dropsBefore, secondsSince(stormStart), intact.load(),
                    tunnel->failed() ? "yes:" : "no", tunnel->failureMessage().c_str());
        service->reset();

        // Memory: eight connections streaming at once.
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
        tunnel->stop();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "relay benchmark failed: %s\n", error.what());
        return 1;
    }
}
