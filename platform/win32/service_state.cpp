// Windows: the service control manager's view of the service.
#include <windows.h>

#include "platform/service_state.h"
#include "platform/win32/sc_handle.h"
#include "platform/win32/wide.h"

namespace fw {

std::string QueryServiceState(const std::string& serviceName) {
  TScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return "unknown";
  TScHandle service(OpenServiceW(manager.get(), Widen(serviceName).c_str(), SERVICE_QUERY_STATUS));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? "not installed" : "unknown";
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status)) return "unknown";
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continue pending";
    case SERVICE_PAUSE_PENDING:
      return "pause pending";
    case SERVICE_PAUSED:
      return "paused";
    default:
      return "unknown";
  }
}

}  // namespace fw
