// Crash safety of installs: the Verify job's preparation runs in a process of its own
// (nyra-prepare-child.exe) and is killed with TerminateProcess at chosen moments of a repair and of
// a materialisation. Afterwards every pack, the catalog and every engine-folder file must hold
// either the bytes it held before the run or the bytes the next successful run ends with, never
// anything else; and that next run (in this process) must end ready, with the packs equal to the
// catalog and the protected files and guard authorisation passing the launch's check.
//
// Each point is a line of the child's report (see tools/wine/prepare_child.cpp) at which it holds
// until killed, or a number of milliseconds after its start. NYRA_CRASH_POINTS=all runs every point
// and a long spread of timed kills (scripts/crash-safety); the default is the short CI selection.
#include "content/win/components.h"
#include "core/win/shell_adapters.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "content/tests/win/temporary_folder.h"
#include "core/clock.h"
#include "core/text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/handles.h"

#include <gtest/gtest.h>

#include <fstream>

#include <cstdio>
#include <map>
#include <optional>
#include <sstream>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool longMode() {
    wchar_t value[16] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"NYRA_CRASH_POINTS", value, 16);
    return length > 0 && length < 16 && std::wstring_view(value, length) == L"all";
}

fs::path testExecutableFolder() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return fs::path(buffer).parent_path();
}

// Digest of every file of the folder that belongs to a package set: the packs, the catalog
// container and every file below the engine folder. Temporaries (".download", ".nyra-new",
// "nyra.nidx.new") are not part of a set and are left out.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& folder) {
    Snapshot files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::u16string name = entry.path().filename().u16string();
        if (entry.is_regular_file() && (looksLikePackName(name) || name == u"nyra.nidx")) {
            files[utf16ToUtf8(name)] = sha256File(entry.path());
        }
    }
    const fs::path engine = folder / L".engine";
    if (fs::exists(engine)) {
        for (const auto& entry : fs::recursive_directory_iterator(engine)) {
            if (!entry.is_regular_file() || entry.path().wstring().ends_with(L".nyra-new")) continue;
            files[".engine/" + utf16ToUtf8(fs::relative(entry.path(), engine).generic_u16string())] =
                sha256File(entry.path());
        }
    }
    return files;
}

std::string describe(const Snapshot& files, const std::string& key) {
    const auto found = files.find(key);
    return found == files.end() ? "<absent>" : found->second.substr(0, 12);
}

// The child process with its report read as it comes. Killed (if still running) when it goes.
class Child {
public:
    Child(const fs::path& folder, const std::string& holdAt) {
        std::wstring commandLine = L"\"" + (testExecutableFolder() / L"nyra-prepare-child.exe").wstring() + L"\" \"" +
                                   folder.wstring() + L"\"";
        if (!holdAt.empty()) {
            // "text#N": the N-th line containing text.
            std::string text = holdAt;
            std::string nth = "1";
            if (const auto hash = holdAt.rfind('#'); hash != std::string::npos) {
                text = holdAt.substr(0, hash);
                nth = holdAt.substr(hash + 1);
            }
            const std::u16string wide = utf8ToUtf16(text);
            commandLine += L" --hold \"" + std::wstring(wide.begin(), wide.end()) + L"\" --nth " +
                           std::wstring(nth.begin(), nth.end());
        }
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE write = nullptr;
        HANDLE read = nullptr;
        if (!::CreatePipe(&read, &write, &inherit, 1 << 16)) throw std::runtime_error("pipe");
        output_.reset(read);
        ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = write;
        PROCESS_INFORMATION info{};
        const BOOL created =
            ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
        ::CloseHandle(write);
        if (!created) throw std::runtime_error("nyra-prepare-child.exe could not be started");
        process_.reset(info.hProcess);
        ::CloseHandle(info.hThread);
    }
    ~Child() { kill(); }

