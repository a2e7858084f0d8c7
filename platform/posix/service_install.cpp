// Linux: installing the service writes a systemd unit; uninstalling removes it. systemctl is
// asked to reload and enable only when systemd runs and reads the folder the unit is in.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/service_host.h"
#include "platform/service_unit.h"
#include "platform/strings.h"

extern char** environ;

namespace fw {
namespace {

std::string UnitName(const std::string& serviceName) {
  return LowerAscii(serviceName) + ".service";
}

bool SystemdRuns() {
  struct stat st {};
  return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Only folders that systemd loads units from; a unit written elsewhere (tests, packaging)
// is left for whoever placed it there.
bool SystemdReads(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  for (const char* known : {"/etc/systemd/system", "/run/systemd/system", "/usr/lib/systemd/system",
                            "/lib/systemd/system"}) {
    if (dir == known) return true;
  }
  return false;
}

// Runs systemctl with the arguments, without a shell and with no signal blocked.
// -1 when it could not be started, else its exit status.
int Systemctl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = "systemctl";
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "systemctl", nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 0 when `dir` is a folder, else the error that stands in for "no service manager".
int FolderError(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

TServiceRegistration Failure(int code, const std::string& detail) {
  TServiceRegistration r;
  r.code = static_cast<uint32_t>(code);
  r.message = SystemErrorMessage(r.code) + detail;
  return r;
}

TServiceRegistration SystemctlFailure(const std::string& what, int status) {
  TServiceRegistration r;
  r.code = status < 0 ? ENOEXEC : static_cast<uint32_t>(status);
  r.message = "systemctl " + what + (status < 0 ? " could not be run" : " failed");
  return r;
}

}  // namespace

TServiceRegistration InstallServiceEntry(const TServiceInstallInfo& info) {
  const std::string dir = UnitFolder();
  if (const int error = FolderError(dir); error != 0) {
    TServiceRegistration r = Failure(error, ": " + dir);
    r.managerFailed = true;
    return r;
  }
  const std::string path = dir + "/" + UnitName(info.name);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Failure(errno, ": " + path);
  TUnitOptions options;
  options.displayName = info.displayName.empty() ? info.name : info.displayName;
  options.executablePath = info.executablePath;
  for (auto [name, value] : {std::pair{"FENWOLD_REGISTRY", &options.registryPath},
                             std::pair{"FENWOLD_LOG_DIR", &options.logDir}}) {
    const char* set = std::getenv(name);
    if (set != nullptr) *value = set;
  }
  options.asAccount = ServiceAccountExists();
  const std::string text = ServiceUnitText(options);
  size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(path.c_str());
    return Failure(error, ": " + path);
  }
  if (SystemdRuns() && SystemdReads(dir)) {
    int status = Systemctl({"daemon-reload"});
    if (status == 0) status = Systemctl({"enable", UnitName(info.name)});
    if (status != 0) {
      // Leave nothing half installed: a second try must not find the unit in the way.
      unlink(path.c_str());
      Systemctl({"daemon-reload"});
      return SystemctlFailure("enable " + UnitName(info.name), status);
    }
  }
  TServiceRegistration r;
  r.ok = true;
  if (!options.asAccount) {
    r.note = std::string("It runs as root: there is no account \"") + kServiceAccount + "\"";
  }
  return r;
}

TServiceRegistration UninstallServiceEntry(const std::string& serviceName) {
  const std::string dir = UnitFolder();
  struct stat st {};
  if (const int error = FolderError(dir); error != 0) {
    TServiceRegistration r = Failure(error, ": " + dir);
    r.managerFailed = true;
    return r;
  }
  const std::string path = dir + "/" + UnitName(serviceName);
  if (lstat(path.c_str(), &st) != 0) return Failure(errno, ": " + path);
  const bool systemd = SystemdRuns() && SystemdReads(dir);
  if (systemd) {
    const int status = Systemctl({"disable", UnitName(serviceName)});
    if (status != 0) return SystemctlFailure("disable " + UnitName(serviceName), status);
  }
  if (unlink(path.c_str()) != 0) return Failure(errno, ": " + path);
  if (systemd) Systemctl({"daemon-reload"});
  TServiceRegistration r;
  r.ok = true;
  return r;
}

TServiceRegistration ConfigureServiceEntry(const TServiceInstallInfo&) {
  TServiceRegistration r;
  r.ok = true;
  return r;
}

}  // namespace fw
