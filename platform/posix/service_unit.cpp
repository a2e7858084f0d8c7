// The systemd unit that /INSTALL writes and the package ships. Run under its own account the
// service gets a sandbox: the file system is read-only but for the log folder, its state
// folder and the card folders that the drop-in adds.
#include "platform/service_unit.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <string>
#include <vector>

namespace fw {

const char kServiceAccount[] = "fenwold";

namespace {

// Long enough for a tick that stages a large file or a long future-card pass, short enough
// that a tick hung in the database is noticed the same day.
constexpr int kWatchdogSec = 900;
// A stop ends a tick at its next staged row or record (well within 2 s); the rest is room for
// a statement that is running when it comes and for closing the connections.
constexpr int kStopTimeoutSec = 30;

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

std::string Folder(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool Under(const std::string& path, const std::string& root) {
  return path == root || path.rfind(root + "/", 0) == 0;
}

// Each line was measured against SQLite, MariaDB and PostgreSQL through unixODBC (README).
const char kSandbox[] =
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "PrivateUsers=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n"
    "UMask=0027\n";

}  // namespace

bool UnitsSupported() {
  return true;
}

std::string UnitFolder() {
  const char* dir = std::getenv("FENWOLD_UNIT_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/etc/systemd/system";
}

bool ServiceAccountExists(const std::string& account) {
  return getpwnam(account.c_str()) != nullptr;
}

std::string ServiceUnitText(const TUnitOptions& o) {
  std::string text;
  text += "[Unit]\n";
  std::string description;
  for (char c : o.displayName) description += c == '%' ? std::string("%%") : std::string(1, c);
  text += "Description=" + description + "\n";
  text += "After=network-online.target\nWants=network-online.target\n\n";
  text += "[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + Quoted(o.executablePath) + "\n";
  if (!o.registryPath.empty()) {
    text += "Environment=" + Quoted("FENWOLD_REGISTRY=" + o.registryPath) + "\n";
  }
  if (!o.logDir.empty()) text += "Environment=" + Quoted("FENWOLD_LOG_DIR=" + o.logDir) + "\n";
  text += "Restart=on-failure\nRestartSec=30\n";
  text += "WatchdogSec=" + std::to_string(kWatchdogSec) + "\n";
  text += "TimeoutStopSec=" + std::to_string(kStopTimeoutSec) + "\n";
  if (o.asAccount) {
    text += std::string("User=") + kServiceAccount + "\nGroup=" + kServiceAccount + "\n";
    // A SQLite card database lives in /var/lib/fenwold.
    text += std::string("StateDirectory=") + kServiceAccount + "\nStateDirectoryMode=0750\n";
    std::string logDir = o.logDir;
    if (logDir.empty()) {
      logDir = o.executablePath.substr(0, o.executablePath.find_last_of('/') + 1);
    }
    text += "ReadWritePaths=" + Quoted("-" + Folder(logDir)) + "\n";
    text += kSandbox;
  }
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

std::string FoldersDropInText(const std::vector<std::string>& folders) {
  std::string text =
      "# The card folders of the settings table, written by fenwoldctl folders --write-unit.\n"
      "[Service]\n";
  bool inHome = false;
  for (const std::string& f : folders) {
    if (f.empty()) continue;
    const std::string folder = Folder(f);
    text += "ReadWritePaths=" + Quoted("-" + folder) + "\n";
    inHome = inHome || Under(folder, "/home") || Under(folder, "/root") || Under(folder, "/run/user");
  }
  if (inHome) text += "ProtectHome=read-only\n";
  return text;
}

std::string FoldersDropInPath(const std::string& unitDir) {
  return Folder(unitDir) + "/fenwold.service.d/folders.conf";
}

std::vector<std::string> FoldersInDropIn(const std::string& text) {
  std::vector<std::string> folders;
  const std::string key = "ReadWritePaths=";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      std::string plain;
      for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size()) {
          plain += value[++i];
        } else {
          plain += value[i];
          if (value[i] == '%' && value[i + 1] == '%') ++i;
        }
      }
      value = plain;
    }
    if (!value.empty() && value[0] == '-') value.erase(0, 1);
    folders.push_back(value);
  }
  return folders;
}

TAccountWrite FolderWritableForAccount(const std::string& folder, const std::string& name) {
  const passwd* account = getpwnam(name.c_str());
  if (account == nullptr) return awNotAsked;
  const uid_t uid = account->pw_uid;
  const gid_t gid = account->pw_gid;
  const auto answer = [](bool writable) { return writable ? awWritable : awNotWritable; };
  if (geteuid() == uid) return answer(access(folder.c_str(), W_OK | X_OK) == 0);
  if (geteuid() != 0) return awNotAsked;
  // The groups are looked up here: after fork a driver's thread may hold a lock the lookup takes.
  int count = 0;
  getgrouplist(name.c_str(), gid, nullptr, &count);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 1)));
  if (getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) return awAskFailed;
  // The kernel's own answer, asked in a child that has become the account.
  const pid_t pid = fork();
  if (pid < 0) return awAskFailed;
  if (pid == 0) {
    const bool as = setgroups(static_cast<size_t>(count), groups.data()) == 0 &&
                    setgid(gid) == 0 && setuid(uid) == 0;
    _exit(!as ? 2 : access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return awAskFailed;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) return awAskFailed;
  return answer(WEXITSTATUS(status) == 0);
}

}  // namespace fw
