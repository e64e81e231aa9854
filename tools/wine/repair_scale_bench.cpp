// Repair at scale, run under Wine against the stand-in service serving the large sample set
// (scripts/bench-repair-scale; `scripts/make-sample-set --large`). Each case is one preparation;
// the bytes are what the stand-in served (its request log), not what the launcher reports:
//   flip        - one flipped byte in the middle of the largest pack, forced verification, with
//                 chunk reuse and with every pack fetched whole (the behaviour before it);
//   resume      - the largest pack's repair cut off at 90 % (cancelled, as when the window closes),
//                 then the next preparation;
//   next        - the next version of the set, one MiB of one pack changed;
//   verify      - a forced verification of the whole intact set against CNG's raw SHA-256 rate;
//   peak        - the process's peak working set over all of the above.
// Prints one "key value" line per figure. Usage: nyra-repair-scale-bench <empty folder> <next set>
#include "content/repair_plan.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "core/text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using nlohmann::json;
using Seconds = std::chrono::duration<double>;

struct WinClock final : nyra::Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

double since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

void figure(const char* key, double value) {
    std::printf("%s %.3f\n", key, value);
    std::fflush(stdout);
}

class Bench {
public:
    Bench(nyra::test::ServiceControl& service, std::filesystem::path folder)
        : service_(service), folder_(std::move(folder)),
          http_(std::make_unique<nyra::net::WinHttpBackendTransport>("localhost", 443), clock_, "localhost") {
        http_.login(service_.user, service_.password, std::string(64, 'a'), "HWID v1", false);
        nyra::writeWholeFile(folder_ / L"Launcher.exe", http_.exchange("/api/download/launcher", "", "", 134217728));
    }

    // Bytes the CDN and the packages operation served since the last mark.
    std::uint64_t servedSinceMark() const {
        const json rows = service_.query("SELECT COALESCE(SUM(bytes), 0) AS n FROM request_log WHERE id > " +
                                         std::to_string(mark_) + " AND target IN ('cdn', 'op:6')");
        return rows.at(0).at("n").get<std::uint64_t>();
    }
    void setMark() {
        mark_ = service_.query("SELECT COALESCE(MAX(id), 0) AS id FROM request_log").at(0).at("id").get<std::int64_t>();
    }

    // One preparation; its seconds.
    double prepare(bool force, bool reuse, const std::function<void(const std::string&)>& onStatus = {}) {
        nyra::NoComponents noComponents(folder_ / L".engine");
        nyra::PrepareOptions options;
        options.reuseDiskBytes = reuse;
        const json policy = http_.call("/api/launcher/package-policy");
        const auto start = std::chrono::steady_clock::now();
        try {
            nyra::prepare(http_, folder_, policy, force, cancel_, [&](const std::string& text, int) {
                if (onStatus) onStatus(text);
            }, {}, noComponents, options);
        } catch (const std::exception& error) {
            if (std::string(error.what()) != "Preparacao cancelada.") throw;
        }
        cancel_ = false;
        return since(start);
    }

    std::atomic<bool>& cancel() { return cancel_; }
    const std::filesystem::path& folder() const { return folder_; }
    nyra::Http& http() { return http_; }

private:
    nyra::test::ServiceControl& service_;
    std::filesystem::path folder_;
    WinClock clock_;
    nyra::Http http_;
    std::atomic<bool> cancel_{false};
    std::int64_t mark_ = 0;
};

void flipByte(const std::filesystem::path& file, std::uint64_t offset) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekg(static_cast<std::streamoff>(offset));
    char byte = 0;
    stream.read(&byte, 1);
    stream.seekp(static_cast<std::streamoff>(offset));
    byte = static_cast<char>(byte ^ 0x5a);
    stream.write(&byte, 1);
}

