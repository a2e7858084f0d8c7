#include "service/command_line.h"

#include <cctype>

namespace fw {

bool FindCmdLineSwitch(const std::vector<std::string>& params, const std::string& word) {
  for (const std::string& p : params) {
    if (p.size() != word.size() + 1 || (p[0] != '/' && p[0] != '-')) continue;
    bool same = true;
    for (size_t i = 0; i < word.size() && same; ++i) {
      same = std::toupper(static_cast<unsigned char>(p[i + 1])) ==
             std::toupper(static_cast<unsigned char>(word[i]));
    }
    if (same) return true;
  }
  return false;
}

TCommandLine ParseCommandLine(const std::vector<std::string>& params) {
  TCommandLine c;
  if (FindCmdLineSwitch(params, "INSTALL")) {
    c.mode = rmInstall;
  } else if (FindCmdLineSwitch(params, "UNINSTALL")) {
    c.mode = rmUninstall;
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
