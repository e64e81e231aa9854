// Test helper, never shipped: the Verify job's preparation as a process of its own, so that tests
// can kill it (TerminateProcess) at chosen moments and load runs can start many at once.
//
//   nyra-prepare-child.exe FOLDER [--hold TEXT [--nth N]] [--fetch-launcher]
//
// Signs in with NYRA_SERVICE_ACCOUNT ("user:password") against the stand-in service, then runs
// prepareUntilStable for the game folder FOLDER with the product's protected components (engine
// folder FOLDER\.engine) and verification record, as the Verify button does. Every step is written
// to stdout as one line, before the step's effect continues:
//   phase N | status PERCENT TEXT | validated PACK (received file checked, not moved yet)
//   moved PACK (moved over the pack, not re-opened yet) | component-written PATH (new bytes
//   complete in PATH.nyra-new, not moved yet) | ready | requests backend=N cdn=N | error TEXT
// With --hold, the N-th line that contains TEXT (default the first) is followed by
// "held LINE" and the process waits there for ever: the test kills it at exactly that point.
// --fetch-launcher writes the published launcher as FOLDER\Launcher.exe first, when it is missing
// (what the installer leaves in a fresh folder). Exit code 0 when ready, 1 on a preparation error,
// 2 on bad usage.
#include "content/win/cdn_client.h"
#include "core/win/shell_adapters.h"
#include "content/win/components.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "core/text.h"
#include "net/http.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"
#include "state/win/protected_diagnostics.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string environment(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
    if (length == 0 || length >= 1024) return {};
    return nyra::utf16ToUtf8(std::u16string(buffer, buffer + length));
}

// Lines go straight to the handle (no stdio buffer), so that what the parent reads is what has
// happened, even when it kills the process right after.
class Reporter {
public:
    Reporter(std::string holdText, int holdNth) : holdText_(std::move(holdText)), holdNth_(holdNth) {}

    void line(const std::string& text) {
        std::lock_guard lock(mutex_);
        write(text);
        if (holdText_.empty() || text.find(holdText_) == std::string::npos || ++seen_ != holdNth_) return;
        write("held " + text);
        ::Sleep(INFINITE);
    }

private:
    static void write(const std::string& text) {
        const std::string out = text + "\n";
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    }

    std::mutex mutex_;
    std::string holdText_;
    int holdNth_;
    int seen_ = 0;
};

// Counts the requests this process sends, to compare with what the service recorded.
class CountingTransport final : public nyra::BackendTransport {
public:
    CountingTransport(std::unique_ptr<nyra::BackendTransport> inner, std::atomic<unsigned>& sent)
        : inner_(std::move(inner)), sent_(sent) {}
    void reopen() override { inner_->reopen(); }
    std::unique_ptr<nyra::TransportResponse> send(const nyra::TransportRequest& request) override {
        ++sent_;
        return inner_->send(request);
    }

private:
    std::unique_ptr<nyra::BackendTransport> inner_;
    std::atomic<unsigned>& sent_;
};

class CountingCDN final : public nyra::BaseCDN {
public:
    CountingCDN(const json& identity, unsigned depth, std::atomic<unsigned>& fetched)
        : BaseCDN(identity, depth), inner_(identity, depth), fetched_(fetched) {}
    ~CountingCDN() override { stopBackground(); }
    nyra::CdnObject fetchObject(const std::string& object, std::uint64_t size, std::atomic<bool>& cancel,
                                std::atomic<bool>& stop) override {
        ++fetched_;
        return inner_.fetchObject(object, size, cancel, stop);
    }

protected:
    std::string objectDigest(std::span<const std::uint8_t> bytes) override {
        return nyra::win::sha256Hex(bytes.data(), bytes.size());
    }

private:
    nyra::WinHttpCDN inner_;
    std::atomic<unsigned>& fetched_;
};

std::string name(const fs::path& file) { return nyra::utf16ToUtf8(file.filename().u16string()); }

int run(const fs::path& folder, Reporter& report, bool fetchLauncher) {
    const std::string account = environment(L"NYRA_SERVICE_ACCOUNT");
    const auto colon = account.find(':');
    if (colon == std::string::npos) {
        report.line("error NYRA_SERVICE_ACCOUNT is not set");
        return 2;
    }
    std::atomic<unsigned> backendRequests{0};
    std::atomic<unsigned> cdnRequests{0};
    const auto requests = [&] {
        report.line("requests backend=" + std::to_string(backendRequests.load()) +
                    " cdn=" + std::to_string(cdnRequests.load()));
    };
    nyra::SystemClock clock;
    try {
        nyra::Http http(std::make_unique<CountingTransport>(
                            std::make_unique<nyra::net::WinHttpBackendTransport>("localhost", 443), backendRequests),
                        clock, "localhost");
        if (fetchLauncher && !fs::exists(folder / L"Launcher.exe")) {
            nyra::writeWholeFile(folder / L"Launcher.exe",
                                 http.exchange("/api/download/launcher", "", "", 134217728));
        }
        http.login(account.substr(0, colon), account.substr(colon + 1), std::string(64, 'c'), "HWID v1", false);

        nyra::ProtectedComponents components(folder / L".engine", nyra::freeBytesForCurrentUser,
                                             [&](const fs::path& target) {
                                                 report.line("component-written " + name(target));
                                             });
        nyra::PrepareOptions options;
        options.summarySink = [&](const fs::path&, const json& summary) {
            nyra::recordVerificationSummary(folder, summary);
        };
        options.cdnFactory = [&](const json& identity, unsigned depth) {
            return std::make_unique<CountingCDN>(identity, depth, cdnRequests);
        };
        options.beforePackMoved = [&](const fs::path& pack) { report.line("validated " + name(pack)); };
        options.afterPackMoved = [&](const fs::path& pack) { report.line("moved " + name(pack)); };
        std::atomic<bool> cancel{false};
        nyra::Prepared prepared = nyra::prepareUntilStable(
            http, folder, false, cancel,
            [&](const std::string& text, int percent) { report.line("status " + std::to_string(percent) + " " + text); },
            [&](nyra::PreparationPhase phase) { report.line("phase " + std::to_string(static_cast<int>(phase))); },
            components, options);
        report.line("ready");
        requests();
        return 0;  // releasing the result closes the locks and removes the native components
    } catch (const std::exception& error) {
        report.line(std::string("error ") + error.what());
        requests();
        return 1;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: nyra-prepare-child FOLDER [--hold TEXT [--nth N]] [--fetch-launcher]\n", stderr);
        return 2;
    }
    std::string holdText;
    int holdNth = 1;
    bool fetchLauncher = false;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--hold" && i + 1 < argc) {
            holdText = nyra::utf16ToUtf8(std::u16string(argv[i + 1], argv[i + 1] + wcslen(argv[i + 1])));
            ++i;
        } else if (option == L"--nth" && i + 1 < argc) {
            holdNth = std::stoi(argv[++i]);
        } else if (option == L"--fetch-launcher") {
            fetchLauncher = true;
        } else {
            std::fputs("nyra-prepare-child: unknown option\n", stderr);
            return 2;
        }
    }
    Reporter report(holdText, holdNth);
    return run(fs::path(argv[1]), report, fetchLauncher);
}
