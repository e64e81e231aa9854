// The updater's command line ("--apply-launcher-update <process id> <process handle> <event
// handle>"), written by the launcher that starts the updater but readable by anything that can
// start a process. The first byte chooses how the rest becomes UTF-16: one character per byte
// (even), or little-endian pairs (odd). What is accepted must be written back as text that reads
// the same.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "update/updater_arguments.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::u16string commandLine;
    if ((data[0] & 1) == 0) {
        for (std::size_t i = 1; i < size; ++i) commandLine.push_back(data[i]);
    } else {
        for (std::size_t i = 1; i + 1 < size; i += 2) {
            commandLine.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
        }
    }
    nyra::update::UpdaterArguments arguments;
    if (!accepts([&] { arguments = nyra::update::parseUpdaterArguments(commandLine); })) return 0;
    check(arguments.processHandle != 0 && arguments.eventHandle != 0, "a null handle accepted");
    const auto again = nyra::update::parseUpdaterArguments(nyra::update::updaterArgumentText(arguments));
    check(again.processId == arguments.processId && again.processHandle == arguments.processHandle &&
              again.eventHandle == arguments.eventHandle,
          "the updater's arguments read back differently");
    return 0;
}
