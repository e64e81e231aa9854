// The self-update against the stand-in service publishing the next launcher version (5.5.28): the
// check's refusals in this process, and the whole hand-over between real launcher processes,
// including an updater killed at each step of the swap.
#include "app/tests/win/launcher_harness.h"
#include "core/win/shell_adapters.h"
#include "content/tests/win/temporary_folder.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"
#include "update/updater_arguments.h"
#include "update/win/self_update.h"
#include "update/win/update_files.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::uint64_t kLimit = 134217728;
constexpr wchar_t kLauncherClass[] = L"NyraBrasilNative";
constexpr wchar_t kMessageBoxClass[] = L"#32770";

fs::path testFolder() { return update::runningLauncherPath().parent_path(); }
fs::path currentBuild() { return testFolder() / L"Launcher.exe"; }
fs::path nextBuild() { return testFolder() / L"next" / L"Launcher.exe"; }

std::vector<std::uint8_t> bytesOf(const fs::path& file) { return readWholeFile(file, kLimit); }
// Empty while the file cannot be read (a swap may be under way). The read shares everything: the
// updater proves that no launcher runs from Launcher.exe by opening it for writing, and a test
// that polls the file through a handle refusing writers would make that check fail now and then.
std::string digestOf(const fs::path& file) {
    const win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return {};
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return {};
        if (got == 0) break;
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
        if (bytes.size() > kLimit) return {};
    }
    return win::sha256Hex(bytes.data(), bytes.size());
}

// Polls a condition for up to `ms` (the processes under test run on their own).
template <typename Condition>
bool eventually(Condition condition, DWORD ms = 25000) {
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (condition()) return true;
        ::Sleep(50);
    }
    return condition();
}

// Ids of the processes whose image file is `image`.
std::vector<DWORD> processesRunning(const fs::path& image) {
    std::vector<DWORD> found;
    win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!snapshot || !::Process32FirstW(snapshot.get(), &entry)) return found;
    do {
        win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        wchar_t path[MAX_PATH * 4];
        DWORD length = MAX_PATH * 4;
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, path, &length) &&
            update::sameFilePath(fs::path(std::wstring(path, length)), image)) {
            found.push_back(entry.th32ProcessID);
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return found;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    HWND found = nullptr;
};

HWND windowOf(DWORD processId, const wchar_t* className) {
    WindowSearch search{processId, className};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<WindowSearch*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = {};
            ::GetClassNameW(window, name, 64);
            if (owner == s->processId && ::IsWindowVisible(window) && _wcsicmp(name, s->className) == 0) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Closes every launcher running from `image` through its window (or ends it) and waits for it.
void closeLaunchers(const fs::path& image) {
    for (const DWORD id : processesRunning(image)) {
        win::UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
        if (HWND window = windowOf(id, kLauncherClass)) ::PostMessageW(window, WM_CLOSE, 0, 0);
        if (process && ::WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.get(), 9);
            ::WaitForSingleObject(process.get(), 5000);
        }
    }
}

void terminateAll(const fs::path& image) {
    for (const DWORD id : processesRunning(image)) {
        win::UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
        if (!process) continue;
        ::TerminateProcess(process.get(), 9);
        ::WaitForSingleObject(process.get(), 5000);
    }
}

// The stand-in serves the set that publishes the next launcher version for one test.
class UpdateSetTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        ASSERT_TRUE(fs::exists(nextBuild())) << "the next launcher version is not built";
        originalSet_ = service->request("GET", "/state").at("set").at("folder").get<std::string>();
        // A run cut off before its tear-down leaves the update set published.
        if (originalSet_.ends_with("-update")) originalSet_.resize(originalSet_.size() - 7);
        service->request("POST", "/publish", {{"set", originalSet_ + "-update"}});
        folder = freshTemporaryFolder(L"nyra-update-");
        std::ofstream(folder / L".nyra-home").close();  // an installed game: the start-up job runs at once
        fs::copy_file(currentBuild(), folder / L"Launcher.exe");
        oldBytes = bytesOf(folder / L"Launcher.exe");
    }
    void TearDown() override {
        if (service && !originalSet_.empty()) {
            terminateAll(folder / L"Launcher.exe.update");
            closeLaunchers(folder / L"Launcher.exe");
            service->request("POST", "/publish", {{"set", originalSet_}});
        }
        std::error_code ignored;
        if (!folder.empty()) fs::remove_all(folder, ignored);
        ServiceTest::TearDown();
    }

    fs::path folder;
    std::vector<std::uint8_t> oldBytes;

