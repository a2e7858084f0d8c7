#include "service/host/command_line.h"

#include <cctype>

#include "platform/strings.h"

namespace fw {

bool FindCmdLineSwitch(const std::vector<std::string>& params, const std::string& word) {
  for (const std::string& p : params) {
    if (p.size() == word.size() + 1 && (p[0] == '/' || p[0] == '-') &&
        SameTextNoCase(std::string_view(p).substr(1), word)) {
      return true;
    }
  }
  return false;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& params) {
  TCommandLine c;
  if (FindCmdLineSwitch(params, "INSTALL")) {
    c.mode = rmInstall;
  } else if (FindCmdLineSwitch(params, "UNINSTALL")) {
    c.mode = rmUninstall;
  } else if (FindCmdLineSwitch(params, "CONFIGURE")) {
    c.mode = rmConfigure;
  }
  c.silent = FindCmdLineSwitch(params, "SILENT");
  return c;
}

bool AsksForHelp(const std::vector<std::string>& params) {
  for (const std::string& p : params) {
    if (p == "--help") return true;
  }
  return FindCmdLineSwitch(params, "HELP") || FindCmdLineSwitch(params, "H") ||
         FindCmdLineSwitch(params, "?");
}

}  // namespace fw
