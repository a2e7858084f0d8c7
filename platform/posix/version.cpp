#include "platform/version.h"

#include <filesystem>

#include "platform/files.h"

namespace fw {

bool ReadFileVersion(const std::string& path, TFileVersion& version) {
  if (!path.empty()) {
    std::error_code ec;
    if (!std::filesystem::equivalent(path, ExecutablePath(), ec) || ec) return false;
  }
  // "+ 0" keeps a part that CMake left empty (a version without a tweak) a valid zero.
  version = {static_cast<uint16_t>(FENWOLD_VERSION_MAJOR + 0),
             static_cast<uint16_t>(FENWOLD_VERSION_MINOR + 0),
             static_cast<uint16_t>(FENWOLD_VERSION_PATCH + 0),
             static_cast<uint16_t>(FENWOLD_VERSION_TWEAK + 0)};
  return true;
}

}  // namespace fw
