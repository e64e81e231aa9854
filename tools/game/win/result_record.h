#pragma once
// The stand-in game's account of its run, as a JSON document that tests read: every change is
// merged in (RFC 7386 merge patch: a null member removes it) and the whole document is written
// again under a temporary name and moved over the file, so a reader never sees half of it.
#include <cstdint>
#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

namespace nyra::standin {

class ResultRecord {
public:
    // An empty path keeps the record in memory only (the window still shows it).
    explicit ResultRecord(std::filesystem::path file);

    // Merges `patch` and rewrites the file; callable from any thread.
    void merge(const nlohmann::json& patch) noexcept;
    nlohmann::json snapshot() const;
    // The last write failed (the file then keeps its previous content).
    bool writeFailed() const;

private:
    void write();  // under `mutex_`

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json record_ = nlohmann::json::object();
    std::uint64_t writes_ = 0;
    bool writeFailed_ = false;
};

}  // namespace nyra::standin
