#include "home/folder_rules.h"

#include "core/text.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace nyra::home {
namespace {

constexpr bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

constexpr bool isDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The root of a normalised path: "C:\", "\\server\share" or "" (relative).
std::size_t rootLength(std::u16string_view normal) {
    if (normal.size() >= 3 && isDriveLetter(normal[0]) && normal[1] == u':' && normal[2] == u'\\') return 3;
    if (normal.starts_with(u"\\\\")) {
        const std::size_t server = normal.find(u'\\', 2);
        if (server == std::u16string_view::npos) return normal.size();
        const std::size_t share = normal.find(u'\\', server + 1);
        return share == std::u16string_view::npos ? normal.size() : share;
    }
    return 0;
}

bool isRoot(std::u16string_view normal) { return !normal.empty() && rootLength(normal) == normal.size(); }

std::u16string lowerAscii(std::u16string_view text) { return foldCase(text); }

bool containsFolded(std::u16string_view haystack, std::u16string_view needle) {
    return lowerAscii(haystack).find(needle) != std::u16string::npos;
}

}  // namespace

std::u16string foldCase(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + 32);
        } else if (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) {
            c = static_cast<char16_t>(c + 32);
        } else if (c >= 0x0100 && c <= 0x017F) {
            // Latin Extended-A pairs upper/lower on even/odd code points, except this stretch.
            const bool oddPairs = (c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E);
            if (c == 0x0130 || c == 0x0131 || c == 0x0138 || c == 0x0149 || c == 0x017F) continue;
            if (oddPairs ? (c % 2 == 1) : (c % 2 == 0)) c = static_cast<char16_t>(c + 1);
        }
    }
    return out;
}

std::u16string normalPath(std::u16string_view path) {
    std::u16string text(path);
    std::replace(text.begin(), text.end(), u'/', u'\\');
    std::u16string_view rest = text;
    std::u16string root;
    if (rest.starts_with(u"\\\\?\\UNC\\")) {
        root = u"\\\\";
        rest.remove_prefix(8);
    } else if (rest.starts_with(u"\\\\?\\") || rest.starts_with(u"\\??\\")) {
        rest.remove_prefix(4);
    }
    if (root.empty()) {
        if (rest.size() >= 2 && isDriveLetter(rest[0]) && rest[1] == u':') {
            root = {static_cast<char16_t>(rest[0] >= u'a' ? rest[0] - 32 : rest[0]), u':', u'\\'};
            rest.remove_prefix(2);
        } else if (rest.starts_with(u"\\\\")) {
            root = u"\\\\";
            rest.remove_prefix(2);
        } else if (rest.starts_with(u"\\")) {
            root = u"\\";
        }
    }
    std::vector<std::u16string_view> names;
    std::size_t uncNames = root == u"\\\\" ? 2 : 0;  // server and share are not undone by ".."
    while (!rest.empty()) {
        while (!rest.empty() && rest.front() == u'\\') rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find(u'\\'), rest.size());
        const std::u16string_view name = rest.substr(0, end);
        rest.remove_prefix(end);
        if (name.empty() || name == u".") continue;
        if (name == u"..") {
            if (names.size() > uncNames) {
                names.pop_back();
            } else if (root.empty()) {
                names.push_back(name);  // a relative path keeps what it cannot resolve
                ++uncNames;
            }
            continue;
        }
        names.push_back(name);
    }
    std::u16string out = root;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += u'\\';
        out += names[i];
    }
    return out;
}

std::u16string parentPath(std::u16string_view normal) {
    if (isRoot(normal)) return {};
    const std::size_t root = rootLength(normal);
    const std::size_t last = normal.rfind(u'\\');
    if (last == std::u16string_view::npos || last < root) {
        return root > 0 ? std::u16string(normal.substr(0, root)) : std::u16string();
    }
    if (last + 1 == root) return std::u16string(normal.substr(0, root));  // "C:\x" -> "C:\"
    if (last == root) return std::u16string(normal.substr(0, root));      // "\\srv\share\x"
    return std::u16string(normal.substr(0, last));
}

std::u16string lastName(std::u16string_view normal) {
    if (isRoot(normal)) return {};
    const std::size_t last = normal.rfind(u'\\');
    return std::u16string(last == std::u16string_view::npos ? normal : normal.substr(last + 1));
}

std::u16string joinPath(std::u16string_view folder, std::u16string_view name) {
    std::u16string out(folder);
    if (!out.empty() && !isSeparator(out.back())) out += u'\\';
    out += name;
    return normalPath(out);
}

bool samePath(std::u16string_view a, std::u16string_view b) {
    return foldCase(normalPath(a)) == foldCase(normalPath(b));
}

bool isInside(std::u16string_view path, std::u16string_view base) {
    if (base.empty()) return false;
    std::u16string folded = foldCase(normalPath(path));
    std::u16string baseFolded = foldCase(normalPath(base));
    while (!baseFolded.empty() && baseFolded.back() == u'\\') baseFolded.pop_back();
    if (baseFolded.empty()) return false;
    if (folded == baseFolded) return true;
    return folded.size() > baseFolded.size() && folded.starts_with(baseFolded) && folded[baseFolded.size()] == u'\\';
}

bool isRedirected(FolderFacts& facts, std::u16string_view folder) {
    std::u16string current = normalPath(folder);
    while (!current.empty()) {
        const auto attributes = facts.attributes(current);
        if (!attributes || !attributes->directory || attributes->reparsePoint) return true;
        if (isRoot(current)) return false;
        current = parentPath(current);
    }
    return true;  // a relative path that ran out of parents was never proven plain
}

