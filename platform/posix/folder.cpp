#include "platform/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/fd.h"

namespace fw {
namespace {

class TDir {
 public:
  explicit TDir(const std::string& path) : dir_(::opendir(path.c_str())) {}
  ~TDir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  TDir(const TDir&) = delete;
  TDir& operator=(const TDir&) = delete;
  DIR* Get() const { return dir_; }

 private:
  DIR* dir_;
};

bool EndsWithCsv(const char* name) {
  const size_t n = std::strlen(name);
  return n >= 4 && ::strcasecmp(name + n - 4, ".csv") == 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The process's umask, read where it can be read without setting it (another thread may be
// creating a file); 022 where not.
mode_t CurrentUmask() {
  TFd fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  char text[4096];
  const ssize_t n = fd.Valid() ? ::read(fd.Get(), text, sizeof text - 1) : -1;
  if (n <= 0) return 022;
  text[n] = '\0';
  const char* line = std::strstr(text, "\nUmask:");
  if (line == nullptr) return 022;
  return static_cast<mode_t>(std::strtoul(line + 7, nullptr, 8)) & 0777;
}

bool SyncFolder(const std::string& folder) {
  TFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.Valid() && ::fsync(fd.Get()) == 0;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies `source` to a new hidden temporary file in `folder`, written through to the disk;
// empty on failure, with nothing left behind.
std::string CopyToTemp(const std::string& source, const std::string& folder) {
  TFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.Valid()) return {};
  struct stat st {};
  if (::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};

  std::string temp = JoinPath(folder, ".fenwold-move-XXXXXX");
  TFd out(::mkstemp(temp.data()));
  if (!out.Valid()) return {};
  bool ok = true;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(in.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out.Get(), buffer, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ok = ok && ::fchmod(out.Get(), st.st_mode & 07777) == 0;
  ok = ok && ::fsync(out.Get()) == 0;
  ok = ::close(out.Release()) == 0 && ok;
  if (!ok) {
    ::unlink(temp.c_str());
    return {};
  }
  return temp;
}

// Copy through a temporary name in the target's folder, so the target only ever appears
// complete, then replace the target by rename.
bool CopyReplacing(const std::string& source, const std::string& target) {
  const std::string temp = CopyToTemp(source, FolderOf(target));
  if (temp.empty()) return false;
  if (::rename(temp.c_str(), target.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

// rename() that never replaces: 0, or -1 with errno (EEXIST when the name is taken). A file
// system without RENAME_NOREPLACE (some network shares) gets link() and unlink(), which
// refuse a taken name just as well.
int RenameNoReplace(const std::string& source, const std::string& target) {
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (::link(source.c_str(), target.c_str()) != 0) return -1;
  if (::unlink(source.c_str()) != 0) {
    const int error = errno;
    ::unlink(target.c_str());
    errno = error;
    return -1;
  }
  return 0;
}

}  // namespace

std::vector<std::string> ListCardFiles(const std::string& folder) {
  std::vector<TListedFile> files;
  ListCardFileStamps(folder, files);
  std::vector<std::string> names;
  names.reserve(files.size());
  for (TListedFile& file : files) names.push_back(std::move(file.name));
  return names;
}

bool ListCardFileStamps(const std::string& folder, std::vector<TListedFile>& files) {
  files.clear();
  TDir dir(folder);
  if (dir.Get() == nullptr) return false;
  const int dirFd = ::dirfd(dir.Get());
  while (const dirent* entry = ::readdir(dir.Get())) {
    const char* name = entry->d_name;
    if (name[0] == '.' || !EndsWithCsv(name)) continue;
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    files.push_back({name,
                     {static_cast<uint64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec}});
  }
  // Sorted, so that files named by time stage in that order on every file system.
  std::sort(files.begin(), files.end(),
            [](const TListedFile& a, const TListedFile& b) { return a.name < b.name; });
  return true;
}

THeldFile::~THeldFile() {
  Release();
}

void THeldFile::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor ends its flock
  fd_ = -1;
}

THoldResult THeldFile::Hold(const std::string& path) {
  Release();
  path_ = path;
  // Opened read-only: closing a descriptor opened for writing is IN_CLOSE_WRITE, which the
  // drop folder's watch takes for a new file, so every file left in the folder would bring
  // the next scan forward again, without end. Whether we may write it is asked apart (a
  // file only others may write counts as busy, as an open for writing would say).
  TFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? hrGone : hrBusy;
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    return errno == ENOENT ? hrGone : hrBusy;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return hrBusy;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return hrBusy;
  // Another process that opens the file while we hold the lease makes the kernel send us
  // SIGIO, whose default action ends the process (a second instance did exactly that): the
  // lease is only a test, released at once, so the signal is of no use to us.
  static const bool sigioIgnored = [] {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    return ::sigaction(SIGIO, &ignore, nullptr) == 0;
  }();
  (void)sigioIgnored;
  // A write lease is granted only while no other descriptor has the file open, the closest
  // match to "no sharing", and it notices writers that take no lock. It needs the file's
  // owner (or CAP_LEASE) and a file system with leases; the flock below is the rest.
  if (::fcntl(fd.Get(), F_SETLEASE, F_WRLCK) == 0) {
    ::fcntl(fd.Get(), F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN || errno == EBUSY) {
    return hrBusy;
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    // NFS turns flock into a byte-range lock, which wants a descriptor open for writing: there
    // the file is opened again so (and its close may wake the watch, on a share that sends the
    // watch nothing else).
    if (errno != EBADF) return hrBusy;
    TFd writable(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat again {};
    if (!writable.Valid() || ::fstat(writable.Get(), &again) != 0 || again.st_dev != st.st_dev ||
        again.st_ino != st.st_ino || ::flock(writable.Get(), LOCK_EX | LOCK_NB) != 0) {
      return hrBusy;
    }
    fd.Reset(writable.Release());
  }
  // Another instance may have moved the file between our open and our lock: then the
  // descriptor is the moved file, no longer the one in the drop folder.
  struct stat now {};
  if (::lstat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    return hrGone;
  }
  stamp_.size = static_cast<uint64_t>(st.st_size);
  stamp_.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  fd_ = fd.Release();
  return hrHeld;
}

bool THeldFile::ReadAll(std::string& contents) {
  if (fd_ < 0) return false;
  std::string data;
  char buffer[64 * 1024];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  contents = std::move(data);
  return true;
}

bool THeldFile::ReadAt(uint64_t offset, size_t count, std::string& out) {
  return ReadFdAt(fd_, offset, count, out);
}

bool THeldFile::MoveTo(const std::string& target) {
  // Another host may have moved the held file away and a producer dropped a new one of that
  // name since (locks do not reach across a share): the path must still name what we hold,
  // or the new file would be moved without ever being staged.
  struct stat held {}, named{};
  if (fd_ < 0 || ::fstat(fd_, &held) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
    Release();
    return false;
  }
  // The rename keeps the inode, so the lock holds until the file is in its new place.
  const bool moved = MoveFileReplacing(path_, target);
  Release();
  return moved;
}

THeldFile::TNewNameResult THeldFile::MoveToNewName(const std::string& target) {
  if (fd_ < 0) return nnFailed;
  const std::string sourceFolder = FolderOf(path_);
  const std::string targetFolder = FolderOf(target);
  if (RenameNoReplace(path_, target) == 0) {
    Release();
    const bool synced = SyncFolder(targetFolder);
    return SyncFolder(sourceFolder) && synced ? nnMoved : nnFailed;
  }
  if (errno == EEXIST) return nnTaken;
  if (errno != EXDEV) return nnFailed;
  // Another volume: the copy appears under its name complete or not at all.
  const std::string temp = CopyToTemp(path_, targetFolder);
  if (temp.empty()) return nnFailed;
  if (RenameNoReplace(temp, target) != 0) {
    const bool taken = errno == EEXIST;
    ::unlink(temp.c_str());
    return taken ? nnTaken : nnFailed;
  }
  if (!SyncFolder(targetFolder) || ::unlink(path_.c_str()) != 0) {
    // Never leave the file in two places: the source stays the one copy.
    ::unlink(target.c_str());
    SyncFolder(targetFolder);
    return nnFailed;
  }
  Release();
  return SyncFolder(sourceFolder) ? nnMoved : nnFailed;
}

bool WriteFileReplacing(const std::string& path, const std::string& bytes) {
  const std::string folder = FolderOf(path);
  std::string temp = JoinPath(folder, ".fenwold-write-XXXXXX");
  TFd out(::mkstemp(temp.data()));
  if (!out.Valid()) return false;
  // mkstemp makes 0600; the file is for readers of the folder (a collector, an operator).
  bool ok = ::fchmod(out.Get(), 0644 & ~CurrentUmask()) == 0;
  ok = ok && WriteAll(out.Get(), bytes.data(), bytes.size());
  ok = ok && ::fsync(out.Get()) == 0;
  ok = ::close(out.Release()) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

bool MoveFileReplacing(const std::string& source, const std::string& target) {
  // A file "moved" onto itself has not left its folder (a destination that names the drop
  // folder itself); only a copy-then-delete would have lost it.
  struct stat from {
  }, to{};
  if (::lstat(source.c_str(), &from) != 0) return false;
  if (::lstat(target.c_str(), &to) == 0 && from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
    return false;
  }
  const std::string sourceFolder = FolderOf(source);
  const std::string targetFolder = FolderOf(target);
  if (::rename(source.c_str(), target.c_str()) == 0) {
    const bool synced = SyncFolder(targetFolder);
    return SyncFolder(sourceFolder) && synced;
  }
  if (errno != EXDEV) return false;

  if (!CopyReplacing(source, target) || !SyncFolder(targetFolder)) return false;
  if (::unlink(source.c_str()) != 0) {
    // Never leave the file in two places: the source stays the one copy.
    ::unlink(target.c_str());
    SyncFolder(targetFolder);
    return false;
  }
  return SyncFolder(sourceFolder);
}

bool FolderWritable(const std::string& folder) {
  struct stat st {};
  if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::string probe = JoinPath(folder, ".fenwold-probe-XXXXXX");
  TFd fd(::mkstemp(probe.data()));
  if (!fd.Valid()) return false;
  fd.Reset();
  ::unlink(probe.c_str());
  return true;
}

bool GetFileStamp(const std::string& path, TFileStamp& stamp) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

int64_t FileArrivalTime(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_ctim.tv_sec > st.st_mtim.tv_sec ? st.st_ctim.tv_sec
                                                                    : st.st_mtim.tv_sec);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

}  // namespace fw
