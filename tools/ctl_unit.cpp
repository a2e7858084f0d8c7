// fenwoldctl unit: the systemd unit that runs fenwold under its own account, as /INSTALL writes
// it once the account exists; the package is built with it.
#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/service_unit.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

std::string FromEnv(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

int Unit(const std::vector<std::string>& args) {
  if (args.size() > 1 || !UnitsSupported()) {
    PrintErr(UnitsSupported() ? "usage: fenwoldctl unit [FENWOLD-PATH]\n"
                              : "fenwoldctl unit: no systemd units on this system\n");
    return 2;
  }
  TUnitOptions o;
  o.displayName = "KELVO Fenwold";
  o.executablePath = args.empty() ? ExtractFilePath(ExecutablePath()) + "fenwold" : args[0];
  o.registryPath = FromEnv("FENWOLD_REGISTRY");
  o.logDir = FromEnv("FENWOLD_LOG_DIR");
  o.asAccount = true;
  WriteOut(ServiceUnitText(o).c_str());
  return 0;
}

const TCtlCommand command("unit", "unit [FENWOLD-PATH]",
                          "print the sandboxed systemd unit (FENWOLD_REGISTRY, FENWOLD_LOG_DIR "
                          "taken from the environment)",
                          Unit);

}  // namespace
}  // namespace fw
