// Content pipeline benchmark, run under Wine against the stand-in service (scripts/bench-content):
//   verify  - a forced full verification of packs in the page cache, against CNG's raw SHA-256
//             rate over the same bytes in memory, in the same run;
//   repair  - the download, write, hash and install of the largest CDN pack, timed inside the
//             preparation with its stages, against the same objects through WinHTTP alone in
//             the same round, with the process's peak memory.
// The repair is timed from the "N pacote(s) ausente(s)..." report to "Downloads validados".
// Prints one "key value" line per figure. Usage: nyra-content-bench [--short] <empty folder>
#include "content/win/cdn_client.h"
#include "content/win/pack_file.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "core/text.h"
#include "net/http.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <psapi.h>

#include <algorithm>
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

// The same GET as the CDN download, without keeping the bytes: what Wine's WinHTTP and TLS
// deliver on this machine; with `hashInline`, each piece is hashed on the reading thread before
// the next read (how the CDN download hashed before it had a hashing thread).
double rawWinHttpSeconds(const std::string& object, std::uint64_t size, bool hashInline = false) {
    const auto start = std::chrono::steady_clock::now();
    nyra::win::UniqueInternetHandle session(::WinHttpOpen(L"NyraBench/1", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    nyra::win::UniqueInternetHandle connection(::WinHttpConnect(session.get(), L"localhost", 443, 0));
    const std::wstring path = L"/" + std::wstring(object.begin(), object.end());
    nyra::win::UniqueInternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                                 WINHTTP_FLAG_SECURE));
    const std::wstring headers = L"Range: bytes=0-" + std::to_wstring(size - 1) + L"\r\n";
    if (!::WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        throw std::runtime_error("raw WinHTTP request failed");
    }
    std::vector<std::uint8_t> buffer(1048576);
    nyra::win::Sha256Stream hash;
    DWORD read = 0;
    while (::WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read > 0) {
        if (hashInline) hash.update(buffer.data(), read);
    }
    if (hashInline) hash.finishHex();
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// User plus kernel time of this process so far.
double processCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}

