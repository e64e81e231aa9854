#include "tools/game/win/result_record.h"

#include "platform/win/files.h"

namespace nyra::standin {

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
    writeFailed_ = win::replaceFileContent(file_, pending, bytes) != win::ReplaceOutcome::Replaced;
}

}  // namespace nyra::standin
