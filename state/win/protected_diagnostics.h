#pragma once
// The protected diagnostics files of a folder (the launcher folder): "last-launch.dat" and
// "last-verification.dat", protected with DPAPI for the current user and bound to their kind and
// the backend origin, plus the one-time conversion of the plain JSON files older launchers kept.
// Every operation first requires the folder and all of its ancestors to be plain, existing
// folders: "Pasta de diagnosticos redirecionada ou indisponivel.".
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "state/protected_diagnostics.h"

namespace nyra {

// CryptProtectData / CryptUnprotectData with the binding as entropy and no UI.
class DpapiDiagnosticProtector final : public DiagnosticProtector {
public:
    std::string protect(std::string_view plain, std::string_view binding) override;
    std::string unprotect(std::string_view blob, std::string_view binding) override;
};

// Seals the record, confirms that it opens again as the same record, and replaces the current file
// of the kind atomically: a new write-through temporary file private to SYSTEM and the current user,
// moved over the target. A failure leaves the previous file as it was and no temporary file behind.
void writeDiagnostic(const std::filesystem::path& folder, DiagnosticKind kind, const nlohmann::json& record);

// The record of the current file of the kind. The file must be a plain file with one name; a link,
// a folder, a wrong size, a blob of another user, kind or origin are refused with their messages.
nlohmann::json readDiagnostic(const std::filesystem::path& folder, DiagnosticKind kind);

// Converts "last-launch.json" then "last-verification.json" into their protected files, removing
// each legacy file only after its converted form read back equal. Returns how many were converted;
// the first failure ends the migration (kinds already converted stay converted). A legacy file
// that is not exactly one JSON document within the nesting limit: "Diagnostico antigo invalido.".
unsigned migrateLegacyDiagnostics(const std::filesystem::path& folder);

// writeDiagnostic for the callers that continue without their summary when it cannot be stored
// (support data never stops a launch or a check): the answer says whether it was stored.
bool recordDiagnostic(const std::filesystem::path& folder, DiagnosticKind kind, const nlohmann::json& record) noexcept;

// The verification pipeline's summary after each check (recordDiagnostic of `verification`).
bool recordVerificationSummary(const std::filesystem::path& launcherFolder, const nlohmann::json& summary) noexcept;

}  // namespace nyra
