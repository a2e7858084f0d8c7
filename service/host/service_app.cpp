#include "service/host/service_app.h"

#include <thread>

#include "platform/files.h"

namespace fw {

TServiceApplication::TServiceApplication(std::vector<std::string> params)
    : params_(std::move(params)), logger_(ExtractFileName(ExecutablePath())) {}

// The service goes before the loop its timer lives on.
TServiceApplication::~TServiceApplication() {
  service_.reset();
}

void TServiceApplication::Initialize() {
  PrepareServiceProcess();
}

int TServiceApplication::Run() {
  const TCommandLine c = ParseCommandLine(params_);
  switch (c.mode) {
    case rmInstall:
    case rmUninstall:
    case rmConfigure:
      return RegisterServices(c.mode, c.silent);
    default:
      return RunServices();
  }
}

int TServiceApplication::RegisterServices(TRunMode mode, bool silent) {
  if (!service_) return 1;
  TServiceInstallInfo info;
  info.name = service_->Name();
  info.displayName = service_->DisplayName();
  info.executablePath = ExecutablePath();
  info.startType = service_->StartType;
  service_->DescribeInstall(info);
  TServiceRegistration r;
  if (mode == rmInstall) {
    r = InstallServiceEntry(info);
  } else if (mode == rmUninstall) {
    r = UninstallServiceEntry(service_->Name());
  } else {
    r = ConfigureServiceEntry(info);
  }
  const std::string error = SystemErrorText(r.code, r.message);
  if (r.managerFailed) {
    // No service manager at all: an error of the program, not a failure of the service.
    ShowMessageBox(error, true);
    return 1;
  }
  const std::string& name =
      service_->DisplayName().empty() ? service_->Name() : service_->DisplayName();
  if (!r.ok) {
    const char* verb = mode == rmInstall     ? "install"
                       : mode == rmUninstall ? "uninstall"
                                             : "configure";
    ShowMessageBox("Service \"" + name + "\" failed to " + verb + " with error: \"" + error + "\"",
                   true);
    return 1;
  }
  if (!silent) {
    std::string text = mode == rmInstall     ? "Service installed successfully"
                       : mode == rmUninstall ? "Service uninstalled successfully"
                                             : "Service configured successfully";
    if (!r.note.empty()) text += "\n" + r.note;
    ShowMessageBox(text, false);
  }
  return 0;
}

int TServiceApplication::RunServices() {
  loop_.SetExceptionHandler([this](const std::string& message) { logger_.LogMessage(message); });
  // Keep-alives come from this loop, so a tick that hangs stops them.
  std::unique_ptr<TTimer> watchdog;
  if (const unsigned ms = WatchdogIntervalMs(); ms > 0) {
    watchdog = std::make_unique<TTimer>(loop_, ms, [] { WatchdogPing(); });
    watchdog->SetEnabled(true);
  }
  uint32_t error = 0;
  std::thread dispatcher([this, &error] {
    const std::string name = service_ ? service_->Name() : std::string();
    error = RunServiceDispatcher(name, [this](const std::vector<std::string>& args) {
      if (service_) service_->Main(args);
    });
    loop_.Quit();
  });
  loop_.Run();
  dispatcher.join();
  watchdog.reset();
  if (error != 0) {
    logger_.LogMessage(SystemErrorMessage(error));
    return 1;
  }
  return service_ ? service_->ProcessExitStatus() : 0;
}

}  // namespace fw
