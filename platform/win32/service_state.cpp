// Windows: the service control manager's view of the service.
#include "platform/service_state.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace fw {

std::string QueryServiceState(const std::string& serviceName) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return "unknown";
  SC_HANDLE service = OpenServiceW(manager, Wide(serviceName).c_str(), SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? "not installed" : "unknown";
  }
  SERVICE_STATUS status{};
  const BOOL ok = QueryServiceStatus(service, &status);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!ok) return "unknown";
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