int run(int argc, char** argv) {
    auto service = nyra::test::ServiceControl::fromEnvironment();
    if (argc < 3 || !service) {
        std::fprintf(stderr, "usage: nyra-repair-scale-bench <empty folder> <next set folder> (scripts/bench-repair-scale)\n");
        return 2;
    }
    // Plain ASCII paths (the script passes Z:\... of its temporary folder and the set's Linux path).
    const std::filesystem::path folder = argv[1];
    const std::string nextSet = argv[2];
    std::filesystem::create_directories(folder);
    Bench bench(*service, folder);

    const json policy = bench.http().call("/api/launcher/package-policy");
    std::string largest;
    std::uint64_t largestSize = 0, totalSize = 0;
    for (const auto& pack : policy.at("base_cdn").at("packs")) {
        totalSize += pack.at("size").get<std::uint64_t>();
        if (pack.at("size").get<std::uint64_t>() > largestSize) {
            largestSize = pack.at("size").get<std::uint64_t>();
            largest = pack.at("path").get<std::string>();
        }
    }
    const std::filesystem::path largestFile = folder / std::wstring(largest.begin(), largest.end());
    std::printf("largest_pack %s\n", largest.c_str());
    figure("largest_pack_mib", static_cast<double>(largestSize) / 1048576.0);
    figure("cdn_set_mib", static_cast<double>(totalSize) / 1048576.0);
    constexpr double kMiB = 1048576.0;

    bench.setMark();
    figure("fill_seconds", bench.prepare(false, true));
    figure("fill_served_mib", static_cast<double>(bench.servedSinceMark()) / kMiB);

    // A forced verification of the intact set, against CNG over 64 MiB in memory.
    const double verify = bench.prepare(true, true);
    std::vector<std::uint8_t> block(67108864, 0x5a);
    const auto hashing = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i) nyra::win::sha256(block.data(), block.size());
    const double rawMibPerS = 8 * 64 / since(hashing);
    std::vector<std::uint8_t>().swap(block);
    std::uint64_t onDisk = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == L".pck") onDisk += entry.file_size();
    }
    figure("verify_seconds", verify);
    figure("verify_mib_per_s", static_cast<double>(onDisk) / kMiB / verify);
    figure("sha256_raw_mib_per_s", rawMibPerS);
    figure("verify_vs_raw_ratio", static_cast<double>(onDisk) / kMiB / verify / rawMibPerS);

    // One flipped byte: with chunk reuse, then every pack fetched whole.
    for (const bool reuse : {true, false}) {
        flipByte(largestFile, largestSize / 2 + 12345);
        bench.setMark();
        const double seconds = bench.prepare(true, reuse);
        const std::string key = reuse ? "flip_reuse" : "flip_whole";
        figure((key + "_seconds").c_str(), seconds);
        figure((key + "_served_mib").c_str(), static_cast<double>(bench.servedSinceMark()) / kMiB);
    }

    // The largest pack's repair cut off at 90 %, then the next run.
    std::filesystem::remove(largestFile);
    const std::string cutAt = nyra::repairingText(largest, largestSize / 10 * 9 / 4194304 * 4194304, largestSize);
    bench.setMark();
    const double cut = bench.prepare(false, true, [&](const std::string& text) {
        if (text == cutAt) bench.cancel() = true;
    });
    figure("resume_cut_seconds", cut);
    figure("resume_cut_served_mib", static_cast<double>(bench.servedSinceMark()) / kMiB);
    bench.setMark();
    figure("resume_seconds", bench.prepare(false, true));
    figure("resume_served_mib", static_cast<double>(bench.servedSinceMark()) / kMiB);

    // The next version of the set: one MiB of one pack differs.
    service->request("POST", "/publish", {{"set", nextSet}});
    bench.setMark();
    figure("next_seconds", bench.prepare(false, true));
    figure("next_served_mib", static_cast<double>(bench.servedSinceMark()) / kMiB);

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    figure("peak_working_set_mib", static_cast<double>(memory.PeakWorkingSetSize) / kMiB);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error %s\n", error.what());
        return 1;
    }
}
