// HKEY_LOCAL_MACHINE on Linux: the registry export file at $FENWOLD_REGISTRY, by default
// /etc/fenwold/registry.reg. A missing file is an empty registry.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/eventlog.h"
#include "platform/posix/registry_file.h"

namespace fw {
namespace {

constexpr const char* kDefaultRegistryFile = "/etc/fenwold/registry.reg";
constexpr const char* kEventSource = "Fenwold";

std::string RegistryFilePath() {
  const char* env = std::getenv("FENWOLD_REGISTRY");
  return env != nullptr && *env != '\0' ? env : kDefaultRegistryFile;
}

struct TFileRead {
  bool exists = false;
  std::string error;  // why a file that exists cannot be read
  std::string bytes;

  bool operator==(const TFileRead&) const = default;
};

TFileRead ReadRegistryFile(const std::string& path) {
  TFileRead r;
  // Non-blocking, so that a FIFO at the path cannot hang the open; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    r.exists = errno != ENOENT && errno != ENOTDIR;
    if (r.exists) r.error = std::strerror(errno);
    return r;
  }
  r.exists = true;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    r.error = "not a regular file";
  } else {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        r.bytes.append(buf, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        r.error = std::strerror(errno);
        r.bytes.clear();
        break;
      }
    }
  }
  ::close(fd);
  return r;
}

// Every read opens its key afresh, so a run opens the file some dozens of times. The last parse
// is kept and used again while the file's bytes are unchanged: that keeps each bad line to one
// report, and a file edited between two opens is still read anew.
struct TParsedFile {
  std::string path;
  TFileRead read;
  std::shared_ptr<const TRegFileKeys> keys;
};

std::shared_ptr<const TRegFileKeys> LoadRegistry() {
  static std::mutex lock;
  static TParsedFile last;

  const std::string path = RegistryFilePath();
  TFileRead read = ReadRegistryFile(path);
  std::lock_guard<std::mutex> guard(lock);
  if (last.keys != nullptr && last.path == path && last.read == read) return last.keys;

  std::vector<TRegFileProblem> problems;
  TRegFileKeys keys;
  if (!read.error.empty()) {
    ReportEventError(kEventSource, "Registry file " + path + " cannot be read (" + read.error +
                                       "); every setting takes its default");
  } else {
    keys = ParseRegistryFile(read.bytes, problems);
  }
  for (const TRegFileProblem& p : problems) {
    ReportEventError(kEventSource, "Registry file " + path + ", line " + std::to_string(p.line) +
                                       ": " + p.reason + "; the line is skipped");
  }
  last.path = path;
  last.read = std::move(read);
  last.keys = std::make_shared<const TRegFileKeys>(std::move(keys));
  return last.keys;
}

}  // namespace

bool TRegKey::Open(const std::string& path) {
  Close();
  const std::shared_ptr<const TRegFileKeys> keys = LoadRegistry();
  const auto it = keys->find(NormalizeRegKeyPath(path));
  if (it == keys->end()) return false;
  handle_ = new TRegFileValues(it->second);
  return true;
}

void TRegKey::Close() {
  delete static_cast<TRegFileValues*>(handle_);
  handle_ = nullptr;
}

bool TRegKey::QueryValue(const std::string& name, TRegData& out) const {
  if (handle_ == nullptr) return false;
  const auto* values = static_cast<const TRegFileValues*>(handle_);
  const auto it = values->find(LowerAscii(name));
  if (it == values->end()) return false;
  out = it->second;
  return true;
}

std::string RegistryLocation() {
  const std::string path = RegistryFilePath();
  const TFileRead read = ReadRegistryFile(path);
  if (!read.exists)
    return "registry file " + path + " (not found: every setting takes its default)";
  if (!read.error.empty()) {
    return "registry file " + path + " (cannot be read: " + read.error + ")";
  }
  return "registry file " + path;
}

std::string RegistryExposure() {
  const std::string path = RegistryFilePath();
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || (st.st_mode & S_IROTH) == 0) return {};
  return path + " is readable by others (it holds the database password): chmod 0640 " + path;
}

}  // namespace fw
