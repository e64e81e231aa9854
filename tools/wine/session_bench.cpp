// Game start benchmark, run under Wine against the stand-in service and the stand-in game of the
// sample set (scripts/bench-session): from the Play job's start to the game process created and to
// the guard's readiness, with the launch stages (policy, file checks, start call, tunnel, channel,
// process). The first run warms the receipts (the packs are verified once); the figures come from
// the following runs. Prints one "key value" line per figure. Usage: nyra-session-bench [runs]
#include "content/tests/win/temporary_folder.h"
#include "content/win/components.h"
#include "content/win/game_preparation.h"
#include "content/win/primitives.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "session/win/game_session.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

struct WinClock final : nyra::Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

struct Hardware final : nyra::HardwareIdentity {
    nyra::HardwareId identity() override { return {std::string(16, 'b') + std::string(48, 'c'), "HWID v1"}; }
};

double msSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(2, std::atoi(argv[1])) : 6;
    auto service = nyra::test::ServiceControl::fromEnvironment();
    if (!service) {
        std::fprintf(stderr, "run beside the stand-in service (scripts/bench-session)\n");
        return 2;
    }
    try {
        WinClock clock;
        Hardware hardware;
        nyra::NoProtectionModules protection;
        const auto folder = nyra::test::freshTemporaryFolder(L"nyra-session-bench-");
        nyra::Http http(std::make_unique<nyra::net::WinHttpBackendTransport>("localhost", 443), clock, "localhost");
        const auto id = hardware.identity();
        http.login(service->user, service->password, id.hwid, id.hwidInfo, false);
        nyra::writeWholeFile(folder / L"Launcher.exe", http.exchange("/api/download/launcher", "", "", 134217728));
        // The game closes itself as soon as its guard is ready.
        ::SetEnvironmentVariableW(L"NYRA_STANDIN_GAME_SCENARIO", L"normal,close-after:0");

        std::map<std::string, std::vector<double>> stages;
        for (int run = 0; run < runs; ++run) {
            nyra::GamePreparation preparation(std::make_shared<nyra::ProtectedComponents>(folder / L"engine"), nullptr);
            nyra::WindowsGameSession session(hardware, protection, clock);
            std::atomic<bool> stop{false};
            std::map<std::string, double> marks;
            const auto start = SteadyClock::now();
            session.onStage([&](std::string_view stage) { marks[std::string(stage)] = msSince(start); });
            auto prepared = preparation.prepareUntilStable(http, folder, false, stop, {}, [](int) {});
            marks["preparation"] = msSince(start);
            session.runGameSession(http, folder, std::move(prepared), stop, {}, [&](bool up) {
                if (up) marks["guard ready"] = msSince(start);
            });
            if (run == 0) continue;  // warms the receipts
            for (const auto& [stage, at] : marks) stages[stage].push_back(at);
        }
        for (const auto& [stage, times] : stages) {
            std::string key = stage;
            std::replace(key.begin(), key.end(), ' ', '_');
            std::printf("%s_ms %.1f\n", key.c_str(), median(times));
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
