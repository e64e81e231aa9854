#pragma once
// The receipts file ".nyra-verified.bin": the receipt store protected for the current Windows user.
#include <filesystem>
#include <string>

#include "content/verification.h"

namespace nyra {

// Wall clock (ms since 1970) and milliseconds since boot, now.
ReceiptTime receiptTimeNow() noexcept;

// The store of `gameFolder` for the catalog digest `indexSha256`; an unusable file (missing,
// larger than 1 MiB, a directory or reparse point, not decryptable, not a receipts document)
// gives an empty store.
ReceiptStore loadReceipts(const std::filesystem::path& gameFolder, const std::string& indexSha256);

// Best effort: write and move failures are ignored (the next run hashes again). Only a failing
// random generator propagates ("Gerador de seguranca indisponivel.").
void saveReceipts(const std::filesystem::path& gameFolder, const ReceiptStore& store);

// Deletes the receipts file when it exists and is neither a directory nor a reparse point, so
// that the next preparation hashes every pack. Errors are ignored.
void forgetReceipts(const std::filesystem::path& gameFolder) noexcept;

}  // namespace nyra
