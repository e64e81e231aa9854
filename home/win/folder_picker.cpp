#include "home/win/folder_picker.h"

#include "home/install_panel.h"
#include "platform/win/handles.h"

#include <shobjidl.h>

namespace nyra::home {

std::optional<std::filesystem::path> pickInstallFolder(HWND owner) {
    win::ComReference<IFileOpenDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                  dialog.put()))) {
        return std::nullopt;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    if (FAILED(dialog->GetOptions(&options)) ||
        FAILED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST)) ||
        FAILED(dialog->SetTitle(kFolderPickerTitle))) {
        return std::nullopt;
    }
    if (FAILED(dialog->Show(owner))) return std::nullopt;  // cancelled changes nothing
    win::ComReference<IShellItem> item;
    if (FAILED(dialog->GetResult(reinterpret_cast<IShellItem**>(item.put())))) return std::nullopt;
    PWSTR path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr) return std::nullopt;
    std::filesystem::path picked(path);
    ::CoTaskMemFree(path);
    return picked;
}

}  // namespace nyra::home
