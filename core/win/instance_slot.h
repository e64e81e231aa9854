#pragma once
#include "platform/win/handles.h"

#include <string>

namespace nyra {

inline constexpr int kInstanceSlots = 10;

// One of the ten launcher instances of this logon. The named mutex stays open for the life of the
// process; its slot number selects the engine folder.
struct InstanceSlot {
    int number = -1;
    win::UniqueHandle mutex;
};

std::wstring instanceMutexName(int slot);  // "Local\NyraBrasilNative_" + slot

// Claims the first free slot 0..9; throws "Limite de janelas do launcher atingido." when all are taken.
InstanceSlot claimInstanceSlot();

}  // namespace nyra
