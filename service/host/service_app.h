// TServiceApplication: reads the command line, installs or removes the service, or runs it:
// the dispatcher on a thread of its own, the event loop (timer ticks) on the main thread.
//
// Threads: the main thread makes the application, calls Initialize, CreateService and Run;
// Run serves the loop on it until the service has stopped. Ownership: the application owns
// the loop, the event logger and the one service, which goes before the loop. Failures: Run
// returns the process's exit status, not 0 when the dispatcher, the service or an install
// failed; an install that fails says why in a message box, and what a timer handler throws
// goes to the event log while the loop goes on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/service_host.h"
#include "service/host/command_line.h"
#include "service/host/service.h"

namespace fw {

class TServiceApplication {
 public:
  // `params`: the command line without the program name.
  explicit TServiceApplication(std::vector<std::string> params);
  ~TServiceApplication();
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;

  // Prepares the process for its threads; before any other thread is started.
  void Initialize();
  // The one service of the process, owned by the application.
  template <class T>
  T& CreateService() {
    auto service = std::make_unique<T>(*this);
    T& ref = *service;
    service_ = std::move(service);
    return ref;
  }
  // Installs, uninstalls or runs the service; returns the process's exit status.
  int Run();

  TEventLoop& Loop() { return loop_; }
  TEventLogger& EventLogger() { return logger_; }
  TService* Service() { return service_.get(); }

 private:
  int RegisterServices(TRunMode mode, bool silent);
  int RunServices();

  std::vector<std::string> params_;
  TEventLoop loop_;
  TEventLogger logger_;
  std::unique_ptr<TService> service_;
};

}  // namespace fw
