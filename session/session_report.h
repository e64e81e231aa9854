#pragma once
// The texts the launcher reports about a game session: the end of a session (events of crashes and
// hangs) and a one-line summary of the machine.
#include <cstdint>
#include <string>
#include <string_view>

namespace nyra {

inline constexpr std::uint32_t kStillRunning = 259;
// Exit codes of the game's protection, also used by the launcher when it ends the game.
inline constexpr std::uint32_t kGuardRefusedStart = 0xE001;
inline constexpr std::uint32_t kEndedAfterFailure = 0xE002;
inline constexpr std::uint32_t kEndedForModification = 0xE003;
inline constexpr std::uint32_t kEndedAndBlocked = 0xE004;
inline constexpr std::string_view kLauncherVersionText = "5.5.27";
inline constexpr std::size_t kSessionEndDetailLimit = 600;
inline constexpr std::size_t kProtectionDetailLimit = 300;

// The class name of a game exit code ("access_violation", ..., "unknown").
std::string_view exitCodeClass(std::uint32_t exitCode) noexcept;

// "0x%08lX" of a code.
std::string hexCode(std::uint32_t code);

// The machine facts of the system summary, as read by the shell.
struct SystemFacts {
    std::string currentBuild;                  // CurrentBuild of the Windows version key
    std::string displayVersion;                // DisplayVersion; empty when the value is absent
    bool hasDisplayVersion = false;
    std::uint64_t totalMemoryMb = 0;
    std::uint64_t availableMemoryMb = 0;
    std::uint32_t memoryLoadPercent = 0;
    std::string processorName;
    std::uint32_t logicalProcessors = 0;
    std::string displayAdapter;                // the primary display adapter's description
    std::int32_t screenWidth = 0;
    std::int32_t screenHeight = 0;
    std::string graphics;                      // NYRA_GRAPHICS
};

// "win=<build>[/<display version>] ram=<n>MB free=<n>MB load=<n>% cpu=<name> x<n> gpu=<name>
// res=<w>x<h> gfx=<value>", each text cut to its limit.
std::string describeSystem(const SystemFacts& facts);

// "<name>[ exit=0x%08lX (<class>)] t=<s>s ch=<code> v=5.5.27 | <system>", at most 600 characters.
std::string describeSessionEnd(std::string_view name, std::uint32_t exitCode, std::uint64_t elapsedMs,
                               std::int32_t channelResult, std::string_view systemSummary);

// Text cut to at most `limit` characters (UTF-8 sequences counted as one, never split).
std::string cutText(std::string_view text, std::size_t limit);

}  // namespace nyra
