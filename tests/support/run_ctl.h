// fenwoldctl run as an operator runs it from a shell: `environment` is a list of NAME=value
// words put before the command, and the output holds stdout and stderr as the terminal shows
// them. For the Linux suites that define FENWOLD_CTL_BINARY.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace fw::test {

// The account fenwoldctl's checks ask about in tests: none, whatever this machine has
// installed. A test that wants one names it after this in its environment (the last wins).
inline constexpr char kNoServiceAccount[] = "FENWOLD_SERVICE_ACCOUNT=fenwold-test-no-account";

struct TCtlRun {
  int status = -1;  // the exit status; -1 when it did not exit
  std::string output;
};

inline TCtlRun RunCtl(const std::string& environment, const std::string& args) {
  TCtlRun run;
  const std::string command = std::string(kNoServiceAccount) + " " + environment + " " +
                              std::string(FENWOLD_CTL_BINARY) + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace fw::test
