#include "tests/support/test_platform.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>
#include <stdexcept>

#include "tests/support/db_fixture.h"

namespace fw::test {

std::string MakeTempFolder() {
  const char* root = std::getenv("FENWOLD_TEST_TMPDIR");
  std::string tmpl = ((root != nullptr && *root != '\0') ? std::filesystem::path(root)
                                                         : std::filesystem::temp_directory_path()) /
                     "fenwold-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

void SetEnvVar(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

void UnsetEnvVar(const char* name) {
  unsetenv(name);
}

bool ProcessAlive(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (pid <= 0 || !std::getline(stat, text)) return false;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
         text[close + 2] != 'X';
}

bool KillProcess(int pid) {
  return pid > 0 && ::kill(pid, SIGKILL) == 0;
}

namespace {

// The processes whose parent is `pid`.
std::vector<int> ChildrenOf(int pid) {
  std::vector<int> children;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    char state = 0;
    int parent = 0;
    if (fields >> state >> parent && parent == pid) children.push_back(std::stoi(name));
  }
  return children;
}

bool WaitGone(const std::vector<int>& pids) {
  for (int i = 0; i < 400; ++i) {
    bool any = false;
    for (int pid : pids) any = any || ProcessAlive(pid);
    if (!any) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

}  // namespace

bool KillProcessTree(int pid) {
  // Stopped, a server starts no new child between the listing and the kill; its children
  // would otherwise outlive it and keep what a restart needs.
  if (pid <= 0 || ::kill(pid, SIGSTOP) != 0) return false;
  std::vector<int> all = ChildrenOf(pid);
  all.push_back(pid);
  for (int p : all) ::kill(p, SIGKILL);
  return WaitGone(all);
}

std::string DriverPath(const std::string& path) {
  return path;
}

bool MakeFifo(const std::string& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}

bool EventLogEchoesToStderr() {
  return std::getenv("JOURNAL_STREAM") == nullptr;
}

void PinLoadedOdbcDrivers() {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const size_t path = line.find('/');
    if (path == std::string::npos) continue;
    const std::string file = line.substr(path);
    if (file.find("odbc") == std::string::npos) continue;
    // Already loaded: this only marks it never to be unmapped.
    if (void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(h);
  }
}

}  // namespace fw::test
