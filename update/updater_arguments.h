#pragma once
// The updater's command line: "--apply-launcher-update <old launcher's process id> <inheritable
// process handle> <inheritable event handle>", all in decimal.
#include <cstdint>
#include <string>
#include <string_view>

namespace nyra::update {

inline constexpr std::u16string_view kApplyLauncherUpdateOption = u"--apply-launcher-update";

struct UpdaterArguments {
    std::uint32_t processId = 0;
    std::uint32_t processHandle = 0;  // handle values: non-zero and below 2^32
    std::uint32_t eventHandle = 0;
};

// Whitespace-separated tokens; "Parametros do atualizador invalidos." for a bad option, process id
// or process handle, "Sincronizacao do atualizador invalida." for a bad or missing event handle
// or anything after it.
UpdaterArguments parseUpdaterArguments(std::u16string_view commandLine);

// The argument text that parseUpdaterArguments reads back.
std::u16string updaterArgumentText(const UpdaterArguments& arguments);

}  // namespace nyra::update
