// The drop-folder operations of card intake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace fw {

// Names (not paths) of the card files in `folder`, sorted by their bytes: a long name ending in
// ".csv" in any letter case, regular files only; folders, hidden entries (a name beginning
// with ".", and on Windows the hidden attribute) and links are skipped.
std::vector<std::string> ListCardFiles(const std::string& folder);

// What tells one version of a file from another at the same path.
struct TFileStamp {
  uint64_t size = 0;
  int64_t modified = 0;  // modification time, in the platform's finest unit

  bool operator==(const TFileStamp&) const = default;
};

struct TListedFile {
  std::string name;
  TFileStamp stamp;

  bool operator==(const TListedFile&) const = default;
};

// The card files of `folder` as ListCardFiles picks them, sorted by name, each with the stamp
// the listing gives (Linux: one fstatat each; Windows: the find data); nothing is opened.
// False when the folder cannot be listed, and `files` is then empty.
bool ListCardFileStamps(const std::string& folder, std::vector<TListedFile>& files);

enum THoldResult {
  hrHeld,  // ours until released: no other process (a second instance) can take it
  hrBusy,  // another process holds it, or it is read-only
  hrGone,  // no such file any more (moved by another instance since the listing)
};

// A card file held from the exclusive-open test until it has been moved: on Linux an
// exclusive flock on the open descriptor, on Windows a handle that shares nothing. Reads and
// the move go through the hold.
class THeldFile : public TFileReader {
 public:
  THeldFile() = default;
  ~THeldFile() override;
  THeldFile(const THeldFile&) = delete;
  THeldFile& operator=(const THeldFile&) = delete;

  THoldResult Hold(const std::string& path);
  const std::string& Path() const { return path_; }
  const TFileStamp& Stamp() const { return stamp_; }
  bool ReadAll(std::string& contents);  // the whole file; false on a read error
  // Up to `count` bytes from `offset` (fewer only at the end, none past it); false on a read
  // error. For reading a large file in pieces.
  bool ReadAt(uint64_t offset, size_t count, std::string& out) override;
  // Moves the file to `target`, replacing it, as MoveFileReplacing does; the hold ends.
  bool MoveTo(const std::string& target);
  // Moves the file to `target` only while no file bears that name (atomically where source
  // and target share a volume); the hold ends unless the name was taken.
  enum TNewNameResult { nnMoved, nnTaken, nnFailed };
  TNewNameResult MoveToNewName(const std::string& target);
  void Release();

 private:
  std::string path_;
  TFileStamp stamp_;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Moves `source` to `target`, replacing it; after a true result the file is in exactly one
// place even across a power cut.
bool MoveFileReplacing(const std::string& source, const std::string& target);

// Writes `bytes` to `path` through a hidden temporary name in the same folder, then renames
// it over `path`: a reader (a collector, a share's other host) sees the old file or the new
// one, never a part. False, with nothing left behind, on failure.
bool WriteFileReplacing(const std::string& path, const std::string& bytes);

// A folder exists and a file can be created in it.
bool FolderWritable(const std::string& folder);


// False when the path is not a regular file (links are not followed).
bool GetFileStamp(const std::string& path, TFileStamp& stamp);

// Seconds since 1970 (UTC) at which the file last arrived in its folder or was written
// (Linux: the later of its change and modification times, as a rename sets the change time);
// -1 when it is not a regular file.
int64_t FileArrivalTime(const std::string& path);

// `folder` joined with `name` by one path delimiter (none added when `folder` ends with one).
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace fw
