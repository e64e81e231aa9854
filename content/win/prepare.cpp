#include "content/win/prepare.h"

#include "content/repair_plan.h"
#include "content/win/cdn_client.h"
#include "content/win/primitives.h"
#include "content/win/receipts_file.h"
#include "content/win/signature.h"
#include "core/text.h"
#include "net/http.h"
#include "net/operations.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <algorithm>
#include <ctime>
#include <set>
#include <stdexcept>

namespace nyra {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

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

// The volume must keep a margin beyond what is still to be written of the pack.
void requireRoomForRepair(const CatalogPack& pack, std::uint64_t keptBytes, const RepairContext& c) {
    std::uint64_t available = 0;
    const bool known = c.options.freeSpace ? c.options.freeSpace(c.gameFolder, available)
                                           : freeBytesForCurrentUser(c.gameFolder, available);
    if (!known || !roomForRepair(available, pack.size, keptBytes)) fail("Espaco insuficiente para reparar o pacote.");
}

// The record beside a ".download" names the pack version it holds bytes of.
bool recordMatches(const std::filesystem::path& record, const CatalogPack& pack) {
    std::vector<std::uint8_t> bytes;
    if (win::readPlainFile(record, kDownloadRecordLimit, bytes) != win::ReadOutcome::Read) return false;
    const std::string expected = downloadRecord(pack);
    return std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end());
}

void writeRecord(const std::filesystem::path& record, const CatalogPack& pack) {
    const std::string text = downloadRecord(pack);
    std::filesystem::path pending = record;
    pending += L".new";
    if (win::replaceFileContent(record, pending, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) !=
        win::ReplaceOutcome::Replaced) {
        fail("Nao foi possivel receber o pacote.");
    }
}

// One attempt at a pack's ".download": the file, where it is, and the digest of its bytes in file
// order, fed as each byte is placed.
struct Receiving {
    Receiving(const CatalogPack& p, const std::filesystem::path& t, const std::filesystem::path& installed)
        : pack(p), temporary(t), target(installed) {}

    const CatalogPack& pack;
    const std::filesystem::path& temporary;
    const std::filesystem::path& target;
    ReceivingPackFile file;
    std::uint64_t kept = 0;      // bytes an earlier attempt left, tied to this pack by its record
    std::uint64_t reused = 0;    // bytes taken from the disk rather than fetched
    std::vector<std::uint8_t> block = std::vector<std::uint8_t>(1048576);
};

void reportPlaced(const Receiving& r, std::uint64_t placed, RepairContext& c) {
    report(c.progress, repairingText(r.pack.path, placed, r.pack.size),
           progressPercent(70, 24, c.work.done + placed, c.work.total * 2));
}

void reportReuse(const Receiving& r, std::uint64_t placed, RepairContext& c) {
    report(c.progress, texts::kReusingPrefix + r.pack.path, progressPercent(70, 24, c.work.done + placed, c.work.total * 2));
}

// SHA-256 of `size` bytes from `offset` of an open file; empty when they cannot all be read.
std::string sliceDigest(HANDLE file, std::uint64_t offset, std::uint64_t size, Receiving& r, RepairContext& c) {
    win::Sha256Stream hash;
    for (std::uint64_t done = 0; done < size;) {
        checkCancel(c.cancel);
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, r.block.size()));
        if (!readFileAt(file, offset + done, std::span(r.block).first(piece))) return {};
        hash.update(r.block.data(), piece);
        done += piece;
    }
    return hash.finishHex();
}

// Feeds the file-order digest with bytes already in place in the ".download" (no other writer can
// have changed them: the handle denies writers).
void hashInPlace(std::uint64_t offset, std::uint64_t size, win::Sha256Stream& whole, Receiving& r, RepairContext& c) {
    for (std::uint64_t done = 0; done < size;) {
        checkCancel(c.cancel);
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, r.block.size()));
        if (!r.file.readAt(offset + done, std::span(r.block).first(piece))) fail("Nao foi possivel receber o pacote.");
        whole.update(r.block.data(), piece);
        done += piece;
    }
}

// Copies a proven slice of the installed pack into place; the bytes written are the bytes hashed.
void copyInPlace(HANDLE source, const PackChunk& chunk, win::Sha256Stream& whole, Receiving& r, RepairContext& c) {
    for (std::uint64_t done = 0; done < chunk.size;) {
        checkCancel(c.cancel);
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size - done, r.block.size()));
        const auto bytes = std::span(r.block).first(piece);
        if (!readFileAt(source, chunk.offset + done, bytes)) fail("Nao foi possivel receber o pacote.");
        if (!r.file.writeAt(chunk.offset + done, bytes)) fail("Disco cheio ao receber pacote.");
        whole.update(bytes.data(), bytes.size());
        done += piece;
    }
}

