#include "tools/game/win/result_record.h"

#include "platform/win/files.h"

namespace nyra::standin {
namespace {

constexpr int kWriteAttempts = 100;
constexpr DWORD kWriteRetryMs = 10;

}  // namespace

ResultRecord::ResultRecord(std::filesystem::path file) : file_(std::move(file)) {}

void ResultRecord::merge(const nlohmann::json& patch) noexcept {
    try {
        std::lock_guard lock(mutex_);
        record_.merge_patch(patch);
        write();
    } catch (...) {
        // The record serves the tests; the game goes on without it.
    }
}

nlohmann::json ResultRecord::snapshot() const {
    std::lock_guard lock(mutex_);
    return record_;
}

bool ResultRecord::writeFailed() const {
    std::lock_guard lock(mutex_);
    return writeFailed_;
}

void ResultRecord::write() {
    if (file_.empty()) return;
    record_["writes"] = ++writes_;
    const std::string text = record_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::filesystem::path pending = file_;
    pending += L".writing";
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // A test reading the file while it is replaced may hold it open without delete sharing; the
    // move then fails for as long as the read lasts, so it is tried again for a while.
    for (int attempt = 1;; ++attempt) {
        writeFailed_ = win::replaceFileContent(file_, pending, bytes) != win::ReplaceOutcome::Replaced;
        if (!writeFailed_ || attempt == kWriteAttempts) return;
        ::Sleep(kWriteRetryMs);
    }
}

}  // namespace nyra::standin
