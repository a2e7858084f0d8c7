// The switches of the service program. Pure functions of the arguments; any thread.
#pragma once

#include <string>
#include <vector>

namespace fw {

// A parameter that is "/" or "-" followed by `word`, compared without regard to case; any
// position counts.
bool FindCmdLineSwitch(const std::vector<std::string>& params, const std::string& word);

enum TRunMode { rmService, rmInstall, rmUninstall, rmConfigure };

struct TCommandLine {
  TRunMode mode = rmService;
  bool silent = false;
};

// INSTALL is looked for first, then UNINSTALL, then CONFIGURE (what an installer package
// cannot set for the service it created); SILENT matters only with one of them.
TCommandLine ParseCommandLine(const std::vector<std::string>& params);

// The usage is asked for: "--help", or the switch HELP, H or ? in either form ("/help", "/?",
// "-h"), in any position.
bool AsksForHelp(const std::vector<std::string>& params);

}  // namespace fw
