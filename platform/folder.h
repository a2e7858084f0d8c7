// The drop-folder operations of card intake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fw {

// Names (not paths) of the card files in `folder`, in listing order: "*.csv" in any letter
// case, regular files only; folders, hidden entries and links are skipped.
std::vector<std::string> ListCardFiles(const std::string& folder);

// True when no other process holds the file and it may be written; the test handle is
// released at once.
bool ExclusiveOpenTest(const std::string& path);

// Moves `source` to `target`, replacing it; after a true result the file is in exactly one
// place even across a power cut.
bool MoveFileReplacing(const std::string& source, const std::string& target);

// A folder exists and a file can be created in it.
bool FolderWritable(const std::string& folder);

// What tells one version of a file from another at the same path.
struct TFileStamp {
  uint64_t size = 0;
  int64_t modified = 0;  // modification time, in the platform's finest unit

  bool operator==(const TFileStamp&) const = default;
};

// False when the path is not a regular file (links are not followed).
bool GetFileStamp(const std::string& path, TFileStamp& stamp);

// Seconds since 1970 (UTC) at which the file last arrived in its folder or was written
// (Linux: the later of its change and modification times, as a rename sets the change time);
// -1 when it is not a regular file.
int64_t FileArrivalTime(const std::string& path);

// `folder` joined with `name` by one path delimiter (none added when `folder` ends with one).
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace fw
