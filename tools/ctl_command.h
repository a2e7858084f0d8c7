// Commands of fenwoldctl. Each command lives in its own tools/ctl_*.cpp and registers itself
// with a static TCtlCommand object.
#pragma once

#include <string>
#include <vector>

namespace fw {

using TCtlHandler = int (*)(const std::vector<std::string>& args);  // returns the exit status

struct TCtlCommand {
  TCtlCommand(const char* name, const char* usage, const char* summary, TCtlHandler handler);
  const char* name;
  const char* usage;
  const char* summary;
  TCtlHandler handler;
};

}  // namespace fw
