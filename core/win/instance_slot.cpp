#include "core/win/instance_slot.h"

#include <stdexcept>

namespace nyra {

std::wstring instanceMutexName(int slot) { return L"Local\\NyraBrasilNative_" + std::to_wstring(slot); }

InstanceSlot claimInstanceSlot() {
    for (int slot = 0; slot < kInstanceSlots; ++slot) {
        ::SetLastError(ERROR_SUCCESS);
        win::UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, instanceMutexName(slot).c_str()));
        const DWORD error = ::GetLastError();
        // A mutex that already existed belongs to a running launcher: the owner closes on reset.
        if (mutex && error != ERROR_ALREADY_EXISTS) return InstanceSlot{slot, std::move(mutex)};
    }
    throw std::runtime_error("Limite de janelas do launcher atingido.");
}

}  // namespace nyra
