// fenwoldctl: the operator's tool beside the service.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/console.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

std::map<std::string, const TCtlCommand*>& Registry() {
  static std::map<std::string, const TCtlCommand*> commands;
  return commands;
}

void PrintHelp() {
  Print("Usage: fenwoldctl COMMAND [ARGS...]\n\nCommands:\n");
  for (const auto& [name, cmd] : Registry()) {
    Print("  %-34s %s\n", cmd->usage, cmd->summary);
  }
  Print(
      "\n  --help                             this text\n"
      "  --version                          the version\n");
#ifndef _WIN32
  Print(
      "\nEnvironment:\n"
      "  FENWOLD_REGISTRY                   registry file (default "
      "/etc/fenwold/registry.reg)\n"
      "  FENWOLD_LOG_DIR                    the service's log folder\n"
      "  FENWOLD_UNIT_DIR                   the systemd unit folder (default "
      "/etc/systemd/system)\n"
      "  FENWOLD_SERVICE_ACCOUNT            the account check asks about (default "
      "fenwold)\n");
#endif
}

}  // namespace

TCtlCommand::TCtlCommand(const char* n, const char* u, const char* s, TCtlHandler h)
    : name(n), usage(u), summary(s), handler(h) {
  Registry()[n] = this;
}

}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  const std::vector<std::string> args = ProgramArguments(argc, argv);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    PrintHelp();
    return args.empty() ? 1 : 0;
  }
  if (args[0] == "--version") {
    Print("fenwoldctl %s\n", FENWOLD_VERSION);
    return 0;
  }
  const auto it = Registry().find(args[0]);
  if (it == Registry().end()) {
    PrintErr("fenwoldctl: unknown command '%s' (see --help)\n", args[0].c_str());
    return 2;
  }
  return it->second->handler(std::vector<std::string>(args.begin() + 1, args.end()));
}
