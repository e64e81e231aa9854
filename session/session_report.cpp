#include "session/session_report.h"

#include <array>
#include <cstdio>
#include <utility>

namespace nyra {

std::string_view exitCodeClass(std::uint32_t exitCode) noexcept {
    static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 13> kClasses{{
        {1, "ended_by_task_manager_or_error"},
        {3, "runtime_abort"},
        {0x40010004u, "closed_by_system"},
        {0xC0000005u, "access_violation"},
        {0xC0000017u, "no_memory"},
        {0xC000001Du, "illegal_instruction"},
        {0xC0000094u, "divide_by_zero"},
        {0xC00000FDu, "stack_overflow"},
        {0xC0000135u, "dll_not_found"},
        {0xC000013Au, "closed_by_console"},
        {0xC0000142u, "dll_init_failed"},
        {0xC0000374u, "heap_corruption"},
        {0xC0000409u, "stack_buffer_overrun"},
    }};
    for (const auto& [code, name] : kClasses) {
        if (code == exitCode) return name;
    }
    return "unknown";
}

std::string hexCode(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

std::string cutText(std::string_view text, std::size_t limit) {
    // Counts characters, not bytes: a character is a lead byte with its continuation bytes, so the
    // cut always falls before a lead byte and never splits a sequence.
    std::size_t characters = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0u) == 0x80u) continue;
        if (characters == limit) return std::string(text.substr(0, at));
        ++characters;
    }
    return std::string(text);
}

std::string describeSystem(const SystemFacts& facts) {
    // Appended piece by piece: one buffer, no temporaries.
    std::string line;
    const auto add = [&line](std::string_view piece) { line.append(piece); };
    add("win=");
    add(cutText(facts.currentBuild, 8));
    if (facts.hasDisplayVersion) {
        add("/");
        add(cutText(facts.displayVersion, 8));
    }
    add(" ram=");
    add(std::to_string(facts.totalMemoryMb));
    add("MB free=");
    add(std::to_string(facts.availableMemoryMb));
    add("MB load=");
    add(std::to_string(facts.memoryLoadPercent));
    add("% cpu=");
    add(cutText(facts.processorName, 48));
    add(" x");
    add(std::to_string(facts.logicalProcessors));
    add(" gpu=");
    add(cutText(facts.displayAdapter, 48));
    add(" res=");
    add(std::to_string(facts.screenWidth));
    add("x");
    add(std::to_string(facts.screenHeight));
    add(" gfx=");
    add(cutText(facts.graphics, 12));
    return line;
}

std::string describeSessionEnd(std::string_view name, std::uint32_t exitCode, std::uint64_t elapsedMs,
                               std::int32_t channelResult, std::string_view systemSummary) {
    std::string detail;
    const auto add = [&detail](std::string_view piece) { detail.append(piece); };
    add(name);
    if (exitCode != kStillRunning) {
        add(" exit=");
        add(hexCode(exitCode));
        add(" (");
        add(exitCodeClass(exitCode));
        add(")");
    }
    add(" t=");
    add(std::to_string(elapsedMs / 1000));
    add("s ch=");
    add(std::to_string(channelResult));
    add(" v=");
    add(kLauncherVersionText);
    add(" | ");
    add(systemSummary);
    return cutText(detail, kSessionEndDetailLimit);
}

}  // namespace nyra
