#include "content/win/prepare.h"

#include "content/win/cdn_client.h"
#include "content/win/primitives.h"
#include "content/win/receipts_file.h"
#include "content/win/signature.h"
#include "core/text.h"
#include "net/http.h"
#include "net/operations.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <ctime>
#include <set>
#include <stdexcept>

namespace nyra {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr std::uint64_t kRepairMargin = 67108864;  // free space beyond the pack, per repair

std::filesystem::path inFolder(const std::filesystem::path& folder, std::string_view name) {
    return folder / std::wstring(name.begin(), name.end());
}

bool fileExists(const std::filesystem::path& file) {
    return ::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void report(const ProgressFn& progress, const std::string& text, int percent) {
    if (progress) progress(text, percent);
}

void enter(const PreparationPhaseFn& phase, PreparationPhase value) {
    if (phase) phase(value);
}

void checkCancel(const std::atomic<bool>& cancel) {
    if (cancel) fail(texts::kCancelled);
}

// Zeroes the package key however the preparation ends.
struct KeyHolder {
    std::array<std::uint8_t, 32> key{};
    ~KeyHolder() { wipeBytes(key); }
};

// Work counters of the downloads of one preparation.
struct RepairWork {
    std::uint64_t total = 0;  // T: the catalog sizes of the listed packs
    std::uint64_t done = 0;   // W: grows by each pack's size after download and after validation
};

struct RepairContext {
    Http& http;
    const std::filesystem::path& gameFolder;
    BaseCDN& cdn;
    std::atomic<bool>& cancel;
    const ProgressFn& progress;
    const PreparationPhaseFn& phase;
    ReceiptStore& receipts;
    VerifiedPackLocks& locks;
    RepairWork& work;
    VerificationCounts& counts;
    PackJournalSource& journal;
    const PrepareOptions& options;
};

// `buffer` is the previous range's: the body is read into its capacity, so a pack repaired from
// the backend allocates once rather than once per range.
std::vector<std::uint8_t> fetchFromBackend(Http& http, const CatalogPack& pack, const ByteRange& range,
                                           std::vector<std::uint8_t> buffer) {
    const std::string header =
        "Range: bytes=" + std::to_string(range.first) + "-" + std::to_string(range.last) + "\r\n";
    return http.exchange("/api/launcher/packages/" + pack.path, "", "", Http::kPackageRangeLimit, header,
                         std::move(buffer));
}

// The volume must keep a margin beyond the pack while it is received.
void requireRoomForRepair(const CatalogPack& pack, const RepairContext& c) {
    std::uint64_t available = 0;
    const bool known = c.options.freeSpace ? c.options.freeSpace(c.gameFolder, available)
                                           : freeBytesForCurrentUser(c.gameFolder, available);
    if (!known || pack.size > UINT64_MAX - kRepairMargin || available <= pack.size + kRepairMargin) {
        fail("Espaco insuficiente para reparar o pacote.");
    }
}

// The file a pack is received into, created afresh: whatever has its name (a leftover, a link, a
// second name of another file) is removed, never written through. Others may read it meanwhile.
FreshFile openReceivedFile(const std::filesystem::path& temporary) {
    FreshFile file = FreshFile::create(temporary, FreshFile::Sharing::Readers);
    if (!file) fail("Nao foi possivel receber o pacote.");
    return file;
}

void appendReceived(FreshFile& file, std::span<const std::uint8_t> bytes) {
    if (!file.append(bytes)) fail("Disco cheio ao receber pacote.");
}

// Flushed before it is validated, moved and vouched for by a receipt: after a power loss the
// installed pack must not hold zeros that a receipt says were hashed.
void finishReceived(FreshFile& file) {
    if (!file.finish()) fail("Disco cheio ao receber pacote.");
}

// Downloads every range of the pack into `temporary`, in order.
void receivePack(const CatalogPack& pack, const std::filesystem::path& temporary, RepairContext& c) {
    FreshFile file = openReceivedFile(temporary);
    const std::uint64_t doubled = c.work.total * 2;
    // A range is a view of the CDN object held in memory, or of the backend's answer, read into
    // the previous range's buffer.
    std::span<const std::uint8_t> bytes;
    std::vector<std::uint8_t> backendBytes;
    std::uint64_t written = 0;
    for (const ByteRange& range : packRanges(pack.size)) {
        checkCancel(c.cancel);
        if (!c.cdn.fetchRange(pack, range.first, range.last, bytes, c.cancel)) {
            checkCancel(c.cancel);
            backendBytes = fetchFromBackend(c.http, pack, range, std::move(backendBytes));
            bytes = backendBytes;
        }
        if (bytes.size() != range.last - range.first + 1) fail("Pacote incompleto.");
        appendReceived(file, bytes);
        written += bytes.size();
        report(c.progress, repairingText(pack.path, written, pack.size),
               progressPercent(70, 24, c.work.done + written, doubled));
    }
    finishReceived(file);
}

// The received file, open and hashed: its size and digest are the catalog's.
struct ReceivedPack {
    VerifiedPackFile file;
    json identity;
};

ReceivedPack validateReceived(const CatalogPack& pack, const std::filesystem::path& temporary, RepairContext& c) {
    ReceivedPack received{VerifiedPackFile::open(temporary, VerifiedPackFile::Share::ReadAndDelete), nullptr};
    received.identity = received.file.identity();
    bool valid = received.file.size() == pack.size;
    if (valid) {
        const std::string label = "Validando o pacote recebido: " + pack.path;
        const std::uint64_t doubled = c.work.total * 2;
        ProgressThrottle throttle;
        checkCancel(c.cancel);
        const std::string digest = received.file.sha256([&](std::uint64_t hashed) {
            checkCancel(c.cancel);
            if (throttle.due(::GetTickCount64(), hashed >= pack.size)) {
                report(c.progress, label, progressPercent(70, 24, c.work.done + hashed, doubled));
            }
        });
        valid = digest == pack.sha256;
    }
    if (!valid) fail("O pacote recebido nao passou na verificacao.");
    return received;
}

// Moves the validated file over the pack and proves that what is now installed is that file.
VerifiedPackFile installReceived(const CatalogPack& pack, const std::filesystem::path& temporary,
                                 const std::filesystem::path& target, ReceivedPack& received, RepairContext& c) {
    if (c.options.beforePackMoved) c.options.beforePackMoved(target);
    // The handle of the received file stays open and follows it to its new name.
    if (!replaceFile(temporary, target)) fail("Nao foi possivel instalar o pacote.");
    if (c.options.afterPackMoved) c.options.afterPackMoved(target);
    VerifiedPackFile installed = VerifiedPackFile::open(target, VerifiedPackFile::Share::ReadOnly);
    const json installedIdentity = installed.identity();
    if (installedIdentity.at("volume") != received.identity.at("volume") ||
        installedIdentity.at("file_id") != received.identity.at("file_id") || installed.size() != pack.size) {
        fail("O pacote instalado mudou durante o reparo. Tente novamente.");
    }
    received.file.close();
    return installed;
}

void repairPack(const CatalogPack& pack, RepairContext& c) {
    enter(c.phase, PreparationPhase::Downloading);
    const std::filesystem::path target = joinPackagePath(c.gameFolder, pack.path);
    std::filesystem::path temporary = target;
    temporary += L".download";
    requireRoomForRepair(pack, c);

    receivePack(pack, temporary, c);
    c.work.done += pack.size;
    enter(c.phase, PreparationPhase::Checking);

    ReceivedPack received = validateReceived(pack, temporary, c);
    c.work.done += pack.size;

    VerifiedPackFile installed = installReceived(pack, temporary, target, received, c);
    c.receipts.record(pack.path, pack.sha256, pack.size, installed.journalIdentity(c.journal), true, c.journal.now());
    c.locks.files[pack.path] = std::move(installed);
    ++c.counts.downloadedPacks;
    c.counts.downloadedPackageBytes += pack.size;
}

std::vector<std::uint8_t> readSignatureRecord(const std::filesystem::path& file) {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return {};
    std::vector<std::uint8_t> bytes(kSignatureReadLimit);
    DWORD read = 0;
    if (!::ReadFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) return {};
    bytes.resize(read);
    return bytes;
}

}  // namespace

std::array<std::uint8_t, 32> requestPackageKey(Http& http, const std::filesystem::path& gameFolder,
                                               const PackagePolicy& policy) {
    const std::string launcherSha256 = sha256File(inFolder(gameFolder, "Launcher.exe"));
    if (launcherSha256 != policy.launcherSha256) fail("Este launcher precisa ser atualizado pelo pacote oficial.");
    // The client validates the download token, keeps it with its expiry and keeps the request to
    // renew it by itself.
    json answer = http.call("/api/launcher/package-key", packageKeyRequest(policy, launcherSha256));
    const auto forgetToken = [&answer] {
        // The client keeps its own copy of the token; this one is not needed.
        if (const auto token = answer.find("download_token"); token != answer.end() && token->is_string()) {
            wipe(token->get_ref<std::string&>());
        }
    };
    try {
        const auto key = takePackageKey(answer);
        forgetToken();
        return key;
    } catch (...) {
        api::wipeKeyMember(answer);
        forgetToken();
        throw;
    }
}

LoadedCatalog loadCatalog(Http& http, const std::filesystem::path& gameFolder, const PackagePolicy& policy,
                          std::span<const std::uint8_t> signature, std::span<const std::uint8_t, 32> key,
                          const ProgressFn& progress, const PreparationPhaseFn& phase) {
    const auto containerPath = inFolder(gameFolder, kContainerName);
    std::vector<std::uint8_t> container;
    if (fileExists(containerPath)) container = readWholeFile(containerPath, kCatalogReadLimit);

    LoadedCatalog result;
    if (container.empty() || win::sha256Hex(container.data(), container.size()) != policy.indexSha256) {
        enter(phase, PreparationPhase::Downloading);
        report(progress, texts::kDownloadingCatalog, 0);
        std::vector<std::uint8_t> fresh =
            http.exchange("/api/launcher/package-index", "", "", Http::kIndexLimit);
        if (win::sha256Hex(fresh.data(), fresh.size()) != policy.indexSha256 ||
            !verifyCatalogSignature(fresh, signature)) {
            fail("Assinatura do catalogo invalida.");
        }
        const auto temporary = inFolder(gameFolder, kContainerTemporaryName);
        writeWholeFile(temporary, fresh);
        if (!replaceFile(temporary, containerPath)) fail("Nao foi possivel atualizar o catalogo.");
        container = std::move(fresh);
        result.downloaded = true;
        result.downloadedBytes = container.size();
    }

    enter(phase, PreparationPhase::Checking);
    if (!containerHasValidFrame(container) || !verifyCatalogSignature(container, signature)) {
        fail("O catalogo do jogo foi alterado.");
    }
    const auto signaturePath = inFolder(gameFolder, kContainerSignatureName);
    const auto recorded = readSignatureRecord(signaturePath);
    if (!std::equal(recorded.begin(), recorded.end(), signature.begin(), signature.end())) {
        // Replaced whole like every record file: a run cut off here leaves the old record or the new.
        switch (win::replaceFileContent(signaturePath, inFolder(gameFolder, kContainerSignatureTemporaryName), signature)) {
        case win::ReplaceOutcome::Replaced:
            break;
        case win::ReplaceOutcome::NotCreated:
            fail("Nao foi possivel preparar o arquivo.");
        case win::ReplaceOutcome::NotWritten:
        case win::ReplaceOutcome::NotMoved:
            fail("Falha ao gravar arquivo.");
        }
    }

    const ContainerParts parts = splitContainer(container);
    std::vector<std::uint8_t> plain = decryptGcm(parts.ciphertext, key, parts.nonce, parts.tag);
    json document = parseCatalogText(plain);
    const WipeOnExit wipeDocument(document);  // the decrypted catalog's texts
    wipeBytes(plain);
    // Signed and authenticated, yet not JSON (or absurdly deep): a publishing fault, reported like
    // any bad catalog.
    if (document.is_discarded()) fail("Catalogo invalido.");
    result.catalog = parseCatalog(document);
    return result;
}

void removeStalePacks(const std::filesystem::path& gameFolder, const Catalog& catalog) {
    std::set<std::u16string> listed;
    for (const auto& pack : catalog.packs) listed.insert(utf8ToUtf16(pack.path));
    WIN32_FIND_DATAW found{};
    const std::filesystem::path pattern = gameFolder / L"*";
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name(found.cFileName);
        const std::u16string name16(name.begin(), name.end());
        if (!looksLikePackName(name16) || listed.count(name16) != 0) continue;
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        ::DeleteFileW((gameFolder / name).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

Prepared prepare(Http& http, const std::filesystem::path& gameFolder, const json& packagePolicy, bool forceFull,
                 std::atomic<bool>& cancel, const ProgressFn& progress, const PreparationPhaseFn& phase,
                 ComponentPreparer& components, const PrepareOptions& options) {
    // 1. Launcher check, package key, signature.
    enter(phase, PreparationPhase::Checking);
    const PackagePolicy policy = parsePackagePolicy(packagePolicy);
    KeyHolder key;
    key.key = requestPackageKey(http, gameFolder, policy);
    const std::vector<std::uint8_t> signature = decodeBase64(policy.signature);

    // 2. Catalog.
    LoadedCatalog loaded = loadCatalog(http, gameFolder, policy, signature, key.key, progress, phase);
    const Catalog& catalog = loaded.catalog;

    // 3. CDN.
    std::unique_ptr<BaseCDN> cdn = options.cdnFactory ? options.cdnFactory(policy.baseCdn, 1)
                                                      : std::make_unique<WinHttpCDN>(policy.baseCdn, 1);

    // 4. Engine folder and its native session.
    const std::filesystem::path engineFolder = components.prepareEngineFolder(gameFolder, policy, catalog);
    ComponentPreparer* cleaner = &components;
    auto nativeSession = std::make_shared<NativeSession>(
        engineFolder, [cleaner](const std::filesystem::path& folder) { cleaner->cleanNativeComponents(folder); });

    // 5. Totals and receipts.
    std::uint64_t totalBytes = 0;
    for (const auto& pack : catalog.packs) totalBytes += pack.size;
    ReceiptStore receipts = loadReceipts(gameFolder, policy.indexSha256);
    PackJournalSource& journal = options.journal != nullptr ? *options.journal : systemJournalSource();

    // 6. Check every pack in catalog order.
    auto locks = std::make_shared<VerifiedPackLocks>();
    VerificationCounts counts;
    counts.packageId = policy.packageId;
    counts.checkedPacks = catalog.packs.size();
    counts.forceFull = forceFull;
    std::vector<const CatalogPack*> downloads;
    RepairWork work;
    std::uint64_t done = 0;
    const std::size_t count = catalog.packs.size();
    for (std::size_t i = 0; i < count; ++i) {
        const CatalogPack& pack = catalog.packs[i];
        checkCancel(cancel);
        if (!isCatalogPackPath(pack.path)) fail("Nome de pacote invalido.");
        const std::filesystem::path file = joinPackagePath(gameFolder, pack.path);
        if (pack.size > kMaxPackSize) fail("Pacote muito grande.");

        VerifiedPackFile opened;
        bool candidate = false;
        if (fileExists(file)) {
            opened = VerifiedPackFile::open(file, VerifiedPackFile::Share::ReadOnly);
            candidate = opened.size() == pack.size;
        }
        const std::string label = checkingLabel(i + 1, count, pack.path);
        report(progress, label, progressPercent(3, 67, done, totalBytes));

        bool good = false;
        if (candidate) {
            const json stamp = opened.journalIdentity(journal);
            const ReceiptAnswer answer =
                forceFull ? ReceiptAnswer::MustHash
                          : receipts.lookup(pack.path, pack.sha256, pack.size, stamp, journal.now());
            if (answer == ReceiptAnswer::MustHash) {
                ProgressThrottle throttle;
                const std::string digest = opened.sha256([&](std::uint64_t hashed) {
                    checkCancel(cancel);
                    if (throttle.due(::GetTickCount64(), hashed >= pack.size)) {
                        report(progress, hashingText(label, hashed, pack.size),
                               progressPercent(3, 67, done + hashed, totalBytes));
                    }
                });
                ++counts.hashedExistingPacks;
                good = digest == pack.sha256;
            } else {
                ++(answer == ReceiptAnswer::TrustedByTime ? counts.cachedOnDemand : counts.journalVerified);
                report(progress, "Pacote sem alteracoes registradas: " + pack.path,
                       progressPercent(3, 67, done + pack.size, totalBytes));
                good = true;
            }
            if (good) {
                receipts.record(pack.path, pack.sha256, pack.size, stamp, answer == ReceiptAnswer::MustHash,
                                journal.now());
                locks->files[pack.path] = std::move(opened);
            }
        }
        if (!good) {
            opened.close();
            downloads.push_back(&pack);
            work.total += pack.size;
            receipts.record(pack.path, pack.sha256, pack.size, nullptr, false, journal.now());
        }
        done += pack.size;
        report(progress, label, progressPercent(3, 67, done, totalBytes));
    }

    // 7. Downloads.
    if (!downloads.empty()) {
        report(progress, std::to_string(downloads.size()) + texts::kRepairingSuffix, 70);
        RepairContext context{http, gameFolder, *cdn, cancel, progress, phase, receipts, *locks, work, counts, journal, options};
        for (const CatalogPack* pack : downloads) repairPack(*pack, context);
    } else {
        report(progress, counts.cachedOnDemand > 0 ? texts::kTrustedByTime : texts::kAllIntact, 94);
    }
    cdn.reset();  // ends background downloads before the slower steps

    // 8. Receipts.
    saveReceipts(gameFolder, receipts);
    enter(phase, PreparationPhase::PreparingComponents);
    report(progress, counts.downloadedPacks == 0 ? texts::kNothingDownloaded : texts::kDownloadsValidated, 94);

    // 9. Protected components.
    counts.localComponentsPrepared = components.materialise(
        ComponentRequest{gameFolder, engineFolder, policy, catalog, key.key, *locks, cancel, progress});

    // 10. Stale packs; the key is no longer needed.
    removeStalePacks(gameFolder, catalog);
    wipeBytes(key.key);

    // 11. Summary.
    counts.packWriteLocks = locks->files.size();
    counts.downloadedIndex = loaded.downloaded;
    counts.downloadedIndexBytes = loaded.downloadedBytes;
    counts.timestampUnix = static_cast<std::int64_t>(std::time(nullptr));
    if (options.summarySink) options.summarySink(gameFolder, verificationSummary(counts));
    enter(phase, PreparationPhase::Ready);

    // 12. Done.
    const bool received = counts.downloadedPacks > 0 || loaded.downloaded;
    report(progress, received ? texts::kDoneReceived : texts::kDoneNothing, 100);

    Prepared prepared;
    prepared.policy = policy.policy;
    prepared.engineFolder = engineFolder;
    prepared.packageId = policy.packageId;
    prepared.indexSha256 = policy.indexSha256;
    prepared.nativeSession = std::move(nativeSession);
    prepared.downloadedPacks = static_cast<std::uint32_t>(counts.downloadedPacks);
    prepared.downloadedPackBytes = counts.downloadedPackageBytes;
    prepared.catalogDownloaded = loaded.downloaded;
    prepared.packLocks = std::move(locks);
    return prepared;
}

Prepared prepareUntilStable(Http& http, const std::filesystem::path& gameFolder, bool forceFull,
                            std::atomic<bool>& cancel, const ProgressFn& progress, const PreparationPhaseFn& phase,
                            ComponentPreparer& components, const PrepareOptions& options) {
    constexpr int kPasses = 3;
    for (int pass = 1; pass <= kPasses; ++pass) {
        report(progress, texts::kCheckingServer, 0);
        checkCancel(cancel);
        const json policy = http.call("/api/launcher/package-policy");
        Prepared prepared = prepare(http, gameFolder, policy, forceFull, cancel, progress, phase, components, options);
        const json current = http.call("/api/launcher/package-policy");
        if (current.at("package_id") == prepared.packageId && current.at("index_sha256") == prepared.indexSha256) {
            return prepared;
        }
        prepared = Prepared{};  // closes the locks before the next pass
        report(progress, texts::kNewSetFound, 0);
    }
    fail(texts::kServerKeptChanging);
}

}  // namespace nyra