std::optional<std::u16string> nearestExistingFolder(FolderFacts& facts, std::u16string_view folder) {
    std::u16string current = normalPath(folder);
    while (!current.empty()) {
        if (facts.attributes(current)) return current;
        current = parentPath(current);
    }
    return std::nullopt;
}

std::string volumeReason(FolderFacts& facts, std::u16string_view folder) {
    const auto root = facts.volumeRoot(folder);
    if (!root) return {};
    switch (facts.driveType(*root)) {
    case DriveType::Remote:
        return kReasonNetworkDrive;
    case DriveType::Optical:
    case DriveType::RamDisk:
        return kReasonUnsuitableDrive;
    default:
        break;
    }
    const auto names = facts.volumeNames(*root);
    if (!names) return {};
    if (containsFolded(names->label, u"google drive") || containsFolded(names->label, u"googledrive")) {
        return kReasonGoogleDriveVolume;
    }
    const std::u16string fileSystem = lowerAscii(names->fileSystem);
    for (const char16_t* accepted : {u"ntfs", u"refs", u"exfat", u"fat32", u"fat"}) {
        if (fileSystem == accepted) return {};
    }
    return kReasonVirtualVolume;
}

std::string folderReason(FolderFacts& facts, std::u16string_view folderText) {
    const std::u16string folder = normalPath(facts.absolutePath(folderText));
    for (const char16_t* variable : {u"OneDrive", u"OneDriveConsumer", u"OneDriveCommercial"}) {
        const auto value = facts.environment(variable);
        if (value && value->size() < 260 && isInside(folder, *value)) return kReasonOneDrive;
    }
    // A trailing separator lets "\mega\" also name the sync root itself, not only what is inside.
    const std::u16string words = foldCase(folder) + u'\\';
    for (const char16_t* word : {u"\\onedrive", u"\\google drive", u"\\googledrive", u"\\meu drive", u"\\my drive",
                                 u"\\dropbox", u"\\icloud", u"\\pcloud", u"\\mega\\"}) {
        if (words.find(word) != std::u16string::npos) return kReasonCloudFolder;
    }
    const auto insideKnown = [&](KnownFolder known) {
        const auto base = facts.knownFolder(known);
        return base && isInside(folder, *base);
    };
    if (insideKnown(KnownFolder::Downloads)) return kReasonDownloads;
    if (const auto temporary = facts.temporaryFolder(); temporary && isInside(folder, *temporary)) {
        return kReasonTemporary;
    }
    if (const auto windows = facts.environment(u"WINDIR"); windows && isInside(folder, *windows)) return kReasonSystem;
    if (insideKnown(KnownFolder::Desktop)) return kReasonDesktop;
    if (insideKnown(KnownFolder::ProgramFiles) || insideKnown(KnownFolder::ProgramFilesX86) ||
        insideKnown(KnownFolder::Windows)) {
        return kReasonSystem;
    }
    // With nothing of the path in existence, its volume still tells a network or optical drive.
    const auto existing = nearestExistingFolder(facts, folder);
    if (std::string reason = volumeReason(facts, existing.value_or(folder)); !reason.empty()) return reason;
    if (!existing || isRedirected(facts, *existing)) return kReasonRedirected;
    return {};
}

std::string freeSpaceText(std::uint64_t bytes) {
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%.0f GB", static_cast<double>(bytes) / 1073741824.0);
    return text.data();
}

InstallEntry makeEntry(FolderFacts& facts, std::u16string_view folderText) {
    const std::u16string folder = normalPath(facts.absolutePath(folderText));
    InstallEntry entry;
    entry.path = utf16ToUtf8(folder);
    if (const auto existing = nearestExistingFolder(facts, folder)) entry.freeBytes = facts.freeBytes(*existing).value_or(0);
    entry.reason = folderReason(facts, folder);
    if (entry.reason.empty() && entry.freeBytes < kRequiredFreeBytes) entry.reason = kReasonNoSpace;
    entry.usable = entry.reason.empty();
    entry.label = entry.path + "   \u00B7   " + freeSpaceText(entry.freeBytes) + " livres";
    return entry;
}

std::vector<InstallEntry> candidateList(FolderFacts& facts, std::u16string_view currentFolder) {
    std::vector<InstallEntry> entries;
    const std::uint32_t drives = facts.logicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if ((drives & (1u << letter)) == 0) continue;
        const std::u16string root{static_cast<char16_t>(u'A' + letter), u':', u'\\'};
        const DriveType type = facts.driveType(root);
        if (type != DriveType::Fixed && type != DriveType::Removable) continue;
        if (!volumeReason(facts, root).empty()) continue;
        entries.push_back(makeEntry(facts, root + kDefaultGameFolderBelowRoot));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const InstallEntry& a, const InstallEntry& b) {
        if (a.usable != b.usable) return a.usable;
        return a.freeBytes > b.freeBytes;
    });
    InstallEntry current = makeEntry(facts, currentFolder);
    if (current.usable) {
        const std::u16string currentPath = utf8ToUtf16(current.path);
        std::erase_if(entries, [&](const InstallEntry& e) { return samePath(utf8ToUtf16(e.path), currentPath); });
        entries.insert(entries.begin(), std::move(current));
    }
    if (entries.size() > kMaxInstallEntries) entries.resize(kMaxInstallEntries);
    return entries;
}

std::u16string folderFromPick(FolderFacts& facts, std::u16string_view pickedText) {
    const std::u16string picked = normalPath(facts.absolutePath(pickedText));
    if (facts.folderContent(picked) == FolderContent::Empty) return picked;
    const std::u16string name = foldCase(lastName(picked));
    if (name.size() > 3 && name.find(u"nyra") != std::u16string::npos) return picked;
    return joinPath(picked, kGameFolderName);
}

}  // namespace nyra::home
