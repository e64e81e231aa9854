#pragma once
// The interface between game.bin and NyraGuard.dll: plain C, so that the two modules share no
// C++ runtime objects (each links its own). game.bin loads the DLL from its own folder and looks
// up the two functions by name.
#include <cstdint>

extern "C" {

struct NyraGuardHost {
    std::uint32_t size;  // sizeof(NyraGuardHost): lets either side grow the record later
    void* context;
    // A JSON merge patch (UTF-8) for the "guard" member of the game's result record.
    void (*report)(void* context, const char* patch);
    // The guard sent 'R'. `ports` are the local ports of "6543", "5712" and "10166" from the
    // login's network map (0 for one that was unusable).
    void (*ready)(void* context, const std::uint16_t ports[3]);
    // The guard ends the game with this exit code; does not return.
    void (*endGame)(void* context, std::uint32_t exitCode);
};

// Starts the guard on its own thread with the scenario text (see tools/game/README.md); 0 when it
// started, otherwise nothing was started. The pipe and the secret come from the environment.
typedef int (*NyraGuardStartFunction)(const NyraGuardHost* host, const char* scenario);
// Stops the keep-alives, closes the pipe and waits for the guard's thread. Idempotent.
typedef void (*NyraGuardStopFunction)(void);

}

inline constexpr const char* kGuardStartExport = "NyraGuardStart";
inline constexpr const char* kGuardStopExport = "NyraGuardStop";