double since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
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
    // Packs only: the engine folder and its components are not part of these figures.
    nyra::NoComponents noComponents(folder / L".engine");

    // The first run fills the folder; the repair run then re-fetches the largest CDN pack.
    nyra::prepare(http, folder, policy, false, cancel, {}, {}, noComponents);
    std::string largest;
    std::uint64_t largestSize = 0;
    std::uint64_t totalPackBytes = 0;
    for (const auto& pack : policy.at("base_cdn").at("packs")) {
        if (pack.at("size").get<std::uint64_t>() > largestSize) {
            largestSize = pack.at("size").get<std::uint64_t>();
            largest = pack.at("path").get<std::string>();
        }
    }

    // Every round times the repair and, around it, the same objects through WinHTTP alone, so
    // that each ratio compares figures taken under the same load.
    json largestChunks;
    for (const auto& pack : policy.at("base_cdn").at("packs")) {
        if (pack.at("path") == largest) largestChunks = pack.at("chunks");
    }
    const auto& firstChunk = largestChunks.at(0);
    const std::string firstObject = firstChunk.at("object").get<std::string>();
    const auto firstObjectSize = firstChunk.at("size").get<std::uint64_t>();

    const int rounds = quick ? 1 : 5;
    std::vector<double> repairVsWinHttp, alongsideVsInline;  // per round: figures under one load
    double repairBest = 1e9;
    double firstRange = 0, received = 0, validated = 0;  // stages of the best round
    double rawBestDownload = 1e9, rawBestObject0 = 1e9, fetchBestObject0 = 1e9, hashBestObject0 = 1e9;
    double inlineBestObject0 = 1e9;
    double rawCpuObject0 = 0;  // this process's CPU time during the best plain download
    const auto downloadPackObjects = [&] {
        double total = 0;
        for (const auto& chunk : largestChunks) {
            total += rawWinHttpSeconds(chunk.at("object").get<std::string>(), chunk.at("size").get<std::uint64_t>());
        }
        return total;
    };
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(folder / std::wstring(largest.begin(), largest.end()));
        // The plain download is timed just before and just after the repair (the one right after
        // a repair runs slower while the system settles); the round's figure is their mean.
        const double before = downloadPackObjects();
        std::chrono::steady_clock::time_point started{};
        double repair = 0, first = 0, last = 0, hashed = 0;
        auto progress = [&](const std::string& text, int) {
            // From the announcement of the repair (before the first object is requested).
            if (text.find("ausente(s) ou corrompido(s)") != std::string::npos) {
                started = std::chrono::steady_clock::now();
            }
            if (text.starts_with("Reparando ")) {
                if (first == 0) first = since(started);
                last = since(started);
            }
            if (text.starts_with("Validando ")) hashed = since(started);
            if (text.starts_with("Downloads validados")) repair = since(started);
        };
        nyra::prepare(http, folder, policy, false, cancel, progress, {}, noComponents);
        if (repair < repairBest) {
            repairBest = repair;
            firstRange = first;
            received = last;
            validated = hashed;
        }

        const double total = (before + downloadPackObjects()) / 2;
        rawBestDownload = std::min(rawBestDownload, total);
        repairVsWinHttp.push_back(total / repair);
        const double cpuBefore = processCpuSeconds();
        const double rawObject0 = rawWinHttpSeconds(firstObject, firstObjectSize);
        if (rawObject0 < rawBestObject0) {
            rawBestObject0 = rawObject0;
            rawCpuObject0 = processCpuSeconds() - cpuBefore;
        }
        const double inlineObject0 = rawWinHttpSeconds(firstObject, firstObjectSize, true);
        inlineBestObject0 = std::min(inlineBestObject0, inlineObject0);

        // The first object as the repair gets it: download with its digest computed alongside.
        nyra::WinHttpCDN cdn(policy.at("base_cdn"), 0);
        std::atomic<bool> stop{false};
        const auto start = std::chrono::steady_clock::now();
        const nyra::CdnObject object = cdn.fetchObject(firstObject, firstObjectSize, cancel, stop);
        fetchBestObject0 = std::min(fetchBestObject0, since(start));
        alongsideVsInline.push_back(inlineObject0 / since(start));
        // One CNG pass over the same bytes in memory: what the digest costs on one thread. The
        // object goes before the next repair, so the peak memory stays the repair's.
        const auto hashing = std::chrono::steady_clock::now();
        nyra::win::sha256(object.bytes.data(), object.bytes.size());
        hashBestObject0 = std::min(hashBestObject0, since(hashing));
    }

    const double packMib = static_cast<double>(largestSize) / 1048576.0;
    figure("winhttp_download_seconds", rawBestDownload);
    figure("winhttp_download_mib_per_s", packMib / rawBestDownload);
    figure("winhttp_object0_seconds", rawBestObject0);
    figure("winhttp_object0_cpu_seconds", rawCpuObject0);
    figure("winhttp_object0_hash_inline_seconds", inlineBestObject0);
    figure("cdn_fetch_object0_seconds", fetchBestObject0);
    figure("sha256_object0_seconds", hashBestObject0);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    std::printf("repair_pack %s\n", largest.c_str());
    figure("repair_pack_mib", packMib);
    figure("repair_seconds", repairBest);
    figure("repair_first_range_at", firstRange);
    figure("repair_received_at", received);
    figure("repair_validated_at", validated);
    // Stages of the best repair: the first object downloaded and its digest checked; the ranges
    // written and hashed as they are placed (the next object arrives meanwhile); the validation,
    // now the comparison of that digest with the catalog's; the move, the re-open and the receipts.
    figure("stage_first_object_seconds", firstRange);
    figure("stage_ranges_seconds", received - firstRange);
    figure("stage_validation_seconds", validated - received);
    figure("stage_install_seconds", repairBest - validated);
    figure("repair_mib_per_s", packMib / repairBest);
    figure("repair_vs_winhttp_ratio", median(repairVsWinHttp));
    figure("repair_vs_winhttp_ratio_of_bests", rawBestDownload / repairBest);
    figure("digest_alongside_vs_inline_ratio", median(alongsideVsInline));
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
        nyra::prepare(http, folder, policy, true, cancel, progress, {}, noComponents);
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
