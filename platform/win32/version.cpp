#include "platform/version.h"

#include <windows.h>

#include <vector>

#include "platform/files.h"

namespace fw {

bool ReadFileVersion(const std::string& path, TFileVersion& version) {
  const std::string file = path.empty() ? ExecutablePath() : path;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  version = {HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
  return true;
}

}  // namespace fw
