// The updater's swap and hand-over on real files and handles, in this process: the handles a
// start names, the description it reads, the replace with each way it can fail, and the hold on
// the checked files from their check until the new launcher has started.
#include "content/tests/win/temporary_folder.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"
#include "update/launcher_description.h"
#include "update/win/launcher_swap.h"
#include "update/win/update_files.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;
using update::LauncherDescription;

std::vector<std::uint8_t> read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void write(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

template <typename Action>
std::string failureOf(Action action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no failure>";
}

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

std::uint32_t number(HANDLE handle) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)); }

// Another process this one may wait for, as the old launcher is to the updater.
win::UniqueHandle anotherProcess(DWORD* id) {
    win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (snapshot && ::Process32FirstW(snapshot.get(), &entry)) {
        do {
            if (entry.th32ProcessID == ::GetCurrentProcessId() || entry.th32ProcessID == 0) continue;
            win::UniqueHandle process(
                ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, entry.th32ProcessID));
            if (process) {
                *id = entry.th32ProcessID;
                return process;
            }
        } while (::Process32NextW(snapshot.get(), &entry));
    }
    return {};
}

TEST(UpdaterHandles, OnlyHandedOverHandlesOfTheirKindAreTakenAndNothingElseIsClosed) {
    DWORD otherId = 0;
    win::UniqueHandle other = anotherProcess(&otherId);
    ASSERT_TRUE(other);
    win::UniqueHandle ownProcess;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), ownProcess.put(),
                                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    win::UniqueHandle event(::CreateEventW(&inherit, TRUE, FALSE, nullptr));
    win::UniqueHandle privateEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // not handed over
    win::UniqueHandle mutex(::CreateMutexW(&inherit, FALSE, nullptr));
    const fs::path folder = freshTemporaryFolder(L"nyra-handles-");
    win::UniqueHandle file(::CreateFileW((folder / L"file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(event && privateEvent && mutex && file);

    const std::string session = "Sessao do atualizador invalida.";
    const std::string sync = "Sincronizacao do atualizador invalida.";
    const struct {
        const char* name;
        DWORD processId;
        HANDLE process;
        HANDLE event;
        std::string message;
    } cases[] = {
        {"a file named as the process", otherId, file.get(), event.get(), session},
        {"another process's id", otherId + 4, other.get(), event.get(), session},
        {"the updater's own process", ::GetCurrentProcessId(), ownProcess.get(), event.get(), session},
        {"a handle that was not inherited", otherId, other.get(), privateEvent.get(), sync},
        {"a mutex named as the event", otherId, other.get(), mutex.get(), sync},
        {"the process named twice", otherId, other.get(), other.get(), sync},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { update::adoptUpdaterHandles({c.processId, number(c.process), number(c.event)}); }),
                  c.message)
            << c.name;
        for (HANDLE handle : {other.get(), event.get(), privateEvent.get(), mutex.get(), file.get()}) {
            EXPECT_TRUE(isOpen(handle)) << c.name;
        }
    }

    // Handed over properly: both are the updater's now and closed with it.
    const HANDLE processValue = other.release();
    const HANDLE eventValue = event.release();
    {
        const auto taken = update::adoptUpdaterHandles({otherId, number(processValue), number(eventValue)});
        EXPECT_EQ(taken.oldLauncher.get(), processValue);
        EXPECT_EQ(taken.confirmation.get(), eventValue);
    }
    EXPECT_FALSE(isOpen(processValue));
    EXPECT_FALSE(isOpen(eventValue));
    file.reset();
    fs::remove_all(folder);
}

