// Running the real fenwold binary in tests: a child process with its own environment, its
// exit status and output, its log files, the notify socket it reports to, and inotify
// watches on the folders it works in.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fw::test {

using TEnv = std::map<std::string, std::string>;

class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess();  // kills (SIGKILL) and reaps a child still running
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The test's environment without systemd's variables and the service's own (bar
  // FENWOLD_ODBC_LIB and FENWOLD_TEST_*), plus `env`. stdout and stderr go
  // to files in `outputDir`.
  bool Start(const std::string& program, const std::vector<std::string>& args, const TEnv& env,
             const std::string& outputDir);
  bool Signal(int signal) const;
  // The exit status (or 128 + the signal that ended it); nullopt on timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::string outPath_, errPath_;
};

struct TRunResult {
  int status = -1;
  std::string out, err;
};

// Runs a program to its end (at most `timeout`).
TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const TEnv& env, const std::string& outputDir,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

std::string ReadTextFile(const std::string& path);
bool PathExists(const std::string& path);
std::vector<std::string> FilesIn(const std::string& folder);  // names, sorted
// The lines of every fenwold*.log in `folder`, oldest file first, split at CR LF.
std::vector<std::string> LogLines(const std::string& folder);
// The text of a log line after its stamp ("hh:mm:ss.zzz dd/mm/yy - "); the line itself
// when it carries no stamp.
std::string LogText(const std::string& line);

// Polls `done` every 20 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A datagram socket where sd_notify messages arrive (the service's NOTIFY_SOCKET).
class TNotifyListener {
 public:
  explicit TNotifyListener(const std::string& path);
  ~TNotifyListener();
  TNotifyListener(const TNotifyListener&) = delete;
  TNotifyListener& operator=(const TNotifyListener&) = delete;

  const std::string& Path() const { return path_; }
  bool Ok() const { return fd_ >= 0; }
  // The next message, nullopt on timeout.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout);

 private:
  std::string path_;
  int fd_ = -1;
};

// Counts inotify events on one folder.
class TFolderWatch {
 public:
  TFolderWatch(const std::string& folder, uint32_t mask);
  ~TFolderWatch();
  TFolderWatch(const TFolderWatch&) = delete;
  TFolderWatch& operator=(const TFolderWatch&) = delete;

  bool Ok() const { return fd_ >= 0; }
  // Waits for the next event whose mask has all of `want` (and, when `name` is given, that
  // names it); false on timeout.
  bool Next(uint32_t want, std::chrono::milliseconds timeout, const std::string* name = nullptr);

 private:
  int fd_ = -1;
  std::string pending_;  // read but not yet examined
};

}  // namespace fw::test