private:
    std::string originalSet_;
};

// ---- the check, in this process: every refusal leaves Launcher.exe as it was ----

class SelfUpdateCheck : public UpdateSetTest {
protected:
    void SetUp() override {
        UpdateSetTest::SetUp();
        if (!service) return;
        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        policy = http->call("/api/launcher/package-policy");
    }

    // The check's message, or "<updater started>" when it went as far as starting the updater.
    std::string outcome(const fs::path& launcher, const json& usedPolicy, bool gameRunning = false,
                        const update::LauncherSelfUpdate::WrittenHook& afterWrite = {},
                        const update::LauncherSelfUpdate::WrittenHook& afterHold = {}) {
        update::LauncherSelfUpdate check([gameRunning] { return gameRunning; }, launcher, afterWrite, afterHold);
        std::atomic<bool> cancel{false};
        try {
            return check.checkLauncherUpdate(*http, folder, usedPolicy, {}, cancel) ? "<updater started>"
                                                                                    : "<current>";
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    SystemClock clock;
    std::unique_ptr<Http> http;
    json policy;
};

TEST_F(SelfUpdateCheck, EachRefusalShowsItsTextAndLeavesTheLauncherAsItWas) {
    const fs::path launcher = folder / L"Launcher.exe";
    const auto withDescription = [&](const char* member, json value) {
        json changed = policy;
        changed["launcher_update"][member] = value;
        if (std::string(member) == "version") changed["launcher_version"] = value;
        return changed;
    };
    json otherSignature = policy;  // a genuine signature, of another build
    {
        std::string signature = policy["launcher_update"]["signature"];
        signature[10] = signature[10] == 'A' ? 'B' : 'A';
        otherSignature["launcher_update"]["signature"] = signature;
    }
    const struct {
        const char* name;
        json fault;  // null: none
        json usedPolicy;
        bool gameRunning;
        std::string message;
    } cases[] = {
        {"one flipped byte", {{"target", "op:13"}, {"kind", "corrupt"}}, policy, false,
         "O launcher recebido nao corresponde a atualizacao assinada. Tente novamente."},
        {"a short download", {{"target", "op:13"}, {"kind", "truncate"}, {"bytes", 70000}}, policy, false,
         "O launcher recebido nao corresponde a atualizacao assinada. Tente novamente."},
        {"another signature", nullptr, otherSignature, false,
         "A assinatura da atualizacao do launcher e invalida. O jogo nao sera iniciado."},
        // The version is bound by the file's version resource, not by the signature.
        {"a version the file does not carry", nullptr, withDescription("version", "5.5.29"), false,
         "A versao recebida nao corresponde a atualizacao oficial."},
        {"the game running", nullptr, policy, true, "Feche o jogo para atualizar o launcher com seguranca."},
    };
    for (const auto& c : cases) {
        service->reset();
        if (!c.fault.is_null()) service->fault(c.fault);
        EXPECT_EQ(outcome(launcher, c.usedPolicy, c.gameRunning), c.message) << c.name;
        EXPECT_EQ(bytesOf(launcher), oldBytes) << c.name;
    }

    // Renamed, an outdated launcher is told to take its name back; current, its name does not matter.
    const fs::path renamed = folder / L"Nyra.exe";
    fs::copy_file(launcher, renamed);
    EXPECT_EQ(outcome(renamed, policy), "Feche e renomeie este arquivo para Launcher.exe antes de atualizar.");
    fs::copy_file(nextBuild(), folder / L"Nyra-next.exe");
    EXPECT_EQ(outcome(folder / L"Nyra-next.exe", policy), "<current>");
}

TEST_F(SelfUpdateCheck, AnUpdateChangedAfterItsDownloadIsNeverStarted) {
    const std::string message = outcome(folder / L"Launcher.exe", policy, false, [](const fs::path& update) {
        auto bytes = bytesOf(update);
        bytes[bytes.size() / 2] ^= 0x40;
        writeWholeFile(update, bytes);
    });
    EXPECT_EQ(message, "A atualizacao foi alterada antes de iniciar.");
    EXPECT_EQ(bytesOf(folder / L"Launcher.exe"), oldBytes);
    EXPECT_TRUE(processesRunning(folder / L"Launcher.exe.update").empty());
}

TEST_F(SelfUpdateCheck, OnceProvenTheUpdateCannotBeChangedBeforeTheUpdaterReadsIt) {
    const std::string message = outcome(folder / L"Launcher.exe", policy, false, {}, [](const fs::path& update) {
        const win::UniqueHandle writer(::CreateFileW(update.c_str(), GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_FALSE(writer.valid());
        EXPECT_FALSE(::DeleteFileW(update.c_str()));
        throw std::runtime_error("stopped after the attempt");
    });
    EXPECT_EQ(message, "stopped after the attempt");
    EXPECT_EQ(bytesOf(folder / L"Launcher.exe.update"), bytesOf(nextBuild()));
}

// ---- the updater started by someone other than the installed launcher ----

// Starts `updater` with an inheritable handle on this process and an event, as a launcher would.
DWORD startUpdaterFromHere(const fs::path& updater, HANDLE* event) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    *event = ::CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    HANDLE self = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &self,
                      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0);
    const update::UpdaterArguments arguments{::GetCurrentProcessId(),
                                             static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self)),
                                             static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(*event))};
    const std::array<HANDLE, 2> inherited{*event, self};
    update::startProcess(updater, update::updaterArgumentText(arguments), updater.parent_path(), inherited);
    ::CloseHandle(self);
    const auto running = processesRunning(updater);
    return running.empty() ? 0 : running.front();
}