    // Reads report lines until one satisfies `done`, the process ends or `timeoutMs` passes;
    // true when a line satisfied it.
    template <class Predicate>
    bool readUntil(Predicate done, DWORD timeoutMs) {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        for (;;) {
            if (drain(done)) return true;
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return false;
            if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20))) ==
                WAIT_OBJECT_0) {
                return drain(done);
            }
        }
    }

    // True when the process was still running (and so was killed).
    bool kill() {
        if (!process_) return false;
        const bool running = ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
        ::TerminateProcess(process_.get(), 9);
        ::WaitForSingleObject(process_.get(), 30000);
        drain([](const std::string&) { return false; });
        process_.reset();
        return running;
    }

    bool saw(std::string_view prefix) const {
        for (const auto& line : lines_) {
            if (line.starts_with(prefix)) return true;
        }
        return false;
    }
    std::string transcript() const {
        std::string text;
        for (const auto& line : lines_) text += "  " + line + "\n";
        return text;
    }

private:
    template <class Predicate>
    bool drain(Predicate done) {
        DWORD available = 0;
        while (output_ && ::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!::ReadFile(output_.get(), chunk.data(), available, &got, nullptr) || got == 0) break;
            pending_.append(chunk, 0, got);
        }
        bool satisfied = false;
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            lines_.push_back(pending_.substr(0, end));
            pending_.erase(0, end + 1);
            if (!satisfied && done(lines_.back())) satisfied = true;
        }
        return satisfied;
    }

    win::UniqueHandle process_;
    win::UniqueHandle output_;
    std::string pending_;
    std::vector<std::string> lines_;
};

// The protected-components step whose native components outlive the result: a folder left by a
// launcher that ended during the game, holding the previous set's components.
class KeepComponents final : public ComponentPreparer {
public:
    explicit KeepComponents(fs::path engine) : inner_(std::move(engine)) {}
    fs::path prepareEngineFolder(const fs::path& game, const PackagePolicy& policy, const Catalog& catalog) override {
        return inner_.prepareEngineFolder(game, policy, catalog);
    }
    std::uint64_t materialise(const ComponentRequest& request) override { return inner_.materialise(request); }
    void cleanNativeComponents(const fs::path&) noexcept override {}

private:
    ProtectedComponents inner_;
};

// Empty folder; the previous set; a first download killed inside nyra-001.pck's second object (its
// kept ".download" holds the first); the current set with one byte of nyra-001.pck's second object
// flipped (its first object is copied from the installed pack).
enum class Start { Empty, PreviousSet, Interrupted, Damaged };

struct KillPoint {
    Start start;
    std::string holdAt;   // "text" or "text#N": held at the N-th report line containing text
    unsigned afterMs = 0;  // without holdAt: killed this long after the start
    json fault = nullptr;  // a fault rule of the service while the child runs
};

struct PointGroup {
    const char* name;
    std::vector<KillPoint> ci;    // the short selection
    std::vector<KillPoint> more;  // added with NYRA_CRASH_POINTS=all
};

std::ostream& operator<<(std::ostream& out, const PointGroup& group) { return out << group.name; }

