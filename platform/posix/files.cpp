#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/posix/fd.h"

namespace fw {

const char PathDelim = '/';
const char PathSeparators[] = "/";

std::string ExecutablePath() {
  std::error_code ec;
  const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string ExpandFileName(const std::string& p) {
  if (p.empty()) return p;
  std::error_code ec;
  const auto abs = std::filesystem::absolute(p, ec);
  return ec ? p : abs.lexically_normal().string();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return DirectoryExists(path);
}

bool DeleteFileAt(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool RenameFileAt(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool ClearReadOnly(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (st.st_mode & S_IWUSR) return true;
  return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool CreateEmptyFile(const std::string& path) {
  // The log may carry names and card numbers from failed statements: not world-readable.
  const TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
  if (fd.Get() < 0) return errno == EEXIST && FileExists(path);
  // Root (an operator's fenwoldctl) creating a day file in the service account's folder hands
  // it to that account, or the service could not append to it until the day is over.
  struct stat folder {};
  const std::string parent = std::filesystem::path(path).parent_path().string();
  if (::geteuid() == 0 && ::stat(parent.empty() ? "." : parent.c_str(), &folder) == 0 &&
      folder.st_uid != 0) {
    if (::fchown(fd.Get(), folder.st_uid, folder.st_gid) != 0) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  // POSIX has no share modes; other writers cannot be denied, only ignored. O_NONBLOCK keeps a
  // FIFO put in place of a file from blocking the caller; it does not affect regular files.
  TFd f(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (f.Get() < 0) return false;
  struct stat st {};
  if (::fstat(f.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(f.Get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.append(buf, static_cast<size_t>(n));
  }
  contents = std::move(data);
  return true;
}

TReadOnlyFile::~TReadOnlyFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool TReadOnlyFile::Open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  TFd f(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (f.Get() < 0 || ::fstat(f.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  fd_ = f.Release();
  return true;
}

bool ReadFdAt(int fd, uint64_t offset, size_t count, std::string& out) {
  out.resize(count);
  size_t got = 0;
  while (fd >= 0 && got < count) {
    const ssize_t n = ::pread(fd, out.data() + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      out.resize(got);
      return n == 0;
    }
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return fd >= 0;
}

bool TReadOnlyFile::ReadAt(uint64_t offset, size_t count, std::string& out) {
  return ReadFdAt(fd_, offset, count, out);
}

TSharedAppendFile::~TSharedAppendFile() {
  Close();
}

bool TSharedAppendFile::Open(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  return fd_ >= 0;
}

bool TSharedAppendFile::Write(const std::string& bytes) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void TSharedAppendFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TSharedAppendFile::IsOpen() const {
  return fd_ >= 0;
}

void SleepMs(unsigned ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace fw