std::wstring confirmFailureMessageOf(DWORD processId) {
    HWND box = nullptr;
    eventually([&] { return (box = windowOf(processId, kMessageBoxClass)) != nullptr; }, 30000);
    if (box == nullptr) return L"<no message box>";
    const std::wstring text = dialogText(box);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
}

TEST(SelfUpdater, ForgedOrForeignStartsAreRefusedWithoutSignalling) {
    LauncherFolder folder;  // Launcher.exe of the current version
    const fs::path updater = folder.path() / L"Launcher.exe.update";
    fs::copy_file(nextBuild(), updater);
    const auto before = bytesOf(folder.executable());

    // By hand, with arguments that are not the launcher's.
    for (const auto& [arguments, message] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"", L"Parametros do atualizador invalidos."},
             {L"0 2 3", L"Parametros do atualizador invalidos."},
             {L"4 8", L"Sincronizacao do atualizador invalida."},
             {L"4 8 12", L"Sessao do atualizador invalida."}}) {
        const std::wstring line = arguments.empty() ? L"--apply-launcher-update"
                                                    : L"--apply-launcher-update " + arguments;
        update::startProcess(updater, std::u16string(line.begin(), line.end()), folder.path(), {});
        const auto running = processesRunning(updater);
        ASSERT_EQ(running.size(), 1u) << std::string(line.begin(), line.end());
        EXPECT_EQ(confirmFailureMessageOf(running.front()), message);
        eventually([&] { return processesRunning(updater).empty(); }, 10000);
    }

    // Started properly, but by a process that is not the installed launcher.
    HANDLE event = nullptr;
    const DWORD id = startUpdaterFromHere(updater, &event);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(confirmFailureMessageOf(id), L"A origem da atualizacao nao corresponde ao launcher instalado.");
    EXPECT_EQ(::WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ::CloseHandle(event);
    eventually([&] { return processesRunning(updater).empty(); }, 10000);

    // A copy under another name.
    const fs::path renamed = folder.path() / L"Atualizador.exe";
    fs::copy_file(nextBuild(), renamed);
    const DWORD renamedId = startUpdaterFromHere(renamed, &event);
    ASSERT_NE(renamedId, 0u);
    EXPECT_EQ(confirmFailureMessageOf(renamedId), L"O atualizador deve ser iniciado pelo launcher oficial.");
    ::CloseHandle(event);
    eventually([&] { return processesRunning(renamed).empty(); }, 10000);
    EXPECT_EQ(bytesOf(folder.executable()), before);
}

