// Windows: the service's entry in the service control manager, its account, its recovery
// actions and its event-log sources.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/service_host.h"
#include "platform/win32/sc_handle.h"
#include "platform/win32/service_account.h"
#include "platform/win32/wide.h"

namespace fw {
namespace {

// Event Viewer finds the texts of a source's events in the message table of the file named
// here; ours holds one message, "%1", the event's own text.
constexpr wchar_t kEventSourceRoot[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// As the systemd unit's Restart=on-failure with RestartSec=30; the count of failures starts
// afresh after a day without one.
constexpr DWORD kRestartDelayMs = 30000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

// The service's source (its name) and the service application's (the executable's file name).
std::vector<std::string> EventSources(const std::string& serviceName, const std::string& exe) {
  return {serviceName, ExtractFileName(exe)};
}

bool RegisterEventSource(const std::string& source, const std::string& exe) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kEventSourceRoot + Widen(source)).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring file = Widen(exe);
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const bool ok =
      RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(file.c_str()),
                     static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                     sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

void RemoveEventSource(const std::string& source) {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kEventSourceRoot + Widen(source)).c_str());
}

TServiceRegistration Failure(uint32_t code, bool managerFailed, const std::string& detail) {
  TServiceRegistration r;
  r.code = code;
  r.message = SystemErrorMessage(code) + detail;
  r.managerFailed = managerFailed;
  return r;
}

TServiceRegistration LastErrorFailure(bool managerFailed) {
  return Failure(GetLastError(), managerFailed, "");
}

TServiceRegistration Success() {
  TServiceRegistration r;
  r.ok = true;
  return r;
}

// Every Windows since Vista knows the service SID and the failure-actions flag; a service
// manager without them (Wine's) answers that it does not know the level, and there is nothing
// to set.
bool UnknownToManager(DWORD error) {
  return error == ERROR_INVALID_LEVEL;
}

// A command line: a path with a blank left unquoted would let C:\Program.exe run instead.
std::wstring QuotedCommand(const std::string& path) {
  return L"\"" + Widen(path) + L"\"";
}

// The account with a service SID of its own, so that access lists can name it, and restarts
// after a crash or a stop with an error (the service stops with one when it cannot reach the
// card database at start).
TServiceRegistration ApplyConfiguration(SC_HANDLE service, const TServiceInstallInfo& info) {
  SERVICE_SID_INFO sidInfo{SERVICE_SID_TYPE_UNRESTRICTED};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sidInfo) &&
      !UnknownToManager(GetLastError())) {
    return Failure(GetLastError(), false, ": the service SID");
  }
  // The program path quoted again: an installer may have written it bare.
  const std::wstring account = Widen(VirtualAccountName(info.name));
  if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            QuotedCommand(info.executablePath).c_str(), nullptr, nullptr,
                            nullptr, account.c_str(), nullptr, nullptr)) {
    return Failure(GetLastError(), false, ": the account " + Narrow(account));
  }
  SC_ACTION actions[3];
  for (SC_ACTION& a : actions) a = {SC_ACTION_RESTART, kRestartDelayMs};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kFailureResetSeconds;
  failure.cActions = 3;  // the last one repeats for every further failure
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    return Failure(GetLastError(), false, ": the recovery actions");
  }
  SERVICE_FAILURE_ACTIONS_FLAG onErrorStops{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops) &&
      !UnknownToManager(GetLastError())) {
    return Failure(GetLastError(), false, ": the recovery actions on a stop with an error");
  }
  if (info.logFolder.empty()) return Success();
  const std::string sid = ServiceSidText(info.name);
  if (sid.empty()) return Failure(GetLastError(), false, ": the SID of " + Narrow(account));
  // The log makes its folder when it is missing, but the account may not be allowed to.
  if (!DirectoryExists(info.logFolder) && !ForceDirectories(info.logFolder)) {
    return Failure(GetLastError(), false, ": " + info.logFolder);
  }
  if (const uint32_t rc = GrantToSid(info.logFolder, sid, TGrantScope::kLogFolder); rc != 0) {
    return Failure(rc, false, ": " + info.logFolder);
  }
  // Day files written before, by LocalSystem or by fenwoldctl, are appended to from now on.
  for (const std::string& file : info.logFiles) {
    if (!FileExists(file)) continue;
    if (const uint32_t rc = GrantToSid(file, sid, TGrantScope::kLogFile); rc != 0) {
      return Failure(rc, false, ": " + file);
    }
  }
  return Success();
}

}  // namespace

TServiceRegistration InstallServiceEntry(const TServiceInstallInfo& info) {
  TScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return LastErrorFailure(true);
  const std::wstring account = Widen(VirtualAccountName(info.name));
  TScHandle service(CreateServiceW(
      manager.get(), Widen(info.name).c_str(), Widen(info.displayName).c_str(),
      SERVICE_ALL_ACCESS, info.serviceType, info.startType, info.errorControl,
      QuotedCommand(info.executablePath).c_str(), nullptr, nullptr, nullptr, account.c_str(),
      nullptr));
  if (!service) return LastErrorFailure(false);
  TServiceRegistration r = ApplyConfiguration(service.get(), info);
  if (!r.ok) {
    // Leave nothing half installed: a second try must not find the service in the way.
    DeleteService(service.get());
    return r;
  }
  // The service runs without its event texts too, so a failure here does not undo the install.
  for (const std::string& source : EventSources(info.name, info.executablePath)) {
    RegisterEventSource(source, info.executablePath);
  }
  r.note = "It runs as " + Narrow(account);
  return r;
}

TServiceRegistration ConfigureServiceEntry(const TServiceInstallInfo& info) {
  TScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return LastErrorFailure(true);
  TScHandle service(OpenServiceW(manager.get(), Widen(info.name).c_str(),
                                 SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG | SERVICE_START));
  if (!service) return LastErrorFailure(false);
  return ApplyConfiguration(service.get(), info);
}

TServiceRegistration UninstallServiceEntry(const std::string& serviceName) {
  TScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return LastErrorFailure(true);
  TScHandle service(OpenServiceW(manager.get(), Widen(serviceName).c_str(), SERVICE_ALL_ACCESS));
  if (!service || !DeleteService(service.get())) return LastErrorFailure(false);
  for (const std::string& source : EventSources(serviceName, ExecutablePath())) {
    RemoveEventSource(source);
  }
  return Success();
}

}  // namespace fw
