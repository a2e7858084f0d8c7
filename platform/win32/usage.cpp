#include "platform/service_host.h"

namespace fw {

const char* ServiceUsageText() {
  return "Without a switch the program runs as the service \"Fenwold\", started by the service\n"
         "control manager (net start Fenwold).\n"
         "Switches begin with \"/\" or \"-\", in any letter case (as an administrator):\n"
         "  /INSTALL     create the service and its event-log source\n"
         "  /UNINSTALL   delete them\n"
         "  /CONFIGURE   set the account, its log folder rights and the restarts again (as\n"
         "               /INSTALL does; the installer package runs it)\n"
         "  /SILENT      no message on success\n"
         "\n"
         "Settings: HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo (32-bit view).\n"
         "\n"
         "Environment (system variables, read when the service starts):\n";
}

}  // namespace fw
