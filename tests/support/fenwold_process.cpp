#include "tests/support/fenwold_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace fw::test {
namespace {

bool IsSystemdVariable(const std::string& name) {
  for (const char* v : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM",
                        "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "INVOCATION_ID"}) {
    if (name == v) return true;
  }
  return false;
}

// The child gets only the settings a test gives it: no systemd variables and none of the
// service's own, except the driver manager's library.
bool Inherited(const std::string& name) {
  if (name.rfind("FENWOLD_", 0) == 0) {
    return name == "FENWOLD_ODBC_LIB" || name.rfind("FENWOLD_TEST_", 0) == 0;
  }
  return !IsSystemdVariable(name);
}

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

TChildProcess::~TChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int raw = 0;
    waitpid(pid_, &raw, 0);
  }
}

bool TChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const TEnv& env, const std::string& outputDir) {
  static int serial = 0;
  const std::string stem = outputDir + "/child" + std::to_string(++serial);
  outPath_ = stem + ".out";
  errPath_ = stem + ".err";

  TEnv all;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq == std::string::npos || !Inherited(kv.substr(0, eq))) continue;
    all[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) all[k] = v;
  std::vector<std::string> envText;
  for (const auto& [k, v] : all) envText.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argText{program};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argText) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) pid_ = -1;
  return rc == 0;
}

bool TChildProcess::Signal(int signal) const {
  return pid_ > 0 && kill(pid_, signal) == 0;
}

std::optional<int> TChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return StatusOf(raw);
    }
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string TChildProcess::Stdout() const {
  return ReadTextFile(outPath_);
}
std::string TChildProcess::Stderr() const {
  return ReadTextFile(errPath_);
}

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const TEnv& env, const std::string& outputDir,
                      std::chrono::milliseconds timeout) {
  TChildProcess child;
  TRunResult r;
  if (!child.Start(program, args, env, outputDir)) return r;
  r.status = child.Wait(timeout).value_or(-1);
  r.out = child.Stdout();
  r.err = child.Stderr();
  return r;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> LogLines(const std::string& folder) {
  std::vector<std::pair<timespec, std::string>> files;
  for (const std::string& name : FilesIn(folder)) {
    if (name.rfind("fenwold", 0) != 0 || name.size() < 4 ||
        name.compare(name.size() - 4, 4, ".log") != 0) {
      continue;
    }
    struct stat st {};
    const std::string path = folder + "/" + name;
    if (stat(path.c_str(), &st) == 0) files.push_back({st.st_mtim, path});
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
    return a.first.tv_sec != b.first.tv_sec ? a.first.tv_sec < b.first.tv_sec
                                            : a.first.tv_nsec < b.first.tv_nsec;
  });
  std::vector<std::string> lines;
  for (const auto& f : files) {
    const std::string text = ReadTextFile(f.second);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
  }
  return lines;
}

std::string LogText(const std::string& line) {
  // "hh:nn:ss.zzz dd/mm/yy - " is 24 characters with one-character separators.
  if (line.size() >= 24 && line.compare(21, 3, " - ") == 0 && line[8] == '.') {
    return line.substr(24);
  }
  return line;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TNotifyListener::TNotifyListener(const std::string& path) : path_(path) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    close(fd_);
    fd_ = -1;
    return;
  }
  std::strcpy(addr.sun_path, path.c_str());
  unlink(path.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

TNotifyListener::~TNotifyListener() {
  if (fd_ >= 0) close(fd_);
  unlink(path_.c_str());
}

std::optional<std::string> TNotifyListener::Receive(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  char buffer[4096];
  const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

TFolderWatch::TFolderWatch(const std::string& folder, uint32_t mask) {
  fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd_ >= 0 && inotify_add_watch(fd_, folder.c_str(), mask) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

TFolderWatch::~TFolderWatch() {
  if (fd_ >= 0) close(fd_);
}

bool TFolderWatch::Next(uint32_t want, std::chrono::milliseconds timeout, const std::string* name) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Events are taken one at a time; those after a match wait for the next call.
    while (pending_.size() >= sizeof(inotify_event)) {
      inotify_event e;
      std::memcpy(&e, pending_.data(), sizeof e);
      const std::string eventName =
          e.len > 0 ? std::string(pending_.c_str() + sizeof e) : std::string();
      pending_.erase(0, sizeof e + e.len);
      if ((e.mask & want) == want && (name == nullptr || *name == eventName)) return true;
    }
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      pending_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

}  // namespace fw::test
