#include "tools/common/files.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace nyra::tools {

std::vector<std::uint8_t> readFile(const std::filesystem::path& path, std::uint64_t limit) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        throw std::runtime_error("not a readable file: " + path.string());
    }
    const std::uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        throw std::runtime_error("cannot size " + path.string() + ": " + ec.message());
    }
    if (size > limit) {
        throw std::runtime_error("file larger than " + std::to_string(limit) + " bytes: " + path.string());
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path.string());
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return bytes;
}

std::string readTextFile(const std::filesystem::path& path, std::uint64_t limit) {
    const auto bytes = readFile(path, limit);
    return {bytes.begin(), bytes.end()};
}

void writeFileAtomic(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path());
    }
    std::filesystem::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file) {
            throw std::runtime_error("cannot create " + temporary.string());
        }
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.flush();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("cannot write " + temporary.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw std::runtime_error("cannot replace " + path.string() + ": " + ec.message());
    }
}

void writeFileAtomic(const std::filesystem::path& path, std::string_view text) {
    writeFileAtomic(path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace nyra::tools
