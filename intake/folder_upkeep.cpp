#include "intake/folder_upkeep.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/folder.h"

namespace fw {

TFolderUsage FolderUsage(const std::string& folder) {
  TFolderUsage usage;
  std::error_code ec;
  // As UTF-8 on both platforms: a narrow path means the ANSI code page on Windows, where a
  // name outside it fails the listing or throws.
  const std::filesystem::path path(std::u8string(folder.begin(), folder.end()));
  for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    if (name.empty() || name[0] == u8'.' || !it->is_regular_file(ec)) continue;
    ++usage.files;
    usage.bytes += it->file_size(ec);
  }
  return usage;
}

TFolderPrune PruneOldCardFiles(const std::string& folder, int days, int64_t now) {
  TFolderPrune prune;
  if (days <= 0 || folder.empty()) return prune;
  const int64_t before = now - static_cast<int64_t>(days) * 86400;
  for (const std::string& name : ListCardFiles(folder)) {
    const std::string path = JoinPath(folder, name);
    const int64_t arrived = FileArrivalTime(path);
    if (arrived < 0 || arrived >= before) continue;
    TFileStamp stamp;
    GetFileStamp(path, stamp);
    if (DeleteFileAt(path)) {
      ++prune.removed;
      prune.bytes += stamp.size;
    } else {
      ++prune.failed;
    }
  }
  return prune;
}

std::string PruneLine(const TFolderPrune& prune, int days, const std::string& folder) {
  char size[32];
  std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(prune.bytes) / (1024 * 1024));
  std::string line = "Removed " + std::to_string(prune.removed) + " card file(s) older than " +
                     std::to_string(days) + " day(s) from " + folder + " (" + size + ")";
  if (prune.failed > 0) line += "; " + std::to_string(prune.failed) + " could not be removed";
  return line;
}

}  // namespace fw
