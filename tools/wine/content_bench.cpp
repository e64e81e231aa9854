// Content pipeline benchmark, run under Wine against the stand-in service (scripts/bench-content):
//   verify  - a forced full verification of packs in the page cache, against CNG's raw SHA-256
//             rate over the same bytes in memory, in the same run;
//   repair  - the download, write, hash and install of the largest CDN pack, timed inside the
//             preparation, with the process's peak memory.
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

// The same GET as the CDN download, without hashing or keeping the bytes: what Wine's WinHTTP and
// TLS deliver on this machine.
double rawWinHttpSeconds(const std::string& object, std::uint64_t size) {
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
    DWORD read = 0;
    while (::WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read > 0) {
    }
    return Seconds(std::chrono::steady_clock::now() - start).count();
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

    const int rounds = quick ? 1 : 3;
    double repairBest = 1e9;
    double firstRange = 0, received = 0, validated = 0;  // stages of the best round
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(folder / std::wstring(largest.begin(), largest.end()));
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
    }
    double rawBestDownload = 1e9;
    for (int round = 0; round < rounds; ++round) {
        double total = 0;
        for (const auto& pack : policy.at("base_cdn").at("packs")) {
            if (pack.at("path") != largest) continue;
            for (const auto& chunk : pack.at("chunks")) {
                total += rawWinHttpSeconds(chunk.at("object").get<std::string>(), chunk.at("size").get<std::uint64_t>());
            }
        }
        rawBestDownload = std::min(rawBestDownload, total);
    }
    figure("winhttp_download_seconds", rawBestDownload);
    {
        nyra::WinHttpCDN cdn(policy.at("base_cdn"), 0);
        std::atomic<bool> stop{false};
        for (const auto& pack : policy.at("base_cdn").at("packs")) {
            if (pack.at("path") != largest) continue;
            const auto& chunk = pack.at("chunks").at(0);
            const auto start = std::chrono::steady_clock::now();
            cdn.fetchObject(chunk.at("object").get<std::string>(), chunk.at("size").get<std::uint64_t>(), cancel, stop);
            figure("cdn_fetch_object0_seconds", since(start));
        }
    }
    figure("winhttp_download_mib_per_s", static_cast<double>(largestSize) / 1048576.0 / rawBestDownload);

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    std::printf("repair_pack %s\n", largest.c_str());
    figure("repair_pack_mib", static_cast<double>(largestSize) / 1048576.0);
    figure("repair_seconds", repairBest);
    figure("repair_first_range_at", firstRange);
    figure("repair_received_at", received);
    figure("repair_validated_at", validated);
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