class CrashSafety : public ServiceTest, public ::testing::WithParamInterface<PointGroup> {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        ASSERT_TRUE(fs::exists(testExecutableFolder() / L"nyra-prepare-child.exe"));
        currentSet_ = service->request("GET", "/state").at("set").at("folder").get<std::string>();
        // A run cut off before its tear-down leaves the previous set published.
        if (currentSet_.ends_with("-old")) currentSet_.resize(currentSet_.size() - 4);
        service->request("POST", "/publish", {{"set", currentSet_}});
        http_ = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock_,
                                       "localhost");
        http_->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        launcher_ = http_->exchange("/api/download/launcher", "", "", 134217728);
    }
    void TearDown() override {
        if (service && !currentSet_.empty()) service->request("POST", "/publish", {{"set", currentSet_}});
        std::error_code ignored;
        for (const auto& folder : folders_) fs::remove_all(folder, ignored);
        ServiceTest::TearDown();
    }

    fs::path newFolder() {
        folders_.push_back(freshTemporaryFolder(L"nyra-crash-"));
        writeWholeFile(folders_.back() / L"Launcher.exe", launcher_);
        return folders_.back();
    }

    // A folder holding the previous set, its components kept; made once and copied for each point.
    fs::path previousSetFolder() {
        if (previousTemplate_.empty()) {
            previousTemplate_ = newFolder();
            service->request("POST", "/publish", {{"set", currentSet_ + "-old"}});
            {
                KeepComponents components(previousTemplate_ / L".engine");
                std::atomic<bool> cancel{false};
                prepareUntilStable(*http_, previousTemplate_, false, cancel, {}, {}, components);
            }
            service->request("POST", "/publish", {{"set", currentSet_}});
        }
        const fs::path folder = newFolder();
        for (const auto& entry : fs::recursive_directory_iterator(previousTemplate_)) {
            const fs::path target = folder / fs::relative(entry.path(), previousTemplate_);
            if (entry.is_directory()) {
                fs::create_directories(target);
            } else {
                // (MinGW's copy_file refuses to overwrite.)
                if (!::CopyFileW(entry.path().c_str(), target.c_str(), FALSE)) {
                    throw std::runtime_error("copy failed: " + target.string());
                }
            }
        }
        return folder;
    }

    // A folder where a first download was killed after 17 of nyra-001.pck's ranges.
    fs::path interruptedFolder() {
        const fs::path folder = newFolder();
        Child child(folder, "Reparando nyra-001.pck |#17");
        const bool held = child.readUntil([](const std::string& line) { return line.starts_with("held "); }, 60000);
        EXPECT_TRUE(held) << child.transcript();
        child.kill();
        EXPECT_TRUE(fs::exists(folder / L"nyra-001.pck.download"));
        return folder;
    }

    // The current set, with one byte of nyra-001.pck's second object flipped.
    fs::path damagedFolder() {
        const fs::path folder = newFolder();
        {
            KeepComponents components(folder / L".engine");
            std::atomic<bool> cancel{false};
            prepareUntilStable(*http_, folder, false, cancel, {}, {}, components);
        }
        std::fstream pack(folder / L"nyra-001.pck", std::ios::in | std::ios::out | std::ios::binary);
        pack.seekp(70000000);
        pack.put('\x5a');
        return folder;
    }

    fs::path startFolder(Start start) {
        switch (start) {
            case Start::Empty: return newFolder();
            case Start::PreviousSet: return previousSetFolder();
            case Start::Interrupted: return interruptedFolder();
            case Start::Damaged: return damagedFolder();
        }
        return {};
    }

    void tryPoint(const KillPoint& point) {
        const fs::path folder = startFolder(point.start);
        if (HasFailure()) return;
        const Snapshot before = snapshot(folder);
        static const char* const kStarts[] = {"empty folder, ", "previous set, ", "interrupted download, ",
                                              "damaged pack, "};
        const std::string label = kStarts[static_cast<int>(point.start)] +
                                  (point.holdAt.empty() ? std::to_string(point.afterMs) + " ms" : point.holdAt) +
                                  (point.fault.is_null() ? "" : ", fault " + point.fault.dump());
        SCOPED_TRACE(label);

        Snapshot killed;
        bool childReady = false;
        if (!point.fault.is_null()) service->fault(point.fault);
        {
            Child child(folder, point.holdAt);
            if (point.holdAt.empty()) {
                child.readUntil([](const std::string&) { return false; }, point.afterMs);
            } else {
                const bool held =
                    child.readUntil([](const std::string& line) { return line.starts_with("held "); }, 60000);
                ASSERT_TRUE(held) << "the child never reached the point:\n" << child.transcript();
            }
            if (child.kill()) ++killsWhileRunning_;
            childReady = child.saw("ready");
            ASSERT_FALSE(child.saw("error ")) << child.transcript();
        }
        service->request("DELETE", "/faults");
        killed = snapshot(folder);

        // The next run ends ready and leaves exactly the published set.
        std::atomic<bool> cancel{false};
        std::string lastStatus;
        ProtectedComponents components(folder / L".engine");
        std::optional<Prepared> prepared;
        try {
            prepared = prepareUntilStable(
                *http_, folder, false, cancel, [&](const std::string& text, int) { lastStatus = text; }, {},
                components);
        } catch (const std::exception& error) {
            FAIL() << "the run after the kill failed: " << error.what();
        }
        EXPECT_TRUE(lastStatus.starts_with("Verificacao concluida.")) << lastStatus;
        EXPECT_NO_THROW(checkProtectedFiles(folder, *prepared));
        const Snapshot after = snapshot(folder);
        expectPublishedPacks(folder, after);

        for (const auto& key : keysOf(before, killed)) {
            const bool asBefore = describe(killed, key) == describe(before, key);
            const bool asAfter = killed.count(key) != 0 && describe(killed, key) == describe(after, key);
            // A run that reached "ready" may have removed its native components on the way out.
            const bool cleanedAfterReady = childReady && killed.count(key) == 0 && key.starts_with(".engine/");
            EXPECT_TRUE(asBefore || asAfter || cleanedAfterReady)
                << key << " holds " << describe(killed, key) << ", before " << describe(before, key) << ", after "
                << describe(after, key);
        }
        ++pointsTried_;
    }

    static std::vector<std::string> keysOf(const Snapshot& a, const Snapshot& b) {
        std::vector<std::string> keys;
        for (const auto& [key, digest] : a) keys.push_back(key);
        for (const auto& [key, digest] : b) {
            if (a.count(key) == 0) keys.push_back(key);
        }
        return keys;
    }

    // Every pack of the catalog is on disk with its catalog digest, and nothing else named like one.
    void expectPublishedPacks(const fs::path& folder, const Snapshot& after) {
        const json policyAnswer = http_->call("/api/launcher/package-policy");
        const PackagePolicy policy = parsePackagePolicy(policyAnswer);
        const auto key = requestPackageKey(*http_, folder, policy);
        const LoadedCatalog loaded =
            loadCatalog(*http_, folder, policy, decodeBase64(policy.signature), key, {}, {});
        EXPECT_FALSE(loaded.downloaded);  // the run left the current catalog
        std::size_t packs = 0;
        for (const auto& pack : loaded.catalog.packs) {
            EXPECT_EQ(describe(after, pack.path), pack.sha256.substr(0, 12)) << pack.path;
            ++packs;
        }
        std::size_t onDisk = 0;
        for (const auto& [name, digest] : after) onDisk += name.starts_with("nyra-") ? 1u : 0u;
        EXPECT_EQ(onDisk, packs);
    }

    void runGroup() {
        const PointGroup& group = GetParam();
        std::vector<KillPoint> points = group.ci;
        if (longMode()) points.insert(points.end(), group.more.begin(), group.more.end());
        for (const KillPoint& point : points) {
            tryPoint(point);
            if (HasFatalFailure()) return;
        }
        std::printf("kill points tried: %u\n", pointsTried_);
        std::printf("killed while running: %u (the others had ended by themselves)\n", killsWhileRunning_);
    }

