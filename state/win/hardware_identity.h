#pragma once
#include <string_view>

#include "state/hardware_identity.h"

namespace nyra {

// This computer's identity record, computed on first use (concurrent first callers wait for one
// computation) and kept for the life of the process. Throws "Identidade do computador
// indisponivel." only when CNG cannot hash; the next call then tries again.
const HardwareId& hardwareIdentity();

namespace win {

// SHA-256 through CNG (BCryptHash). Throws "Identidade do computador indisponivel." on failure.
Sha256Digest cngSha256(std::string_view bytes);

}  // namespace win
}  // namespace nyra
