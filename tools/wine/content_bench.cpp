// Content pipeline benchmark, run under Wine against the stand-in service (scripts/bench-content):
//   verify  - a forced full verification of packs in the page cache, against CNG's raw SHA-256
//             rate over the same bytes in memory, in the same run;
//   repair  - the download, write, hash and install of the largest CDN pack, timed inside the
//             preparation, with the process's peak memory.
// Prints one "key value" line per figure. Usage: nyra-content-bench [--short] <empty folder>
#include "content/win/pack_file.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "core/text.h"
#include "net/http.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using nlohmann::json;
using Seconds = std::chrono::duration<double>;

struct WinClock final : nyra::Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

std::string environment(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
    if (length == 0 || length >= 1024) return {};
    return nyra::utf16ToUtf8(std::u16string(buffer, buffer + length));
}

double since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

void figure(const char* key, double value) { std::printf("%s %.3f\n", key, value); }

int run(int argc, wchar_t** argv) {
    bool quick = false;
    std::filesystem::path folder;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--short") {
            quick = true;
        } else {
            folder = argv[i];
        }
    }
    const std::string account = environment(L"NYRA_SERVICE_ACCOUNT");
    const auto colon = account.find(':');
    if (folder.empty() || colon == std::string::npos) {
        std::fprintf(stderr, "usage: nyra-content-bench [--short] <empty folder> (inside scripts/with-service)\n");
        return 2;
    }
    std::filesystem::create_directories(folder);

    WinClock clock;
    nyra::Http http(std::make_unique<nyra::net::WinHttpBackendTransport>("localhost", 443), clock, "localhost");
    http.login(account.substr(0, colon), account.substr(colon + 1), std::string(64, 'a'), "HWID v1", false);
    nyra::writeWholeFile(folder / L"Launcher.exe", http.exchange("/api/download/launcher", "", "", 134217728));
    const json policy = http.call("/api/launcher/package-policy");
    std::atomic<bool> cancel{false};

    // The first run fills the folder; the repair run then re-fetches the largest CDN pack.
    nyra::prepare(http, folder, policy, false, cancel, {}, {});
    std::string largest;
    std::uint64_t largestSize = 0;
    std::uint64_t totalPackBytes = 0;
    for (const auto& pack : policy.at("base_cdn").at("packs")) {
        if (pack.at("size").get<std::uint64_t>() > largestSize) {
            largestSize = pack.at("size").get<std::uint64_t>();
            largest = pack.at("path").get<std::string>();
        }
    }

    const int rounds = quick ? 1 : 3;
    double repairBest = 1e9;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(folder / std::wstring(largest.begin(), largest.end()));
        std::chrono::steady_clock::time_point started{};
        double repair = 0;
        auto progress = [&](const std::string& text, int) {
            if (text.starts_with("Reparando " + largest) && started == std::chrono::steady_clock::time_point{}) {
                started = std::chrono::steady_clock::now();
            }
            if (text.starts_with("Downloads validados")) repair = since(started);
        };
        nyra::prepare(http, folder, policy, false, cancel, progress, {});
        repairBest = std::min(repairBest, repair);
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    std::printf("repair_pack %s\n", largest.c_str());
    figure("repair_pack_mib", static_cast<double>(largestSize) / 1048576.0);
    figure("repair_seconds", repairBest);
    figure("repair_mib_per_s", static_cast<double>(largestSize) / 1048576.0 / repairBest);
    figure("peak_working_set_mib", static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);

    // Verification of packs in the page cache, forced to hash every one.
    std::vector<std::vector<std::uint8_t>> packs;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.size() == 12 && name.starts_with(L"nyra-") && name.ends_with(L".pck")) {
            packs.push_back(nyra::readWholeFile(entry.path(), nyra::kMaxPackSize));
            totalPackBytes += packs.back().size();
        }
    }
    double rawBest = 1e9;
    double handleBest = 1e9;
    double prepareBest = 1e9;
    double checkBest = 1e9;  // first pack label to the end of the pack checks
    for (int round = 0; round < rounds + 1; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (const auto& bytes : packs) nyra::win::sha256(bytes.data(), bytes.size());
        rawBest = std::min(rawBest, since(start));

        start = std::chrono::steady_clock::now();
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::wstring name = entry.path().filename().wstring();
            if (name.size() == 12 && name.starts_with(L"nyra-") && name.ends_with(L".pck")) {
                nyra::VerifiedPackFile::open(entry.path(), nyra::VerifiedPackFile::Share::ReadOnly).sha256({});
            }
        }
        handleBest = std::min(handleBest, since(start));

        start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point checking{};
        double check = 0;
        auto progress = [&](const std::string& text, int) {
            if (text.starts_with("Conferindo pacote 1/") && checking == std::chrono::steady_clock::time_point{}) {
                checking = std::chrono::steady_clock::now();
            }
            if (text.starts_with("Pacotes integros")) check = since(checking);
        };
        nyra::prepare(http, folder, policy, true, cancel, progress, {});
        prepareBest = std::min(prepareBest, since(start));
        checkBest = std::min(checkBest, check);
    }
    const double mib = static_cast<double>(totalPackBytes) / 1048576.0;
    figure("verify_pack_mib", mib);
    figure("raw_sha256_mib_per_s", mib / rawBest);
    figure("pack_hash_mib_per_s", mib / handleBest);
    figure("full_verify_mib_per_s", mib / prepareBest);
    figure("pack_check_mib_per_s", mib / checkBest);
    figure("pack_hash_ratio", rawBest / handleBest);
    figure("pack_check_ratio", rawBest / checkBest);
    figure("full_verify_ratio", rawBest / prepareBest);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nyra-content-bench: %s\n", error.what());
        return 1;
    }
}
