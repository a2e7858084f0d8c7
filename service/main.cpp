// Program entry: the service application with its one service.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/service_host.h"
#include "service/fenwold.h"
#include "service/host/command_line.h"
#include "service/host/service_app.h"

namespace {

void PrintHelp() {
  fw::Print("Usage: fenwold [/INSTALL | /UNINSTALL] [/SILENT]\n\n%s", fw::ServiceUsageText());
  fw::Print(
      "  FENWOLD_LOG_DIR          folder of the log files (default: beside the executable)\n"
      "  FENWOLD_TICK_MS          pickup interval in ms (default 25000)\n"
      "  FENWOLD_FAKE_CLOCK       tests only: a fixed \"YYYY-MM-DD hh:mm:ss\" for the clock\n"
      "  FENWOLD_FAKE_CLOCK_STEP  tests only: seconds the fake clock moves at each tick\n"
      "\n"
      "  --help, /?   this text\n"
      "  --version    the version\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> params = fw::ProgramArguments(argc, argv);
  if (fw::AsksForHelp(params)) {
    PrintHelp();
    return 0;
  }
  if (!params.empty() && params[0] == "--version") {
    fw::Print("fenwold %s\n", FENWOLD_VERSION);
    return 0;
  }
  fw::TServiceApplication app(params);
  app.Initialize();
  app.CreateService<fw::TFenwold>();
  return app.Run();
}
