#include "platform/version.h"

#include <windows.h>

#include <vector>

#include "platform/files.h"
#include "platform/win32/wide.h"

namespace fw {

bool ReadFileVersion(const std::string& path, TFileVersion& version) {
  const std::wstring file = WidePath(path.empty() ? ExecutablePath() : path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> data(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  version = {HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
  return true;
}

}  // namespace fw
