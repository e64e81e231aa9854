#pragma once
// Putting the game in its folder: the copy, the probe, the home marker, the desktop shortcut, the
// install into a chosen folder, the safe folder and the move out of an unsafe one. Whatever the
// player already had stays untouched when any of it fails: only what these steps created is
// removed again.
#include "core/services.h"
#include "home/folder_rules.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nyra::home {

inline constexpr char kProbeFailed[] = "Nao foi possivel usar essa pasta. Escolha outro lugar.";
inline constexpr char kRenameFailed[] = "Nao foi possivel concluir a instalacao.";
inline constexpr char kSourceUnreadable[] =
    "Nao foi possivel ler os arquivos do jogo. Feche outros programas e abra o launcher de novo.";
inline constexpr char kTargetNotCreated[] = "Nao foi possivel gravar na pasta do jogo. Verifique o espaco livre no disco.";
inline constexpr char kCopyBrokeOff[] =
    "Falha ao copiar os arquivos do jogo. Verifique o espaco livre no disco e tente de novo.";
inline constexpr char kNoSafeFolder[] =
    "Nao foi possivel criar uma pasta segura para o jogo. Crie a pasta C:\\Jogos\\NyraBrasil, baixe o Launcher.exe "
    "pelo site e abra de la.";
inline constexpr char kRelocationCancelled[] = "Instalacao cancelada.";
inline constexpr char kNewLauncherLinked[] =
    "O Windows esta vinculando os arquivos da pasta nova. Baixe o Launcher.exe pelo site em C:\\Jogos\\NyraBrasil e "
    "abra de la.";
inline constexpr char kNewLauncherNotStarted[] =
    "O jogo foi instalado, mas o launcher novo nao abriu. Use o atalho Nyra Saga Brasil na Area de Trabalho.";
inline constexpr wchar_t kShortcutFileName[] = L"Nyra Saga Brasil.lnk";
inline constexpr wchar_t kHomeMarkerName[] = L".nyra-home";
inline constexpr wchar_t kProbeName[] = L".nyra-probe";
inline constexpr wchar_t kHealSuffix[] = L".nyra-heal";
inline constexpr wchar_t kHomeSettledArgument[] = L"--home-settled";

// A copy stopped by the stop flag ("Instalacao cancelada.").
class InstallCancelled : public std::runtime_error {
public:
    InstallCancelled() : std::runtime_error(kRelocationCancelled) {}
};

// Bytes copied so far of the current file, after each block.
using CopyProgress = std::function<void(std::uint64_t copied)>;

// Copies in 4 MiB blocks and flushes. The target is removed first and created new; a read or write
// that fails, or a cancel between blocks, removes the partial target. Failures carry the player's
// messages (source unreadable, target not created, copy broke off); a cancel throws InstallCancelled.
void copyFile(const std::filesystem::path& source, const std::filesystem::path& target, const CopyProgress& progress,
              const std::atomic<bool>* cancel = nullptr);

// Creates the folder's ".nyra-probe" (write access, create-always, delete-on-close, hidden): true
// when it opened and is not a reparse point. Nothing stays behind.
bool probeFolder(const std::filesystem::path& folder);

// The empty hidden ".nyra-home", written anew. Throws "Nao foi possivel concluir a instalacao.".
void writeHomeMarker(const std::filesystem::path& folder);

// "Nyra Saga Brasil.lnk" in `desktopFolder` through the shell link object: target and icon the
// launcher, working folder its folder, description "Nyra Saga Brasil". False when it could not be
// saved.
bool createDesktopShortcut(const std::filesystem::path& launcher, const std::filesystem::path& desktopFolder);
// The Desktop known folder; empty when the system does not name one.
std::filesystem::path desktopFolder();

// Starts `launcher` with "--home-settled" in its folder, inheriting nothing. False when it did not
// start. `beforeItRuns` is called once the process exists and before it runs (never when it
// could not be created).
bool startSettledLauncher(const std::filesystem::path& launcher, const std::function<void()>& beforeItRuns = {});

// The access list, in descriptor text, of the folders an install or a relocation makes: protected
// from what the parent passes down; the installing user, SYSTEM and Administrators have full
// control, Users may read and run.
std::wstring gameFolderAccess(const std::wstring& userSid);

// The folders made on the way to a folder (each with gameFolderAccess), removed again (deepest first, only while empty) unless
// kept: a refused or failed install leaves no trace of itself.
class CreatedFolders {
public:
    CreatedFolders() = default;
    CreatedFolders(CreatedFolders&& other) noexcept : folders_(std::move(other.folders_)) { other.folders_.clear(); }
    CreatedFolders& operator=(CreatedFolders&&) = delete;
    CreatedFolders(const CreatedFolders&) = delete;
    ~CreatedFolders() { undo(); }

    // Creates the folder and its missing parents; false when one cannot be made.
    bool create(const std::filesystem::path& folder);
    void keep() noexcept { folders_.clear(); }
    void undo() noexcept;

private:
    std::vector<std::filesystem::path> folders_;  // outermost first
};

// Install into the chosen folder (install worker): the folder checked again and created, the
// probe, then either only the home marker (the chosen folder is the current one: empty result) or
// "Launcher.exe" copied through ".nyra-heal" when it is not there yet, the marker and the desktop
// shortcut (when `desktop` names a folder; a shortcut that cannot be made does not undo a working
// install). Returns the new launcher's path. Throws with the player's message; then everything the
// install created is removed again.
std::filesystem::path installInto(FolderFacts& facts, const std::filesystem::path& chosen,
                                  const std::filesystem::path& currentFolder,
                                  const std::filesystem::path& runningExecutable, const std::filesystem::path& desktop);

// A writable, non-redirected folder for the game (the places of safeFolderCandidates, each created
// and probed). Throws the "no safe folder" message.
struct SafeFolder {
    std::filesystem::path path;
    CreatedFolders created;  // what making it created, for a move that fails later
};
SafeFolder safeFolder(FolderFacts& facts, const std::filesystem::path& currentFolder);

struct Relocated {
    std::filesystem::path launcher;  // "Launcher.exe" in the safe folder
    bool shortcutCreated = false;
};

// Moves the game to a safe folder (relocation at start): see relocation_plan.h for what is copied.
// Every file goes through ".nyra-heal" and a write-through move; a failed copy of anything but the
// launcher is dropped, the launcher's stops the move; the stop flag cancels before each file and
// between blocks. The player's files in the old folder are never touched.
Relocated relocate(FolderFacts& facts, const std::filesystem::path& currentFolder,
                   const std::filesystem::path& runningExecutable, const std::filesystem::path& desktop,
                   const ProgressFn& progress, std::atomic<bool>& stop);

}  // namespace nyra::home
