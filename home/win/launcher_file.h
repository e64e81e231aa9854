#pragma once
// The checks of an opened launcher file: a regular file, not a link, not a cloud placeholder.
#include <windows.h>

namespace nyra::home {

enum class LauncherFileRole {
    Installed,  // Launcher.exe or the running launcher: a link means a synced game folder
    Update,     // a downloaded update file or the updater's copy of itself
};

inline constexpr const char* kLauncherInSyncedFolder =
    "A pasta do jogo esta dentro do OneDrive (ou outra pasta sincronizada). Mova a pasta inteira do Nyra "
    "para fora dela, por exemplo C:\\Jogos\\NyraBrasil, e abra o Launcher.exe de la.";
inline constexpr const char* kLinkedUpdateFile =
    "Arquivo de atualizacao possui um link ou redirecionamento invalido. Baixe o Launcher.exe pelo site numa "
    "pasta nova, por exemplo C:\\Jogos\\NyraBrasil.";
inline constexpr const char* kLauncherFileUnchecked =
    "Nao foi possivel conferir o arquivo do launcher. Feche outros programas e tente de novo.";

// Throws the role's message when the handle's file is a link (any reparse point: symbolic link,
// junction, cloud placeholder) or a file whose data stays in the cloud until it is read, and
// kLauncherFileUnchecked when it cannot be examined or is not a regular file.
void requirePlainLauncherFile(HANDLE file, LauncherFileRole role);

}  // namespace nyra::home
