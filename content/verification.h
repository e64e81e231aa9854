#pragma once
// The portable rules of pack verification: receipts and their trust rules, progress arithmetic,
// the texts the player reads, the verification summary and stale-pack names.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nyra {

// Integer percent rule of the content steps: base + span * min(value, limit) / max(limit, 1), in
// unsigned 64-bit arithmetic with truncating division.
int progressPercent(std::uint64_t base, std::uint64_t span, std::uint64_t value, std::uint64_t limit) noexcept;

// Byte counts as whole MiB (shifted right by 20 bits).
inline std::uint64_t wholeMiB(std::uint64_t bytes) noexcept { return bytes >> 20; }

enum class ReceiptAnswer { MustHash = 0, TrustedByTime = 1, TrustedByJournal = 2 };

inline constexpr std::uint64_t kReceiptMaxAgeMs = 86400000;     // 24 h
inline constexpr std::uint64_t kBootDriftMs = 120000;           // 2 min
inline constexpr std::size_t kReceiptsReadLimit = 1048576;
inline constexpr std::size_t kMaxReceipts = 100;
inline constexpr std::string_view kReceiptsFileName = ".nyra-verified.bin";
inline constexpr std::string_view kReceiptsEntropy = "NyraBrasil/verified-packs/v1";
inline constexpr std::string_view kReceiptsDescription = "Nyra verified package receipts";

// Wall-clock milliseconds since 1970 and milliseconds since boot, read together.
struct ReceiptTime {
    std::uint64_t nowMs = 0;
    std::uint64_t tickMs = 0;
};

// The receipts of one preparation, keyed by pack path, for the catalog digest current now.
class ReceiptStore {
public:
    // `plaintext` is the unprotected file content; anything unusable gives an empty store.
    ReceiptStore(std::string_view plaintext, std::string indexSha256);
    ReceiptStore() = default;

    ReceiptAnswer lookup(const std::string& path, const std::string& sha256, std::uint64_t size,
                         const nlohmann::json& journalIdentity, ReceiptTime time) const;
    // A null identity removes the receipt; a full hash replaces it; a trusted pack leaves it.
    void record(const std::string& path, const std::string& sha256, std::uint64_t size,
                const nlohmann::json& journalIdentity, bool fullyHashed, ReceiptTime time);
    // Compact JSON of {"format": 1, "packs": {...}}.
    std::string serialise() const;
    const nlohmann::json& packs() const noexcept { return packs_; }

private:
    nlohmann::json packs_ = nlohmann::json::object();
    std::string indexSha256_;
};

// The check of one pack against its receipt (returned alone for tests).
ReceiptAnswer lookupReceipt(const nlohmann::json& receipt, const std::string& sha256, std::uint64_t size,
                            const nlohmann::json& journalIdentity, ReceiptTime time);

// Counters of one preparation for the verification summary record.
struct VerificationCounts {
    std::string packageId;
    std::uint64_t checkedPacks = 0;
    std::uint64_t cachedOnDemand = 0;
    std::uint64_t journalVerified = 0;
    std::uint64_t hashedExistingPacks = 0;
    bool forceFull = false;
    std::uint64_t packWriteLocks = 0;
    std::uint64_t downloadedPacks = 0;
    std::uint64_t downloadedPackageBytes = 0;
    bool downloadedIndex = false;
    std::uint64_t downloadedIndexBytes = 0;
    std::uint64_t localComponentsPrepared = 0;
    std::int64_t timestampUnix = 0;
};
nlohmann::json verificationSummary(const VerificationCounts& counts);

// A name the stale-pack removal may delete when the catalog does not list it: exactly 12
// characters, "nyra-", three decimal digits, ".pck".
bool looksLikePackName(std::u16string_view name) noexcept;
// A catalog pack path: 12 characters, "nyra-" ... ".pck" (the middle is not checked).
bool isCatalogPackPath(std::string_view path) noexcept;

// The texts of the preparation.
namespace texts {
inline constexpr const char* kCancelled = "Preparacao cancelada.";
inline constexpr const char* kDownloadingCatalog = "Baixando catalogo novo ou reparando o catalogo local...";
inline constexpr const char* kNothingDownloaded =
    "Pacotes corretos: nenhum download de pacote necessario. Preparando o jogo...";
inline constexpr const char* kDownloadsValidated = "Downloads validados. Preparando o jogo...";
inline constexpr const char* kDoneReceived = "Verificacao concluida. Arquivos recebidos e validados.";
inline constexpr const char* kDoneNothing = "Verificacao concluida. Nenhum download necessario.";
inline constexpr const char* kTrustedByTime =
    "Pacotes sem alteracoes registradas. Conferindo os componentes protegidos...";
inline constexpr const char* kAllIntact = "Pacotes integros. Conferindo os componentes do jogo...";
inline constexpr const char* kRepairingSuffix = " pacote(s) ausente(s) ou corrompido(s). Reparando automaticamente...";
// Before the pack's name: slices on the disk are being proven against the CDN identity's chunks.
inline constexpr const char* kReusingPrefix = "Aproveitando dados ja baixados: ";
// Before the pack's name: what was reused did not make the catalog's pack; it is fetched whole.
inline constexpr const char* kRestartPrefix = "Dados aproveitados nao conferem. Baixando de novo: ";
inline constexpr const char* kCheckingServer = "Conferindo a versao atual no servidor...";
inline constexpr const char* kNewSetFound = "Nova atualizacao encontrada. Sincronizando com o servidor...";
inline constexpr const char* kServerKeptChanging =
    "A versao do servidor mudou durante a atualizacao. Tente novamente; o jogo nao foi aberto.";
}  // namespace texts

// "Conferindo pacote i/N - path".
std::string checkingLabel(std::size_t number, std::size_t count, const std::string& path);
// label + " | " + hashed MiB + " / " + pack MiB + " MB".
std::string hashingText(const std::string& label, std::uint64_t hashed, std::uint64_t size);
// "Reparando path | written MiB / size MiB MB".
std::string repairingText(const std::string& path, std::uint64_t written, std::uint64_t size);

// Reports hash progress at most once per 100 ms; the report that completes the work always goes
// out.
class ProgressThrottle {
public:
    bool due(std::uint64_t tickMs, bool complete) noexcept {
        if (!complete && started_ && tickMs - last_ < 100) return false;
        started_ = true;
        last_ = tickMs;
        return true;
    }

private:
    bool started_ = false;
    std::uint64_t last_ = 0;
};

}  // namespace nyra
