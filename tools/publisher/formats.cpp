#include "tools/publisher/formats.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace nyra::publisher {
namespace {

void putLe(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

bool validUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        static constexpr std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool matchFrom(std::string_view p, std::string_view s) {
    while (!p.empty()) {
        if (p.substr(0, 2) == "**") {
            const std::string_view rest = p.substr(2);
            for (std::size_t k = 0; k <= s.size(); ++k) {
                if (matchFrom(rest, s.substr(k))) {
                    return true;
                }
            }
            return false;
        }
        if (p[0] == '*') {
            const std::string_view rest = p.substr(1);
            for (std::size_t k = 0; k <= s.size(); ++k) {
                if (matchFrom(rest, s.substr(k))) {
                    return true;
                }
                if (k < s.size() && s[k] == '/') {
                    break;
                }
            }
            return false;
        }
        if (s.empty() || (p[0] == '?' ? s[0] == '/' : p[0] != s[0])) {
            return false;
        }
        p.remove_prefix(1);
        s.remove_prefix(1);
    }
    return s.empty();
}

}  // namespace

std::optional<std::string> pathProblem(std::string_view path) {
    if (path.empty() || path.size() > 229) {
        return "must be 1 to 229 bytes";
    }
    if (path.front() == '/') {
        return "must not begin with /";
    }
    if (path.find_first_of(std::string_view("\0\\:<>\"|?*", 9)) != std::string_view::npos) {
        return R"(must not contain NUL or any of \ : < > " | ? *)";
    }
    if (!validUtf8(path)) {
        return "is not valid UTF-8";
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return "has an empty, \".\" or \"..\" component";
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool matchesPattern(std::string_view pattern, std::string_view path) { return matchFrom(pattern, path); }

bool matchesAny(const std::vector<std::string>& patterns, std::string_view path) {
    for (const auto& pattern : patterns) {
        if (matchesPattern(pattern, path)) {
            return true;
        }
    }
    return false;
}

std::string packFileName(std::size_t index) {
    if (index > 999) {
        throw std::runtime_error("pack index above 999");
    }
    char name[16];
    std::snprintf(name, sizeof name, "nyra-%03zu.pck", index);
    return name;
}

Bytes catalogContainer(ByteView key, ByteView nonce, std::string_view catalogJson) {
    const tools::GcmSealed sealed = tools::aes256GcmEncrypt(key, nonce, tools::asBytes(catalogJson));
    Bytes out;
    out.reserve(36 + sealed.ciphertext.size());
    append(out, "NYRAIDX1");
    out.insert(out.end(), nonce.begin(), nonce.end());
    out.insert(out.end(), sealed.tag.begin(), sealed.tag.end());
    out.insert(out.end(), sealed.ciphertext.begin(), sealed.ciphertext.end());
    return out;
}

Bytes guardSignedPart(const tools::Sha256Digest& launcher, const tools::Sha256Digest& game,
                      const tools::Sha256Digest& guardDll) {
    Bytes out;
    append(out, "NYRAGRD1");
    for (const auto* digest : {&launcher, &game, &guardDll}) {
        out.insert(out.end(), digest->begin(), digest->end());
    }
    return out;
}

Bytes launcherUpdateMessage(const tools::Sha256Digest& digest, std::uint64_t size) {
    Bytes out;
    append(out, "NYRALCH1");
    out.insert(out.end(), digest.begin(), digest.end());
    putLe(out, size, 8);
    return out;
}

std::string cdnObjectName(std::string_view packSha256, std::uint64_t chunkIndex) {
    char index[24];
    std::snprintf(index, sizeof index, "%04llu", static_cast<unsigned long long>(chunkIndex));
    return "base/" + std::string(packSha256) + "/" + index + ".bin";
}

std::vector<ChunkRange> cdnChunks(std::string_view packSha256, std::uint64_t packSize, std::uint64_t chunkBytes) {
    if (chunkBytes == 0) {
        throw std::runtime_error("chunk size must not be 0");
    }
    std::vector<ChunkRange> chunks;
    for (std::uint64_t offset = 0; offset < packSize; offset += chunkBytes) {
        chunks.push_back({offset, std::min(packSize - offset, chunkBytes), cdnObjectName(packSha256, offset / chunkBytes)});
    }
    return chunks;
}

Bytes translationBundle(const std::vector<BundleEntry>& entries) {
    if (entries.empty() || entries.size() > 64) {
        throw std::runtime_error("a translation bundle holds 1 to 64 tables, not " + std::to_string(entries.size()));
    }
    Bytes out;
    append(out, "NYRATRB1");
    putLe(out, entries.size(), 4);
    for (const auto& entry : entries) {
        const std::string_view name = entry.name;
        const bool ascii = name.find_first_of(std::string_view("\0", 1)) == std::string_view::npos &&
                           std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!ascii || name.size() < 15 || name.substr(0, 10) != "data/db/T_" || name.substr(name.size() - 4) != ".ini") {
            throw std::runtime_error("translation table name must be data/db/T_<name>.ini in ASCII: " + entry.name);
        }
        if (entry.data.empty() || entry.data.size() > 16777216) {
            throw std::runtime_error("translation table must hold 1 byte to 16 MiB: " + entry.name);
        }
        putLe(out, name.size(), 2);
        append(out, name);
        putLe(out, entry.data.size(), 4);
        out.insert(out.end(), entry.data.begin(), entry.data.end());
    }
    if (out.size() > 67108864) {
        throw std::runtime_error("translation bundle larger than 64 MiB");
    }
    return out;
}

std::optional<std::string> peFileVersion(ByteView file) {
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') {
        return std::nullopt;
    }
    // VS_FIXEDFILEINFO: signature 0xFEEF04BD, struct version 0x00010000, then the file version
    // (most significant word, least significant word).
    static constexpr std::uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE, 0x00, 0x00, 0x01, 0x00};
    const auto found = std::search(file.begin(), file.end(), std::begin(signature), std::end(signature));
    if (found == file.end() || file.end() - found < 16) {
        return std::nullopt;
    }
    const auto at = static_cast<std::size_t>(found - file.begin());
    const auto u16 = [&](std::size_t offset) { return unsigned{file[at + offset]} | (unsigned{file[at + offset + 1]} << 8); };
    return std::to_string(u16(10)) + "." + std::to_string(u16(8)) + "." + std::to_string(u16(14));
}

bool validLauncherVersion(std::string_view version) {
    return !version.empty() && version.size() <= 31 &&
           version.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace nyra::publisher