// ---- the whole hand-over between real processes ----

class SelfUpdateJourney : public UpdateSetTest {
protected:
    // Starts Launcher.exe of the folder as a player would.
    void startLauncher() {
        update::startProcess(folder / L"Launcher.exe", {}, folder, {});
    }
    // The launcher the update installed runs, is current and has removed the update's files.
    // What a failure needs to be understood: the folder and any message a launcher shows.
    std::string situation() {
        std::string text = "files:";
        for (const auto& entry : fs::directory_iterator(folder)) text.append(" ").append(entry.path().filename().string());
        for (const auto* image : {L"Launcher.exe", L"Launcher.exe.update"}) {
            for (const DWORD id : processesRunning(folder / image)) {
                HWND box = windowOf(id, kMessageBoxClass);
                const std::wstring message = box ? dialogText(box) : L"(no message)";
                text.append("\n").append(fs::path(image).string()).append(" ").append(std::to_string(id));
                text.append(": ").append(fs::path(message).string());
            }
        }
        return text;
    }
    void expectUpdatedAndClean() {
        const fs::path launcher = folder / L"Launcher.exe";
        ASSERT_TRUE(eventually([&] { return digestOf(launcher) == digestOf(nextBuild()); })) << situation();
        EXPECT_EQ(update::launcherFileVersion(launcher), "5.5.28");
        ASSERT_TRUE(eventually([&] {
            return !fs::exists(folder / L"Launcher.exe.update") && !fs::exists(folder / L"Launcher.exe.update.json") &&
                   !fs::exists(folder / L"Launcher.exe.ready");
        })) << situation();
        const auto running = processesRunning(launcher);
        ASSERT_EQ(running.size(), 1u);
        EXPECT_TRUE(eventually([&] { return windowOf(running.front(), kLauncherClass) != nullptr; }));
        closeLaunchers(launcher);
        EXPECT_TRUE(processesRunning(launcher).empty());
    }
};

TEST_F(SelfUpdateJourney, AnOutdatedLauncherUpdatesItselfAndRestartsAsTheNewVersion) {
    startLauncher();
    expectUpdatedAndClean();
}

// The updater is held at a step (a development-build seam) and killed there; the player closes a
// launcher still waiting for its confirmation and starts Launcher.exe again.
class SelfUpdaterKilled : public SelfUpdateJourney, public ::testing::WithParamInterface<const char*> {};

TEST_P(SelfUpdaterKilled, LeavesAGenuineLauncherAndTheNextStartFinishesTheUpdate) {
    const std::string step = GetParam();
    const fs::path launcher = folder / L"Launcher.exe";
    const fs::path held = folder / L"updater-held.txt";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"NYRA_UPDATER_HOLD", std::wstring(step.begin(), step.end()).c_str()));
    startLauncher();
    const bool reached = eventually([&] { return fs::exists(held); });
    ::SetEnvironmentVariableW(L"NYRA_UPDATER_HOLD", nullptr);
    ASSERT_TRUE(reached) << situation();
    terminateAll(folder / L"Launcher.exe.update");
    terminateAll(launcher);

    const std::string digest = digestOf(launcher);
    const bool replaced = step == "after-replace";
    EXPECT_EQ(digest, replaced ? digestOf(nextBuild()) : win::sha256Hex(oldBytes.data(), oldBytes.size()));

    startLauncher();
    expectUpdatedAndClean();
}

INSTANTIATE_TEST_SUITE_P(AtEachStep, SelfUpdaterKilled,
                         ::testing::Values("before-confirmation", "after-confirmation", "after-ready", "after-replace"),
                         [](const auto& testParam) {
                             std::string name = testParam.param;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
}  // namespace nyra::test
