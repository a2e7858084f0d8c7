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

extern char** environ;

namespace fw {
namespace {

// Long enough for a tick that stages a large file or a long future-card pass, short enough
// that a tick hung in the database is noticed the same day.
constexpr int kWatchdogSec = 900;
// A stop ends a tick at its next staged row or record (within about 2 s); the rest is room
// for a statement that is running when it comes and for closing the connections.
constexpr int kStopTimeoutSec = 30;

std::string UnitDir() {
  const char* dir = std::getenv("FENWOLD_UNIT_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/etc/systemd/system";
}

std::string UnitName(const std::string& serviceName) {
  std::string name;
  for (char c : serviceName) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name + ".service";
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

// systemd's command lines and assignments treat '%' as a specifier and '\' and '"' as quoting.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '%') {
      out += "%%";
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

std::string UnitText(const TServiceInstallInfo& info) {
  std::string text;
  text += "[Unit]\n";
  std::string description;
  for (char c : info.displayName.empty() ? info.name : info.displayName) {
    description += c == '%' ? std::string("%%") : std::string(1, c);
  }
  text += "Description=" + description + "\n";
  text += "After=network-online.target\nWants=network-online.target\n\n";
  text += "[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + Quoted(info.executablePath) + "\n";
  for (const char* name : {"FENWOLD_REGISTRY", "FENWOLD_LOG_DIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      text += "Environment=" + Quoted(std::string(name) + "=" + value) + "\n";
    }
  }
  text += "Restart=on-failure\nRestartSec=30\n";
  text += "WatchdogSec=" + std::to_string(kWatchdogSec) + "\n";
  text += "TimeoutStopSec=" + std::to_string(kStopTimeoutSec) + "\n\n";
  text += "[Install]\nWantedBy=multi-user.target\n";
  return text;
}

}  // namespace

TServiceRegistration InstallServiceEntry(const TServiceInstallInfo& info) {
  const std::string dir = UnitDir();
  if (const int error = FolderError(dir); error != 0) {
    TServiceRegistration r = Failure(error, ": " + dir);
    r.managerFailed = true;
    return r;
  }
  const std::string path = dir + "/" + UnitName(info.name);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Failure(errno, ": " + path);
  const std::string text = UnitText(info);
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
  return r;
}

TServiceRegistration UninstallServiceEntry(const std::string& serviceName) {
  const std::string dir = UnitDir();
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

}  // namespace fw
