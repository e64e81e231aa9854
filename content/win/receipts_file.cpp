#include "content/win/receipts_file.h"

#include "content/package.h"
#include "core/text.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <array>
#include <vector>

namespace nyra {
namespace {

std::filesystem::path receiptsPath(const std::filesystem::path& folder) {
    return folder / std::wstring(kReceiptsFileName.begin(), kReceiptsFileName.end());
}

DATA_BLOB blobOf(std::string_view bytes) {
    return DATA_BLOB{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

std::vector<std::uint8_t> readProtected(const std::filesystem::path& file) {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return {};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    LARGE_INTEGER size{};
    if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !::GetFileSizeEx(handle.get(), &size) || size.QuadPart <= 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > kReceiptsReadLimit) {
        return {};
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!::ReadFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size()) {
        return {};
    }
    return bytes;
}

}  // namespace

ReceiptTime receiptTimeNow() noexcept {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;  // 1970-01-01 in 100 ns units
    const std::uint64_t unixMs = ticks >= kUnixEpochTicks ? (ticks - kUnixEpochTicks) / 10000 : 0;
    return {unixMs, ::GetTickCount64()};
}

ReceiptStore loadReceipts(const std::filesystem::path& gameFolder, const std::string& indexSha256) {
    std::vector<std::uint8_t> sealed = readProtected(receiptsPath(gameFolder));
    if (sealed.empty()) return ReceiptStore({}, indexSha256);
    DATA_BLOB in{static_cast<DWORD>(sealed.size()), sealed.data()};
    DATA_BLOB entropy = blobOf(kReceiptsEntropy);
    DATA_BLOB out{};
    if (!::CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return ReceiptStore({}, indexSha256);
    }
    win::UniqueLocalMemory owner(out.pbData);
    const std::string_view plain(reinterpret_cast<const char*>(out.pbData), out.cbData);
    ReceiptStore store(plain, indexSha256);
    wipeBytes(std::span<std::uint8_t>(out.pbData, out.cbData));
    return store;
}

void saveReceipts(const std::filesystem::path& gameFolder, const ReceiptStore& store) {
    std::array<std::uint8_t, 12> random{};
    win::randomBytes(random);
    const std::filesystem::path target = receiptsPath(gameFolder);
    std::filesystem::path temporary = target;
    temporary += L"." + [&] {
        const std::string hex = toHex(random);
        return std::wstring(hex.begin(), hex.end());
    }() + L".new";

    std::string plain = store.serialise();
    DATA_BLOB in = blobOf(plain);
    DATA_BLOB entropy = blobOf(kReceiptsEntropy);
    const std::u16string description = utf8ToUtf16(kReceiptsDescription);
    DATA_BLOB out{};
    const BOOL sealed = ::CryptProtectData(&in, reinterpret_cast<LPCWSTR>(description.c_str()), &entropy, nullptr,
                                           nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out);
    wipe(plain);
    if (!sealed) return;
    win::UniqueLocalMemory owner(out.pbData);

    bool written = false;
    {
        win::UniqueHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (!file) return;
        DWORD count = 0;
        written = ::WriteFile(file.get(), out.pbData, out.cbData, &count, nullptr) && count == out.cbData &&
                  ::FlushFileBuffers(file.get());
        if (!::CloseHandle(file.release())) written = false;
    }
    if (written && ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN);
        return;
    }
    ::DeleteFileW(temporary.c_str());
}

void forgetReceipts(const std::filesystem::path& gameFolder) noexcept {
    try {
        const auto file = receiptsPath(gameFolder);
        const DWORD attributes = ::GetFileAttributesW(file.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            return;
        }
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(file.c_str());
    } catch (...) {
    }
}

}  // namespace nyra
