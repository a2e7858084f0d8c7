// Windows: the service control manager's side of a running service (dispatcher, control
// handler, status reports), the system's error texts and message boxes.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/service_host.h"
#include "platform/win32/wide.h"

namespace fw {
namespace {

struct TScm {
  std::mutex lock;
  TServiceMainProc serviceMain;
  TControlHandlerProc handler;
};

TScm& Scm() {
  static TScm scm;
  return scm;
}

void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(Narrow(argv[i]));
  TServiceMainProc main;
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    main = Scm().serviceMain;
  }
  if (main) main(args);
}

// Every code is accepted, custom ones included; the service decides what it does with them.
DWORD WINAPI ControlHandlerEntry(DWORD code, DWORD, LPVOID, LPVOID) {
  TControlHandlerProc handler;
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    handler = Scm().handler;
  }
  if (handler) handler(code);
  return NO_ERROR;
}

// A process on a window station nobody sees (a service, an installer's custom action, a
// remote shell) would wait for ever on a box that no one can close.
bool DesktopVisible() {
  USEROBJECTFLAGS flags{};
  HWINSTA station = GetProcessWindowStation();
  return station != nullptr &&
         GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void PrepareServiceProcess() {}

uint32_t RunServiceDispatcher(const std::string& serviceName, TServiceMainProc serviceMain) {
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    Scm().serviceMain = std::move(serviceMain);
  }
  std::wstring name = Widen(serviceName);
  SERVICE_TABLE_ENTRYW table[2] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : GetLastError();
}

TServiceStatusHandle RegisterServiceControlHandler(const std::string& serviceName,
                                                   TControlHandlerProc handler, uint32_t& error) {
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    Scm().handler = std::move(handler);
  }
  SERVICE_STATUS_HANDLE h =
      RegisterServiceCtrlHandlerExW(Widen(serviceName).c_str(), ControlHandlerEntry, nullptr);
  error = h == nullptr ? GetLastError() : 0;
  return reinterpret_cast<TServiceStatusHandle>(h);
}

bool SetServiceStatusRecord(TServiceStatusHandle handle, const TServiceStatusRecord& status,
                            uint32_t& error) {
  SERVICE_STATUS s{};
  s.dwServiceType = status.serviceType;
  s.dwCurrentState = status.currentState;
  s.dwControlsAccepted = status.controlsAccepted;
  s.dwWin32ExitCode = status.win32ExitCode;
  s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  s.dwCheckPoint = status.checkPoint;
  s.dwWaitHint = status.waitHint;
  const BOOL ok = SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s);
  error = ok ? 0 : GetLastError();
  return ok != FALSE;
}

void SetServiceStatusText(TServiceStatusHandle, const std::string&) {}

std::string SystemErrorMessage(uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string message = n > 0 && text != nullptr ? Narrow(std::wstring(text, n)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

void ShowMessageBox(const std::string& text, bool isError) {
  // Where no box can be shown (no desktop at all fails at once) the text goes to the console
  // rather than nowhere.
  if (!DesktopVisible() ||
      MessageBoxW(nullptr, Widen(text).c_str(), L"",
                  MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION)) <= 0) {
    (isError ? WriteErr : WriteOut)(text + "\n");
    std::fflush(isError ? stderr : stdout);
  }
}

unsigned WatchdogIntervalMs() {
  return 0;
}
void WatchdogPing() {}

}  // namespace fw
