#include "platform/folder_poll.h"

#include <windows.h>

#include <vector>

#include "platform/win32/wide.h"

namespace fw {

bool GetFolderKind(const std::string& folder, TFolderKind& kind, std::string& error) {
  const std::wstring path = WidePath(folder);
  // The root of the volume (a drive letter or a mapped drive; a share's own root for UNC).
  std::vector<wchar_t> root(path.size() + 2, L'\0');
  if (!::GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) {
    error = "error " + std::to_string(::GetLastError());
    return false;
  }
  const UINT type = ::GetDriveTypeW(root.data());
  if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) {
    error = "no such drive";
    return false;
  }
  kind = FolderKindOfWindowsPath(folder, type);
  return true;
}

}  // namespace fw
