#pragma once
// Protected diagnostics: the last launch and the last verification, kept for support. Each record
// travels in a JSON envelope that names its kind and the backend origin, is protected per Windows
// user with a binding text as entropy (so a file only opens for the same kind and origin), and is
// stored as "NYRADG01" followed by the protected blob. The file handling lives in
// state/win/protected_diagnostics.*; the rules here are shared by it and the tests.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra {

enum class DiagnosticKind { Launch, Verification };

inline constexpr std::string_view kDiagnosticMagic = "NYRADG01";
// The serialised envelope before protection, and the plain text after unprotecting.
inline constexpr std::size_t kDiagnosticEnvelopeLimit = 1048576;
// A container holds the magic and at least one byte of protected blob; the protection adds a
// few hundred bytes to the envelope, so 8 KiB above the envelope limit is ample.
inline constexpr std::size_t kDiagnosticContainerMinimum = kDiagnosticMagic.size() + 1;
inline constexpr std::size_t kDiagnosticContainerLimit = 1056768;
inline constexpr std::size_t kLegacyDiagnosticLimit = 1048576;

// "launch" or "verification".
std::string_view diagnosticKindName(DiagnosticKind kind) noexcept;
// "last-launch.dat" / "last-verification.dat".
std::string_view currentDiagnosticFileName(DiagnosticKind kind) noexcept;
// "last-launch.json" / "last-verification.json", written by older launchers in plain JSON.
std::string_view legacyDiagnosticFileName(DiagnosticKind kind) noexcept;
// The kind whose current file has exactly this name.
std::optional<DiagnosticKind> diagnosticKindOfCurrentFile(std::string_view fileName) noexcept;

// "https://" + the backend API host of this build: the origin the backend client announces.
std::string diagnosticOrigin();

// "Nyra/local-diagnostics/v1/" + kind + "/" + origin: the entropy that binds a protected file to
// its kind and origin.
std::string diagnosticBinding(DiagnosticKind kind, std::string_view origin);

// What the reader learns about a diagnostics file through its open handle (opened without
// following a reparse point), and the rule it applies before reading: a reparse point, a folder or a
// file with another name ("Diagnostico redirecionado.", or "Diagnostico antigo redirecionado." for a
// legacy file), then a size of 1 byte up to the limit ("Diagnostico com tamanho invalido.", or
// "Diagnostico antigo muito grande." for a legacy file over its limit).
struct DiagnosticFileFacts {
    bool reparsePoint = false;
    bool directory = false;
    std::uint32_t links = 1;
    std::uint64_t size = 0;
};
enum class DiagnosticFileRole { Current, Legacy };
void checkDiagnosticFile(const DiagnosticFileFacts& facts, DiagnosticFileRole role);

// Per-user protection with an entropy input (the platform data-protection service in the product).
// Both results are owned by the caller, who zeroes them after use.
class DiagnosticProtector {
public:
    virtual ~DiagnosticProtector() = default;
    // Throws "Nao foi possivel cifrar o diagnostico neste Windows.".
    virtual std::string protect(std::string_view plain, std::string_view binding) = 0;
    // Throws "Diagnostico alterado ou pertencente a outra conta do Windows." when the blob was
    // altered, belongs to another user or was bound to another text.
    virtual std::string unprotect(std::string_view blob, std::string_view binding) = 0;
};

// {"format":1,"kind":...,"origin":...,"record":...} serialised compactly, UTF-8 unescaped.
// A result above kDiagnosticEnvelopeLimit: "Diagnostico muito grande."; a record holding text that
// is not UTF-8: the JSON library's error. The caller zeroes the result.
std::string composeDiagnosticEnvelope(DiagnosticKind kind, std::string_view origin, const nlohmann::json& record);

// The record of a decrypted envelope. Over kDiagnosticEnvelopeLimit: "Diagnostico protegido muito
// grande."; not JSON, not exactly the four members, `format` other than the integer 1, another kind
// or another origin: "Contexto de diagnostico protegido invalido.".
nlohmann::json parseDiagnosticEnvelope(std::string_view plain, DiagnosticKind kind, std::string_view origin);

// "NYRADG01" + the protected envelope. The plain text and the protected blob are zeroed before
// they are released; the caller zeroes the container when it is done with it.
std::string sealDiagnostic(DiagnosticProtector& protector, DiagnosticKind kind, std::string_view origin,
                           const nlohmann::json& record);

// The record held by a container. A size outside kDiagnosticContainerMinimum..Limit or another
// magic: "Formato de diagnostico protegido invalido."; then the protector's and the envelope's
// errors.
nlohmann::json openDiagnostic(DiagnosticProtector& protector, DiagnosticKind kind, std::string_view origin,
                              std::string_view container);

// Seals the record and opens the result again, so that nothing is stored that would not read back
// as the same record (a NaN, say, serialises as null). A difference: "Nao foi possivel conferir o
// diagnostico cifrado.".
std::string sealConfirmedDiagnostic(DiagnosticProtector& protector, DiagnosticKind kind, std::string_view origin,
                                    const nlohmann::json& record);

}  // namespace nyra