private:
    SystemClock clock_;
    std::unique_ptr<Http> http_;
    std::vector<std::uint8_t> launcher_;
    std::string currentSet_;
    std::vector<fs::path> folders_;
    fs::path previousTemplate_;
    unsigned pointsTried_ = 0;
    unsigned killsWhileRunning_ = 0;
};

TEST_P(CrashSafety, EveryFileHoldsItsOldOrNewBytesAndTheNextRunEndsReady) { runGroup(); }

KillPoint empty(std::string at) { return {Start::Empty, std::move(at)}; }
KillPoint previous(std::string at) { return {Start::PreviousSet, std::move(at)}; }
KillPoint interrupted(std::string at) { return {Start::Interrupted, std::move(at)}; }
KillPoint damaged(std::string at) { return {Start::Damaged, std::move(at)}; }

KillPoint withFault(KillPoint point, json fault) {
    point.fault = std::move(fault);
    return point;
}

// The CDN fails (its objects cut off, or one with wrong bytes) and the packs come from the backend
// in ranges, or the backend is slow.
const json kCdnDropped = {{"target", "cdn"}, {"kind", "drop"}, {"at", 1000000}, {"always", true}};
const json kCdnCorrupt = {{"target", "cdn"}, {"kind", "corrupt"}, {"count", 1}};
const json kBackendSlow = {{"target", "packages"}, {"kind", "delay"}, {"ms", 1500}, {"always", true}};

std::vector<KillPoint> timed(Start start, unsigned from, unsigned to, unsigned step) {
    std::vector<KillPoint> points;
    for (unsigned ms = from; ms <= to; ms += step) points.push_back({start, "", ms});
    return points;
}

