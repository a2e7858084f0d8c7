// The service base: its states and status reports, the service thread with its control
// requests, and the event-log writer. The platform's service manager sits behind
// platform/service_host.h.
//
// Threads: Main runs on the dispatcher's thread and returns when the service has stopped; the
// execute handler, OnStopRequest and OnInterrogate run on the service thread; Controller,
// Status, SetStatus, ReportStatus, SetStatusDetails, StatusLine and LogMessage may be called
// from any thread (one lock guards the status). Set the handlers and the settings before Main.
// Ownership: the service owns its thread and event logger; the handlers' captures are the
// caller's. Failures: a control handler that cannot be registered, and a status report that
// the manager refuses, go to the event log; an execute handler that throws is written there
// too, and the service reports stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_host.h"

namespace fw {

enum TCurrentStatus : uint32_t {
  csStopped = 1,
  csStartPending = 2,
  csStopPending = 3,
  csRunning = 4,
  csContinuePending = 5,
  csPausePending = 6,
  csPaused = 7,
};

const char* StatusName(TCurrentStatus status);  // "running", "stop pending", ...

// Control codes as the service manager sends them.
enum TControlCode : uint32_t {
  ccStop = 1,
  ccPause = 2,
  ccContinue = 3,
  ccInterrogate = 4,
  ccShutdown = 5,
};

// Accepted-controls bits.
constexpr uint32_t kAcceptStop = 1;
constexpr uint32_t kAcceptPauseContinue = 2;
constexpr uint32_t kAcceptShutdown = 4;
// Win32 exit code that says "see the service-specific exit code".
constexpr uint32_t kServiceSpecificError = 1066;

// Writes errors to the system event log under one source name.
class TEventLogger {
 public:
  explicit TEventLogger(std::string source) : source_(std::move(source)) {}
  void LogMessage(const std::string& text) const;
  const std::string& Source() const { return source_; }

 private:
  std::string source_;
};

class TService;

// Runs the service's execute handler and handles the control requests posted to it.
class TServiceThread {
 public:
  explicit TServiceThread(TService& service) : service_(service) {}
  ~TServiceThread();
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  void Start();
  void WaitFor();

  // Handles every queued request; with `waitForMessage`, waits for requests until
  // terminated. A pause request suspends the thread here until the next request arrives.
  void ProcessRequests(bool waitForMessage);
  bool Terminated() const { return terminated_; }
  void Terminate() { terminated_ = true; }
  void Post(uint32_t code) { queue_.Post(code); }

 private:
  void Execute();
  // True when the thread is to wait for the next request (paused).
  bool Handle(uint32_t code);

  TService& service_;
  TThreadQueue queue_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
};

class TService {
 public:
  TService(std::string name, std::string displayName);
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& DisplayName() const { return displayName_; }

  bool AllowStop = true;
  bool AllowPause = true;
  uint32_t WaitHint = 5000;
  uint32_t StartType = 2;  // automatic
  std::atomic<uint32_t> Win32ErrCode{0};
  std::atomic<uint32_t> ErrCode{0};  // service-specific exit code
  std::function<void(TService& sender)> OnExecute;
  // Called on the service thread when a stop or shutdown request is handled, before the stop
  // is reported: the place to tell running work to end.
  std::function<void()> OnStopRequest;

  // The service main, called by the dispatcher with the manager's arguments.
  void Main(const std::vector<std::string>& args);
  // The control handler: posts the code to the service thread. Any thread.
  void Controller(uint32_t code);
  virtual TControlHandlerProc GetServiceController();
  // What installing the service sets up beside its name and program: the log folder and
  // files (Windows grants them to the service's account). Nothing by default.
  virtual void DescribeInstall(TServiceInstallInfo& /*info*/) const {}

  TCurrentStatus Status() const;
  void SetStatus(TCurrentStatus status);  // and reports it
  void ReportStatus();                    // reports the current status again
  // What the service has to say beside its state; shown from now on with the state before it.
  void SetStatusDetails(const std::string& details);
  std::string StatusLine() const;  // "running; <details>"
  // Called on the service thread when an interrogate request arrives.
  std::function<void()> OnInterrogate;

  TServiceThread* ServiceThread() { return thread_.get(); }
  const std::vector<std::string>& Params() const { return params_; }
  void LogMessage(const std::string& text);  // the service's own event-log source

  // What the status reports go to; the platform's service manager unless replaced (tests).
  // A replaced sink also leaves the control handler unregistered.
  using TStatusSink = std::function<bool(const TServiceStatusRecord&, uint32_t& error)>;
  void SetStatusSink(TStatusSink sink) { sink_ = std::move(sink); }

  // The process's exit status once the service has stopped: 0, or non-zero when it reported
  // a failure.
  int ProcessExitStatus() const;

 private:
  // The record of the next report, with its checkpoint counted; status lock held.
  TServiceStatusRecord NextStatusRecord();

  std::string name_;
  std::string displayName_;
  std::vector<std::string> params_;
  std::unique_ptr<TServiceThread> thread_;
  std::atomic<TServiceThread*> liveThread_{nullptr};
  TServiceStatusHandle statusHandle_ = nullptr;
  TStatusSink sink_;
  mutable std::mutex statusLock_;
  TCurrentStatus status_ = csStopped;
  uint32_t lastReported_ = 0;
  uint32_t checkPoint_ = 0;
  std::string details_;
  std::unique_ptr<TEventLogger> logger_;
};

// "System Error.  Code: N." and a line break and the system's message; the bare failure
// text when the code is 0.
std::string SystemErrorText(uint32_t code, const std::string& message);

}  // namespace fw
