// What the service host needs from the operating system: the main thread's event loop and
// its timers, the service thread's request queue, the service control manager (signals and
// sd_notify on Linux), install and uninstall, message boxes and the systemd watchdog.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fw {

// ---- Main thread: posted tasks and timers, run one at a time, in order.

class TEventLoop {
 public:
  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Runs on the calling thread until Quit; posted tasks go before due timers.
  void Run();
  void Quit();                            // any thread
  void Post(std::function<void()> task);  // any thread
  // Receives the message of an exception that escapes a task or a timer handler; the loop
  // goes on.
  void SetExceptionHandler(std::function<void(const std::string&)> handler);

  struct TImpl;
  TImpl& Impl() { return *impl_; }

 private:
  std::unique_ptr<TImpl> impl_;
};

// A timer whose ticks run on the loop's thread. Created disabled.
class TTimer {
 public:
  TTimer(TEventLoop& loop, unsigned intervalMs, std::function<void()> onTimer);
  ~TTimer();  // on the loop's thread, or once the loop has ended
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  // Any thread. Enabling a disabled timer starts a fresh interval.
  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetInterval(unsigned intervalMs);  // applies from the next enable
  unsigned Interval() const;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

// ---- The service thread's queue of control codes. "Suspend" is a wait on it.

class TThreadQueue {
 public:
  TThreadQueue();
  ~TThreadQueue();
  TThreadQueue(const TThreadQueue&) = delete;
  TThreadQueue& operator=(const TThreadQueue&) = delete;

  void AttachToCurrentThread();  // on the owning thread, before the first Take
  void Post(uint32_t code);      // any thread
  // Takes the oldest code; with `wait` blocks until one arrives, else false when none.
  bool Take(uint32_t& code, bool wait);

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

// ---- Service control manager.

struct TServiceStatusRecord {
  uint32_t serviceType = 0x10;  // own process
  uint32_t currentState = 1;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

using TServiceStatusHandle = void*;
using TServiceMainProc = std::function<void(const std::vector<std::string>& args)>;
using TControlHandlerProc = std::function<void(uint32_t code)>;

// Before any thread exists: Linux blocks the control signals so that only the dispatcher
// receives them.
void PrepareServiceProcess();

// Connects the process to the service manager and runs the dispatcher on the calling thread
// until the service main has returned. 0, or the system error code when it could not start.
uint32_t RunServiceDispatcher(const std::string& serviceName, TServiceMainProc serviceMain);

// From the service main: control codes are handed to `handler` on the dispatcher thread.
// Null with `error` set on failure.
TServiceStatusHandle RegisterServiceControlHandler(const std::string& serviceName,
                                                   TControlHandlerProc handler, uint32_t& error);
bool SetServiceStatusRecord(TServiceStatusHandle handle, const TServiceStatusRecord& status,
                            uint32_t& error);
// A line of free text beside the state, for the operator (systemd's STATUS=); the Windows
// service manager has no place for it.
void SetServiceStatusText(TServiceStatusHandle handle, const std::string& text);

// ---- Install and uninstall.

struct TServiceInstallInfo {
  std::string name;
  std::string displayName;
  std::string executablePath;
  uint32_t serviceType = 0x10;  // own process
  uint32_t startType = 2;       // automatic
  uint32_t errorControl = 1;    // normal
  // Windows: granted to the service's own account, the folder with the log files it holds.
  std::string logFolder;
  std::vector<std::string> logFiles;
};

struct TServiceRegistration {
  bool ok = false;
  bool managerFailed = false;  // the service manager itself could not be opened
  uint32_t code = 0;           // system error code of the failure
  std::string message;         // the system's message for it
  std::string note;            // said after the success message (how the service will run)
};

TServiceRegistration InstallServiceEntry(const TServiceInstallInfo& info);
TServiceRegistration UninstallServiceEntry(const std::string& serviceName);
// What an installer package cannot say for an existing service, set again: on Windows its own
// account with the log folder granted to it, and restarts after failures. Part of
// InstallServiceEntry; Linux has nothing to add to its unit.
TServiceRegistration ConfigureServiceEntry(const TServiceInstallInfo& info);

// ---- Odds and ends.

// The part of the program's --help that differs by platform: switches, controls and the
// platform's own environment variables, ending with the "Environment:" heading.
const char* ServiceUsageText();
std::string SystemErrorMessage(uint32_t code);  // the system's message for an error code
void ShowMessageBox(const std::string& text, bool isError);
// Half the systemd watchdog period in ms when the manager asked for keep-alives, else 0.
unsigned WatchdogIntervalMs();
void WatchdogPing();

}  // namespace fw
