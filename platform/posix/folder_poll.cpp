#include "platform/folder_poll.h"

#include <sys/vfs.h>

#include <cerrno>
#include <cstring>

namespace fw {

bool GetFolderKind(const std::string& folder, TFolderKind& kind, std::string& error) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) {
    error = std::strerror(errno);
    return false;
  }
  kind = FolderKindOfFsType(static_cast<uint64_t>(fs.f_type));
  return true;
}

}  // namespace fw
