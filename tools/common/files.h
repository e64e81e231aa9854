#pragma once
// Whole-file helpers of the tools.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nyra::tools {

// Reads a regular file whole; throws std::runtime_error naming the path when it cannot be opened,
// is larger than the limit, or a read fails.
std::vector<std::uint8_t> readFile(const std::filesystem::path& path,
                                   std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());
std::string readTextFile(const std::filesystem::path& path,
                         std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

// Writes to "<path>.tmp-<pid>" in the same folder, flushes, then renames over the target, so
// readers never see a half-written file. Creates the parent folders.
void writeFileAtomic(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void writeFileAtomic(const std::filesystem::path& path, std::string_view text);

}  // namespace nyra::tools
