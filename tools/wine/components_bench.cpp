// Protected components and diagnostics benchmark, run under Wine:
//   materialise - a pack holding a 64 MiB compressed game.bin, an 8 MiB stored DLL and 100 small
//                 files: the first materialisation (everything written) and a second one (every
//                 file kept after one hash), with the process's peak memory;
//   diagnostics - writeDiagnostic + readDiagnostic of a 2 KiB record (mean of 20) and of a
//                 900 KiB record.
// Prints one "key value" line per figure. Usage: nyra-components-bench <empty folder>
#include "content/win/components.h"
#include "content/xpress_huffman.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"
#include "state/win/protected_diagnostics.h"

#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void figure(const char* key, double value) { std::printf("%s %.3f\n", key, value); }

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

Bytes encryptGcm(const Bytes& plain, const Bytes& key, const std::array<std::uint8_t, 12>& iv,
                 std::array<std::uint8_t, 16>& tag) {
    nyra::win::UniqueAlgorithmProvider aes;
    require(BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(aes.put(), BCRYPT_AES_ALGORITHM, nullptr, 0)), "AES");
    require(BCRYPT_SUCCESS(::BCryptSetProperty(aes.get(), BCRYPT_CHAINING_MODE,
                                               reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                               sizeof(BCRYPT_CHAIN_MODE_GCM), 0)),
            "GCM");
    nyra::win::UniqueKeyHandle handle;
    require(BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(aes.get(), handle.put(), nullptr, 0,
                                                        const_cast<PUCHAR>(key.data()), 32, 0)),
            "key");
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(iv.data());
    info.cbNonce = 12;
    info.pbTag = tag.data();
    info.cbTag = 16;
    Bytes cipher(plain.size());
    ULONG written = 0;
    require(BCRYPT_SUCCESS(::BCryptEncrypt(handle.get(), const_cast<PUCHAR>(plain.data()),
                                           static_cast<ULONG>(plain.size()), &info, nullptr, 0, cipher.data(),
                                           static_cast<ULONG>(cipher.size()), &written, 0)),
            "encrypt");
    return cipher;
}

// Text-like content that compresses to about a third, like the game's data files.
Bytes gameLike(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<std::uint8_t>("abcdefghij  \n0123"[(state >> 24) % 17]);
    }
    return bytes;
}

int run(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: nyra-components-bench <empty folder>\n", stderr);
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    const auto game = root / "game";
    const auto engine = game / ".engine";
    std::filesystem::create_directories(engine);

    const Bytes key(32, 0x37);
    nyra::Catalog catalog;
    catalog.packs.push_back({"nyra-000.pck", 0, std::string(64, '0')});
    Bytes pack;
    nlohmann::json files = nlohmann::json::object();
    const auto add = [&](const std::string& path, const Bytes& plain, bool compress) {
        nyra::CatalogEntry entry;
        entry.path = path;
        entry.plainSize = plain.size();
        entry.sha256 = nyra::win::sha256Hex(plain.data(), plain.size());
        entry.iv.fill(static_cast<std::uint8_t>(catalog.entries.size()));
        entry.compressed = compress;
        const Bytes cipher = encryptGcm(compress ? nyra::compressXpressHuffman(plain) : plain, key, entry.iv, entry.tag);
        entry.offset = pack.size();
        entry.size = cipher.size();
        pack.insert(pack.end(), cipher.begin(), cipher.end());
        catalog.entries.push_back(entry);
        files[path] = entry.sha256;
    };
    add("game.bin", gameLike(64u << 20, 1), true);
    add("NyraGuard.dll", gameLike(8u << 20, 2), false);
    for (std::uint32_t i = 0; i < 100; ++i) {
        std::string name = "data/part";
        name += std::to_string(1000 + i);
        name += ".dat";
        add(name, gameLike(64u << 10, 3u + i), false);
    }
    std::ofstream(game / "nyra-000.pck", std::ios::binary)
        .write(reinterpret_cast<const char*>(pack.data()), static_cast<std::streamsize>(pack.size()));
    catalog.packs[0].size = pack.size();
    pack.clear();
    pack.shrink_to_fit();
    const nlohmann::json policy = {{"files", files}};

    PROCESS_MEMORY_COUNTERS before{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof before);
    std::atomic<bool> cancel{false};
    auto start = std::chrono::steady_clock::now();
    const auto written = nyra::materialiseEntries(catalog, policy, engine, game, key, cancel, {});
    figure("materialise_first_s", since(start));
    figure("materialise_first_written", static_cast<double>(written));
    start = std::chrono::steady_clock::now();
    const auto rewritten = nyra::materialiseEntries(catalog, policy, engine, game, key, cancel, {});
    figure("materialise_second_s", since(start));
    figure("materialise_second_written", static_cast<double>(rewritten));
    PROCESS_MEMORY_COUNTERS after{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof after);
    figure("peak_working_set_mib", static_cast<double>(after.PeakWorkingSetSize) / 1048576.0);
    figure("working_set_before_mib", static_cast<double>(before.WorkingSetSize) / 1048576.0);

    const nlohmann::json small = {{"detail", std::string(2000, 'd')}, {"exit_code", 0}};
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        nyra::writeDiagnostic(root, nyra::DiagnosticKind::Launch, small);
        require(nyra::readDiagnostic(root, nyra::DiagnosticKind::Launch) == small, "read back");
    }
    figure("diagnostic_2k_write_read_ms", since(start) * 1000.0 / 20.0);
    const nlohmann::json large = {{"detail", std::string(900000, 'd')}};
    start = std::chrono::steady_clock::now();
    nyra::writeDiagnostic(root, nyra::DiagnosticKind::Verification, large);
    require(nyra::readDiagnostic(root, nyra::DiagnosticKind::Verification) == large, "read back");
    figure("diagnostic_900k_write_read_ms", since(start) * 1000.0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "failed: %s\n", error.what());
        return 1;
    }
}
