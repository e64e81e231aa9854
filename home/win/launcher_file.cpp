#include "home/win/launcher_file.h"

#include <stdexcept>

namespace nyra::home {
namespace {

// Attributes of placeholders whose data a sync provider fetches on access (they may carry no
// reparse attribute when the provider's filter hides it).
constexpr DWORD kRecallAttributes = 0x00040000 /* RECALL_ON_OPEN */ | 0x00400000 /* RECALL_ON_DATA_ACCESS */ |
                                    FILE_ATTRIBUTE_OFFLINE;

}  // namespace

void requirePlainLauncherFile(HANDLE file, LauncherFileRole role) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || ::GetFileType(file) != FILE_TYPE_DISK) {
        throw std::runtime_error(kLauncherFileUnchecked);
    }
    if ((tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | kRecallAttributes)) != 0) {
        throw std::runtime_error(role == LauncherFileRole::Installed ? kLauncherInSyncedFolder : kLinkedUpdateFile);
    }
}

}  // namespace nyra::home
