#pragma once
// What the stand-in game does in one run, chosen by tests through the inherited environment
// variable NYRA_STANDIN_GAME_SCENARIO. The grammar is in tools/game/README.md:
//
//   scenario = [ item *( "," item ) ]        (empty: "normal")
//   item     = action | option
//   action   = normal | crash | hang | close-pipe | never-connect | s-before-l | long-notice
//            | stall-l | modified | blocked | exit:CODE | error:CODE | notices[:COUNT]
//   option   = close-after:MS | after:MS | keepalive:MS | traffic:BYTES | item-mall
//
// Portable: parsed and tested natively, used by game.bin and NyraGuard.dll alike.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nyra::standin {

enum class Action {
    Normal,               // the whole handshake, keep-alives and traffic until the window closes
    Crash,                // an access violation (0xC0000005) `afterMs` after ready
    Exit,                 // the guard ends the game with `code` `afterMs` after ready
    Hang,                 // the window stops pumping messages `afterMs` after ready
    ClosePipe,            // the guard closes its pipe `afterMs` after ready; the window stays open
    NeverConnect,         // the guard never connects to the pipe
    GuardError,           // the guard sends 'E' with `code` right after the secret
    SessionBeforeBundle,  // 'K', then 'S' without 'L'
    LongNotice,           // a 301-byte 'M' notice `afterMs` after ready
    Notices,              // `code` (default 21) 'M' notices `afterMs` after ready
    StallBundle,          // 'L', the length read, then nothing more read
    Modification,         // 'I' `afterMs` after ready
    Blocked,              // 'B' `afterMs` after ready
};

inline constexpr std::uint32_t kDefaultNotices = 21;
inline constexpr std::uint32_t kLongNoticeBytes = 301;

struct Scenario {
    Action action = Action::Normal;
    std::uint32_t code = 0;  // exit:CODE, error:CODE, notices:COUNT
    // WM_CLOSE to its own window this long after ready (after the start when the scenario never
    // gets ready); a hung window wakes up for it.
    std::optional<std::uint32_t> closeAfterMs;
    std::uint32_t afterMs = 1000;         // delay of the action after ready
    std::uint32_t keepAliveMs = 5000;     // between keep-alives ('G' and 'X' in turn); always under 20 s
    std::uint32_t trafficBytes = 65536;   // seeded bytes asked for on each channel; 0: no traffic
    bool itemMallRequests = false;        // 'T' after ready and with every keep-alive

    // Whether the guard sends 'R' in this scenario.
    bool becomesReady() const;
    // The canonical text of this scenario (parses back to the same scenario).
    std::string describe() const;
};

// Throws std::invalid_argument with a text that names the offending item.
Scenario parseScenario(std::string_view text);

// The name of an action as the grammar spells it ("exit", "notices", ...).
std::string_view actionName(Action action);

}  // namespace nyra::standin