// Fetches the ranges in order (CDN, else backend) and writes each at its place.
void fetchInPlace(const std::vector<ByteRange>& ranges, win::Sha256Stream& whole, Receiving& r, RepairContext& c) {
    // A range is a view of the CDN object held in memory, or of the backend's answer, read into
    // the previous range's buffer.
    std::span<const std::uint8_t> bytes;
    std::vector<std::uint8_t> backendBytes;
    for (const ByteRange& range : ranges) {
        checkCancel(c.cancel);
        if (!c.cdn.fetchRange(r.pack, range.first, range.last, bytes, c.cancel)) {
            checkCancel(c.cancel);
            backendBytes = fetchFromBackend(c.http, r.pack, range, std::move(backendBytes));
            bytes = backendBytes;
        }
        if (bytes.size() != range.last - range.first + 1) fail("Pacote incompleto.");
        if (!r.file.writeAt(range.first, bytes)) fail("Disco cheio ao receber pacote.");
        whole.update(bytes.data(), bytes.size());
        reportPlaced(r, range.last + 1, c);
    }
}

// The installed pack (damaged, or another version) as a source of proven slices: held against
// writers while it is read; none when it is missing or cannot be had.
VerifiedPackFile installedSource(const std::filesystem::path& target) noexcept {
    try {
        if (!fileExists(target)) return {};
        return VerifiedPackFile::open(target, VerifiedPackFile::Share::ReadOnly);
    } catch (...) {
        return {};
    }
}

// Every byte of the pack in place in the ".download", in order: for a pack the CDN identity lists,
// each chunk is taken from the kept ".download" or the installed pack when a slice there hashes to
// the chunk's SHA-256, and fetched otherwise; a pack it does not list continues after the whole
// ranges kept. Returns the digest of the file's bytes, in file order.
std::string receivePack(Receiving& r, bool reuse, RepairContext& c) {
    win::Sha256Stream whole;
    const std::vector<PackChunk> chunks = reuse ? packChunks(c.cdn.identity(), r.pack) : std::vector<PackChunk>{};
    if (!chunks.empty()) {
        VerifiedPackFile installed = installedSource(r.target);
        std::uint64_t installedSize = 0;
        try {
            if (installed) installedSize = installed.size();
        } catch (...) {
            installed.close();
        }
        // First where each chunk comes from, so that the CDN fetches (and prefetches) only the
        // chunks no slice on the disk proves; then every chunk in file order.
        enum class Source { Kept, Installed, Fetched };
        std::vector<Source> sources;
        for (const PackChunk& chunk : chunks) {
            const std::uint64_t end = chunk.offset + chunk.size;
            Source source = Source::Fetched;
            if (r.kept >= end) {
                reportReuse(r, 0, c);
                if (sliceDigest(r.file.handle(), chunk.offset, chunk.size, r, c) == chunk.sha256) source = Source::Kept;
            }
            if (source == Source::Fetched && installed && installedSize >= end) {
                reportReuse(r, 0, c);
                if (sliceDigest(installed.handle(), chunk.offset, chunk.size, r, c) == chunk.sha256) {
                    source = Source::Installed;
                }
            }
            if (source != Source::Fetched) c.cdn.skipObject(chunk.object);
            sources.push_back(source);
        }
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const PackChunk& chunk = chunks[i];
            const std::uint64_t end = chunk.offset + chunk.size;
            if (sources[i] == Source::Fetched) {
                fetchInPlace(rangesBetween(r.pack.size, chunk.offset, end), whole, r, c);
                continue;
            }
            // Both sources are held against other writers: these are the bytes just proven.
            if (sources[i] == Source::Kept) {
                hashInPlace(chunk.offset, chunk.size, whole, r, c);
            } else {
                copyInPlace(installed.handle(), chunk, whole, r, c);
            }
            r.reused += chunk.size;
            reportPlaced(r, end, c);
        }
    } else {
        const std::uint64_t from = reuse ? resumeOffset(r.kept, r.pack.size) : 0;
        if (from > 0) {
            reportReuse(r, 0, c);
            hashInPlace(0, from, whole, r, c);
            r.reused += from;
            reportPlaced(r, from, c);
        }
        fetchInPlace(rangesBetween(r.pack.size, from, r.pack.size), whole, r, c);
    }
    // A kept file may run past what this attempt wrote.
    if (!r.file.truncate(r.pack.size)) fail("Disco cheio ao receber pacote.");
    return whole.finishHex();
}