// A swap in a folder holding the old launcher, to the build `next` describes.
class LauncherSwap : public ::testing::Test {
protected:
    void SetUp() override {
        folder = freshTemporaryFolder(L"nyra-swap-");
        oldBytes.assign(70000, 'o');
        write(folder / L"Launcher.exe", oldBytes);
        for (std::size_t i = 0; i < 70001; ++i) next.push_back(static_cast<std::uint8_t>(i * 7));
        described = {win::sha256Hex(next.data(), next.size()), "5.5.28", next.size()};
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    fs::path launcher() const { return folder / L"Launcher.exe"; }
    fs::path ready() const { return folder / L"Launcher.exe.ready"; }

    fs::path folder;
    std::vector<std::uint8_t> oldBytes;
    std::vector<std::uint8_t> next;
    LauncherDescription described;
};

// Nobody can write to a file, nor take its name away.
bool opensForWriting(const fs::path& file) {
    return win::UniqueHandle(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
        .valid();
}

TEST_F(LauncherSwap, InstallsTheCheckedBuildAndNobodyCanChangeItWhileItIsChecked) {
    std::vector<std::string> steps;
    const update::SwapSteps seams{update::replaceFileWithBackup, [&](const char* step) {
                                      steps.emplace_back(step);
                                      const std::string at(step);
                                      if (at == "after-ready") {
                                          EXPECT_FALSE(opensForWriting(ready())) << at;
                                      }
                                      if (at == "before-start") {
                                          EXPECT_FALSE(opensForWriting(launcher())) << at;
                                          EXPECT_FALSE(::MoveFileExW(launcher().c_str(), (folder / L"moved").c_str(), 0))
                                              << at;
                                      }
                                  }};
    win::UniqueHandle held = update::swapInLauncher(folder, next, described, seams);
    EXPECT_EQ(steps, (std::vector<std::string>{"after-ready", "after-replace", "before-start"}));
    ASSERT_TRUE(held);
    EXPECT_EQ(read(launcher()), next);
    EXPECT_FALSE(fs::exists(ready()));
    EXPECT_FALSE(fs::exists(folder / update::kLauncherBackupName));
    EXPECT_FALSE(opensForWriting(launcher()));
    held.reset();
    EXPECT_TRUE(opensForWriting(launcher()));
}

// The replace's failures, as Windows leaves the files for each when a backup name is given.
TEST_F(LauncherSwap, AFailedReplaceLeavesTheOldLauncherInPlaceAndTheReadyCopyForTheNextStart) {
    const struct {
        const char* name;
        DWORD error;
        bool oldMovedToBackup;  // where the system leaves the old file
    } cases[] = {
        {"replaced file not removed (1175)", ERROR_UNABLE_TO_REMOVE_REPLACED, false},
        {"replacement not moved (1176)", ERROR_UNABLE_TO_MOVE_REPLACEMENT, false},
        {"replacement not moved, old file renamed (1177)", ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, true},
        {"in use", ERROR_SHARING_VIOLATION, false},
    };
    for (const auto& c : cases) {
        const auto failingReplace = [&](const fs::path& replaced, const fs::path&, const fs::path& backup) {
            // Without a backup name, 1176 deletes the old file and 1177 leaves it under a name of its own.
            if (backup.empty() && (c.error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || c.oldMovedToBackup)) {
                ::DeleteFileW(replaced.c_str());
            } else if (c.oldMovedToBackup) {
                ::MoveFileExW(replaced.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING);
            }
            ::SetLastError(c.error);
            return false;
        };
        EXPECT_EQ(failureOf([&] { update::swapInLauncher(folder, next, described, {failingReplace, {}}); }),
                  "Nao foi possivel instalar a atualizacao. Feche os outros launchers e tente novamente.")
            << c.name;
        EXPECT_EQ(read(launcher()), oldBytes) << c.name;
        EXPECT_EQ(read(ready()), next) << c.name;
    }
}

TEST_F(LauncherSwap, ATamperedCopyOrReplacedLauncherIsRefusedBeforeAnythingStarts) {
    std::vector<std::uint8_t> tampered = next;
    tampered[100] ^= 1;
    EXPECT_EQ(failureOf([&] { update::swapInLauncher(folder, tampered, described); }),
              "A atualizacao foi alterada durante a instalacao.");
    EXPECT_EQ(read(launcher()), oldBytes);

    // Something other than the checked copy ends up in place (changed between the check and the
    // replace): the old launcher is put back.
    const auto swapsInOther = [&](const fs::path& replaced, const fs::path& replacement, const fs::path& backup) {
        ::MoveFileExW(replaced.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING);
        write(replaced, tampered);
        return ::DeleteFileW(replacement.c_str()) != FALSE;
    };
    EXPECT_EQ(failureOf([&] { update::swapInLauncher(folder, next, described, {swapsInOther, {}}); }),
              "O launcher foi alterado apos a instalacao.");
    EXPECT_EQ(read(launcher()), oldBytes);
}

// The signed-message stand-in: a signature is good when it is the whole 48-byte message.
bool wholeMessageSigned(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature) {
    return std::equal(message.begin(), message.end(), signature.begin(), signature.end());
}

TEST_F(LauncherSwap, ATamperedDescriptionFileIsRefused) {
    const auto signatureOf = [](const LauncherDescription& d) {
        const auto message = update::signedLauncherMessage(d);
        static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string text;  // 48 bytes: 64 Base64 characters, no padding
        for (std::size_t i = 0; i < message.size(); i += 3) {
            const std::uint32_t v = (std::uint32_t{message[i]} << 16) | (std::uint32_t{message[i + 1]} << 8) |
                                    std::uint32_t{message[i + 2]};
            for (int shift = 18; shift >= 0; shift -= 6) text += kAlphabet[(v >> shift) & 63];
        }
        return text;
    };
    const nlohmann::json genuine = {{"sha256", described.sha256},
                                    {"version", described.version},
                                    {"size", described.size},
                                    {"signature", signatureOf(described)}};
    nlohmann::json otherSize = genuine;
    otherSize["size"] = described.size + 1;
    const std::string genuineText = genuine.dump();
    const struct {
        const char* name;
        std::string text;
        std::string message;
    } cases[] = {
        {"genuine", genuineText, "<no failure>"},
        {"another size", otherSize.dump(), "A assinatura da atualizacao do launcher e invalida. O jogo nao sera iniciado."},
        {"cut short", genuineText.substr(0, genuineText.size() - 1),
         "O servidor ainda nao publicou uma atualizacao assinada do launcher."},
        {"beyond 16384 bytes", genuineText + std::string(16384, ' '),
         "O servidor ainda nao publicou uma atualizacao assinada do launcher."},
        {"junk after a NUL", genuineText + std::string(1, '\0') + "junk",
         "O servidor ainda nao publicou uma atualizacao assinada do launcher."},
    };
    for (const auto& c : cases) {
        const fs::path file = folder / L"Launcher.exe.update.json";
        write(file, std::vector<std::uint8_t>(c.text.begin(), c.text.end()));
        const auto handle = update::openForReading(file);
        ASSERT_TRUE(handle);
        EXPECT_EQ(failureOf([&] { update::handedOverDescription(handle.get(), wholeMessageSigned); }), c.message)
            << c.name;
    }
}

}  // namespace
}  // namespace nyra::test
