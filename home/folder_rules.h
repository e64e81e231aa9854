#pragma once
// Where the game may live: the folder and volume rules, the install panel's entries and
// candidate list, and the folder taken from the player's pick. The rules see the system only
// through FolderFacts, so every order and message is tested without the drives, known folders and
// environment a test machine happens to have.
//
// Paths are Windows path texts in UTF-16 ("C:\Jogos\NyraBrasil"); "/" is read as "\".
#include "core/ui_state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nyra::home {

// ---- Path texts ----------------------------------------------------------------------------

// Upper-case letters of ASCII, Latin-1 and Latin Extended-A become lower-case; everything else
// stays. Enough for Windows' case-insensitive names in the scripts the launcher speaks.
std::u16string foldCase(std::u16string_view text);

// "/" becomes "\", repeated separators, "." and ".." go, and the "\\?\" long-path prefix is
// dropped; a drive root keeps its separator ("C:\"), any other path has none at its end. A path
// without a root stays relative.
std::u16string normalPath(std::u16string_view path);
// The folder above; empty for a root (or a single relative name).
std::u16string parentPath(std::u16string_view normal);
// The last name of a path; empty for a root.
std::u16string lastName(std::u16string_view normal);
std::u16string joinPath(std::u16string_view folder, std::u16string_view name);
bool samePath(std::u16string_view a, std::u16string_view b);

// True when `path` is `base` or below it; false when the base is empty. Both are normalised,
// trailing separators of the base do not count and case does not matter.
bool isInside(std::u16string_view path, std::u16string_view base);

// ---- Facts of the system -------------------------------------------------------------------

enum class DriveType { Unknown, NoRootFolder, Removable, Fixed, Remote, Optical, RamDisk };

struct VolumeNames {
    std::u16string label;
    std::u16string fileSystem;
};

struct PathAttributes {
    bool directory = false;
    bool reparsePoint = false;
};

enum class KnownFolder { Downloads, Desktop, ProgramFiles, ProgramFilesX86, Windows, LocalAppData };

enum class FolderContent { Missing, Empty, NotEmpty };  // Missing: absent or not a directory

class FolderFacts {
public:
    virtual ~FolderFacts() = default;
    // The path made absolute (against the current folder); the rules normalise it afterwards.
    virtual std::u16string absolutePath(std::u16string_view path) = 0;
    // Variables of the process environment; nullopt when unset.
    virtual std::optional<std::u16string> environment(std::u16string_view name) = 0;
    virtual std::optional<std::u16string> knownFolder(KnownFolder folder) = 0;
    // The user's temporary folder.
    virtual std::optional<std::u16string> temporaryFolder() = 0;
    // The root of the volume that holds the path ("D:\", a mount folder, "\\server\share\").
    virtual std::optional<std::u16string> volumeRoot(std::u16string_view path) = 0;
    virtual DriveType driveType(std::u16string_view root) = 0;
    virtual std::optional<VolumeNames> volumeNames(std::u16string_view root) = 0;
    // Attributes of an existing path; nullopt when they cannot be read (absent or refused).
    virtual std::optional<PathAttributes> attributes(std::u16string_view path) = 0;
    // Free bytes available to the user on the folder's volume; nullopt when unknown.
    virtual std::optional<std::uint64_t> freeBytes(std::u16string_view folder) = 0;
    // Bit n set when drive letter 'A' + n is present.
    virtual std::uint32_t logicalDrives() = 0;
    virtual FolderContent folderContent(std::u16string_view folder) = 0;
};

// ---- Messages ------------------------------------------------------------------------------

inline constexpr char kReasonNetworkDrive[] = "Unidade de rede: escolha um disco do computador.";
inline constexpr char kReasonUnsuitableDrive[] = "Essa unidade não serve para o jogo.";
inline constexpr char kReasonGoogleDriveVolume[] = "Disco do Google Drive (nuvem): escolha outro lugar.";
inline constexpr char kReasonVirtualVolume[] = "Disco virtual ou de nuvem: escolha outro lugar.";
inline constexpr char kReasonOneDrive[] = "Pasta do OneDrive: escolha outro lugar.";
inline constexpr char kReasonCloudFolder[] = "Pasta sincronizada na nuvem: escolha outro lugar.";
inline constexpr char kReasonDownloads[] = "A pasta Downloads não serve para o jogo.";
inline constexpr char kReasonTemporary[] = "Pasta temporária do Windows: escolha outro lugar.";
inline constexpr char kReasonSystem[] = "Pasta do sistema: escolha outro lugar.";
inline constexpr char kReasonDesktop[] = "A Área de Trabalho não serve para o jogo.";
inline constexpr char kReasonRedirected[] = "Pasta sincronizada ou redirecionada: escolha outro lugar.";
inline constexpr char kReasonNoSpace[] = "Espaço insuficiente (precisa de 12 GB livres).";

inline constexpr std::uint64_t kRequiredFreeBytes = 12ull << 30;  // 12 GiB
inline constexpr std::size_t kMaxInstallEntries = 4;
inline constexpr char16_t kGameFolderName[] = u"NyraBrasil";
inline constexpr char16_t kDefaultGameFolderBelowRoot[] = u"Jogos\\NyraBrasil";

// ---- Rules ---------------------------------------------------------------------------------

// Redirect check: the folder or one of its parents up to the root cannot be read, is not a
// directory or is a reparse point.
bool isRedirected(FolderFacts& facts, std::u16string_view folder);

// The folder itself, else its nearest parent that exists; nullopt when not even the root does.
std::optional<std::u16string> nearestExistingFolder(FolderFacts& facts, std::u16string_view folder);

// Why the folder's volume cannot hold the game; empty when it can (or cannot be examined).
std::string volumeReason(FolderFacts& facts, std::u16string_view folder);

// Why the folder cannot hold the game; empty when it can. First match wins, in the documented
// order: OneDrive variables, cloud path words, Downloads, Temp, %WINDIR%, Desktop, Program Files
// and Windows, then the volume and the redirect check of the nearest existing folder.
std::string folderReason(FolderFacts& facts, std::u16string_view folder);

// "12 GB": bytes / 2^30, rounded to a whole number.
std::string freeSpaceText(std::uint64_t bytes);

// The install panel's entry for a folder (reason, 12 GiB rule, label). Throws "Texto invalido."
// for a path that is not valid UTF-16.
InstallEntry makeEntry(FolderFacts& facts, std::u16string_view folder);

// "Jogos\NyraBrasil" on every fixed or removable drive whose volume qualifies, usable entries
// first and more free space first; the current folder first when it is usable; at most four.
std::vector<InstallEntry> candidateList(FolderFacts& facts, std::u16string_view currentFolder);

// The folder to install into for a folder the player picked: an empty folder or one whose name
// speaks of the game as it is, otherwise "NyraBrasil" inside it.
std::u16string folderFromPick(FolderFacts& facts, std::u16string_view picked);

}  // namespace nyra::home