// The ".download" an earlier attempt left, when its record names this pack version and it is a
// plain file with one name.
void openKept(Receiving& r, const std::filesystem::path& record) {
    if (recordMatches(record, r.pack)) {
        r.file = ReceivingPackFile::openKept(r.temporary);
        if (r.file && (!r.file.size(r.kept) || r.kept > r.pack.size)) r.file.close();
    }
    if (!r.file) r.kept = 0;
}

// Without a kept file, a new one whose record is written before any byte.
void openReceiving(Receiving& r, const std::filesystem::path& record) {
    if (r.file) return;
    r.kept = 0;
    ::DeleteFileW(record.c_str());  // a new file is tied to the pack only once its record is written
    r.file = ReceivingPackFile::create(r.temporary);
    if (!r.file) fail("Nao foi possivel receber o pacote.");
    writeRecord(record, r.pack);
}

// Moves the validated file over the pack and proves that what is now installed is that file.
VerifiedPackFile installReceived(Receiving& r, const std::filesystem::path& record, RepairContext& c) {
    // Flushed before it is moved and vouched for by a receipt: after a power loss the installed
    // pack must not hold zeros that a receipt says were hashed.
    if (!r.file.flush()) fail("Disco cheio ao receber pacote.");
    const json receivedIdentity = r.file.identity();
    if (c.options.beforePackMoved) c.options.beforePackMoved(r.target);
    // The handle stays open and follows the file to its new name.
    if (!replaceFile(r.temporary, r.target)) fail("Nao foi possivel instalar o pacote.");
    ::DeleteFileW(record.c_str());
    if (c.options.afterPackMoved) c.options.afterPackMoved(r.target);
    r.file.close();
    VerifiedPackFile installed = VerifiedPackFile::open(r.target, VerifiedPackFile::Share::ReadOnly);
    const json installedIdentity = installed.identity();
    if (installedIdentity.at("volume") != receivedIdentity.at("volume") ||
        installedIdentity.at("file_id") != receivedIdentity.at("file_id") || installed.size() != r.pack.size) {
        fail("O pacote instalado mudou durante o reparo. Tente novamente.");
    }
    return installed;
}

void repairPack(const CatalogPack& pack, RepairContext& c) {
    enter(c.phase, PreparationPhase::Downloading);
    const std::filesystem::path target = joinPackagePath(c.gameFolder, pack.path);
    std::filesystem::path temporary = target;
    temporary += L".download";
    std::filesystem::path record = target;
    record += L".download.rec";

    Receiving r{pack, temporary, target};
    const bool reuse = c.options.reuseDiskBytes;
    if (reuse) openKept(r, record);
    requireRoomForRepair(pack, r.kept, c);
    openReceiving(r, record);
    std::string digest = receivePack(r, reuse, c);
    if (digest != pack.sha256 && r.reused > 0) {
        // What was kept or proven chunk by chunk did not make the catalog's pack: once more from
        // zero, everything fetched.
        report(c.progress, texts::kRestartPrefix + pack.path, progressPercent(70, 24, c.work.done, c.work.total * 2));
        r.file.close();
        r.reused = 0;
        openReceiving(r, record);
        digest = receivePack(r, false, c);
    }
    c.work.done += pack.size;
    enter(c.phase, PreparationPhase::Checking);
    // The digest of every byte, in file order, as it was placed through the one handle that denied
    // other writers: reading the file back would hash the same page cache again.
    std::uint64_t size = 0;
    if (!r.file.size(size)) fail("Tamanho do pacote indisponivel.");
    if (size != pack.size || digest != pack.sha256) {
        // Nothing of this file is used again.
        r.file.close();
        ::DeleteFileW(record.c_str());
        fail("O pacote recebido nao passou na verificacao.");
    }
    c.work.done += pack.size;
    report(c.progress, "Validando o pacote recebido: " + pack.path, progressPercent(70, 24, c.work.done, c.work.total * 2));

    VerifiedPackFile installed = installReceived(r, record, c);
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
                // What an interrupted repair of this pack kept is of no use any more.
                for (const wchar_t* suffix : {L".download", L".download.rec"}) {
                    std::filesystem::path leftover = file;
                    leftover += suffix;
                    ::DeleteFileW(leftover.c_str());
                }
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
