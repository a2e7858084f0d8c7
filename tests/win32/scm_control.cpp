// Sends a control request to an installed service through the service control manager, as
// "sc pause" and "sc continue" do on Windows (Wine's sc has neither), and prints the state the
// service reports afterwards.
//   scm_control SERVICE pause|continue|interrogate
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scm_control SERVICE pause|continue|interrogate\n");
    return 2;
  }
  DWORD code = 0;
  if (std::strcmp(argv[2], "pause") == 0) code = SERVICE_CONTROL_PAUSE;
  if (std::strcmp(argv[2], "continue") == 0) code = SERVICE_CONTROL_CONTINUE;
  if (std::strcmp(argv[2], "interrogate") == 0) code = SERVICE_CONTROL_INTERROGATE;
  if (code == 0) return 2;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceA(manager, argv[1], SERVICE_ALL_ACCESS) : nullptr;
  SERVICE_STATUS status{};
  const bool ok = service != nullptr && ControlService(service, code, &status);
  const DWORD error = ok ? 0 : GetLastError();
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  if (!ok) {
    std::fprintf(stderr, "%s failed: error %lu\n", argv[2], error);
    return 1;
  }
  std::printf("%lu\n", status.dwCurrentState);
  return 0;
}
