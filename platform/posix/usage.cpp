#include "platform/service_host.h"

namespace fw {

const char* ServiceUsageText() {
  return "Without a switch the service runs in the foreground until SIGTERM or SIGINT.\n"
         "Switches begin with \"/\" or \"-\", in any letter case:\n"
         "  /INSTALL     write the systemd unit fenwold.service (and enable it when systemd runs)\n"
         "  /UNINSTALL   disable and remove the unit\n"
         "  /SILENT      no message on success\n"
         "\n"
         "Signals: SIGTERM, SIGINT stop; SIGUSR1 pauses; SIGUSR2 continues; SIGHUP reports the\n"
         "status again.\n"
         "\n"
         "Environment:\n"
         "  FENWOLD_REGISTRY         registry file (default /etc/fenwold/registry.reg)\n"
         "  FENWOLD_UNIT_DIR         where /INSTALL writes the unit (default /etc/systemd/system)\n"
         "  FENWOLD_ODBC_LIB         the ODBC driver manager library\n";
}

}  // namespace fw