// Report lines of the child: "phase N", "status PERCENT TEXT", "validated PACK", "moved PACK",
// "component-written NAME", "ready". The sample set: nyra-000.pck (1 MiB, CDN), nyra-001.pck
// (72 MiB, two CDN objects, 18 ranges), nyra-002.pck (2 MiB, backend only); the previous set has
// the same names with other bytes, and other "e.fx" and "nyra.guard" components.
INSTANTIATE_TEST_SUITE_P(
    KillPoints, CrashSafety,
    ::testing::Values(
        PointGroup{"EmptyFolderDownloads",
                   {empty("Reparando nyra-001.pck |#9"), empty("validated nyra-001.pck"), empty("moved nyra-001.pck")},
                   {empty("phase 2"), empty("Reparando nyra-000.pck |"), empty("Reparando nyra-001.pck |#1"),
                    empty("Reparando nyra-001.pck |#17"), empty("Validando o pacote recebido: nyra-001.pck"),
                    empty("validated nyra-000.pck"), empty("moved nyra-000.pck"),
                    empty("Reparando nyra-002.pck |"), empty("validated nyra-002.pck"), empty("moved nyra-002.pck")}},
        PointGroup{"EmptyFolderComponents",
                   {empty("component-written game.bin"), empty("component-written nyra.guard"),
                    empty("Componente conferido: NyraGuard.dll")},
                   {empty("phase 3"), empty("component-written NyraGuard.dll"), empty("component-written e.fx"),
                    empty("component-written client.ini"), empty("Componente conferido: nyra.guard"),
                    empty("phase 4"), empty("ready")}},
        PointGroup{"PreviousSetPacks",
                   {previous("Reparando nyra-001.pck |#5"), previous("validated nyra-001.pck"),
                    previous("moved nyra-000.pck")},
                   {previous("Conferindo pacote 2/3"), previous("phase 2"), previous("Reparando nyra-000.pck |"),
                    previous("validated nyra-000.pck"), previous("moved nyra-001.pck"),
                    previous("Reparando nyra-002.pck |"), previous("validated nyra-002.pck"),
                    previous("moved nyra-002.pck")}},
        PointGroup{"PreviousSetComponents",
                   {previous("component-written e.fx"), previous("component-written nyra.guard"),
                    previous("Componente conferido: graphics/reshade/fx/e.fx")},
                   {previous("phase 3"), previous("Componente conferido: nyra.guard"), previous("phase 4"),
                    previous("ready")}},
        PointGroup{"PreviousSetFaults",
                   {withFault(previous("Reparando nyra-001.pck |#5"), kCdnDropped),
                    withFault(previous("moved nyra-001.pck"), kCdnCorrupt),
                    withFault({Start::PreviousSet, "", 4000}, kBackendSlow)},
                   {withFault(previous("validated nyra-000.pck"), kCdnDropped),
                    withFault(previous("Reparando nyra-002.pck |#1"), kBackendSlow),
                    withFault({Start::PreviousSet, "", 2500}, kBackendSlow),
                    withFault({Start::PreviousSet, "", 6000}, kBackendSlow),
                    withFault({Start::Empty, "", 3000}, kCdnDropped)}},
        // Chunk reuse: while slices are proven, right after a reused object is in place (kept, or
        // copied from the installed pack), and in the middle of the resumed download.
        PointGroup{"ChunkReuse",
                   {interrupted("Aproveitando dados ja baixados: nyra-001.pck"),
                    interrupted("Reparando nyra-001.pck |#2"), damaged("Reparando nyra-001.pck |#1")},
                   {interrupted("Reparando nyra-001.pck |#1"), interrupted("validated nyra-001.pck"),
                    damaged("Aproveitando dados ja baixados: nyra-001.pck#2"), damaged("Reparando nyra-001.pck |#2"),
                    damaged("moved nyra-001.pck"), {Start::Interrupted, "", 1500},
                    {Start::Damaged, "", 2500}}},
        PointGroup{"PreviousSetTimed", timed(Start::PreviousSet, 1500, 3500, 1000),
                   timed(Start::PreviousSet, 250, 8000, 250)},
        PointGroup{"EmptyFolderTimed", timed(Start::Empty, 2000, 2000, 1000), timed(Start::Empty, 250, 8000, 250)}),
    [](const ::testing::TestParamInfo<PointGroup>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace nyra::test
