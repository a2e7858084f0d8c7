#include "service/host/service.h"

#include <exception>

#include "platform/eventlog.h"

namespace fw {

void TEventLogger::LogMessage(const std::string& text) const {
  ReportEventError(source_, text);
}

std::string SystemErrorText(uint32_t code, const std::string& message) {
  if (code == 0) return "A call to an OS function failed";
  return "System Error.  Code: " + std::to_string(code) + ".\n" + message;
}

// ---- TServiceThread

TServiceThread::~TServiceThread() {
  if (thread_.joinable()) thread_.join();
}

void TServiceThread::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TServiceThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TServiceThread::Execute() {
  queue_.AttachToCurrentThread();
  service_.SetStatus(csStartPending);
  service_.SetStatus(csRunning);
  try {
    if (service_.OnExecute) service_.OnExecute(service_);
  } catch (const std::exception& e) {
    service_.LogMessage(std::string("Service failed on execute: ") + e.what());
  } catch (...) {
    service_.LogMessage("Service failed on execute: Unknown exception");
  }
  ProcessRequests(false);
}

void TServiceThread::ProcessRequests(bool waitForMessage) {
  bool suspended = false;
  uint32_t code = 0;
  while (!(terminated_ && waitForMessage)) {
    if (!queue_.Take(code, waitForMessage || suspended)) break;
    suspended = Handle(code);
  }
}

bool TServiceThread::Handle(uint32_t code) {
  switch (code) {
    case ccStop:
    case ccShutdown:
      if (service_.OnStopRequest) service_.OnStopRequest();
      service_.SetStatus(csStopPending);
      terminated_ = true;
      return false;
    case ccPause:
      // Once stopping, a pause would hold the stop up for good and report a state the
      // service is not heading for.
      if (terminated_) return false;
      service_.SetStatus(csPausePending);
      service_.SetStatus(csPaused);
      return true;
    case ccContinue:
      if (terminated_) return false;
      service_.SetStatus(csContinuePending);
      service_.SetStatus(csRunning);
      return false;
    case ccInterrogate:
      service_.ReportStatus();
      if (service_.OnInterrogate) service_.OnInterrogate();
      return false;
    default:
      return false;  // custom codes are accepted and ignored
  }
}

// ---- TService

TService::TService(std::string name, std::string displayName)
    : name_(std::move(name)), displayName_(std::move(displayName)) {}

TService::~TService() {
  if (thread_) thread_->WaitFor();
}

void TService::Main(const std::vector<std::string>& args) {
  params_ = args;
  // The thread object, and so its queue, exists before the handler is registered: a request
  // that arrives before the thread runs waits in the queue.
  thread_ = std::make_unique<TServiceThread>(*this);
  liveThread_ = thread_.get();
  // A service reporting to a sink of its own is connected to no manager: requests reach it
  // through Controller only.
  if (!sink_) {
    uint32_t error = 0;
    statusHandle_ = RegisterServiceControlHandler(name_, GetServiceController(), error);
    if (statusHandle_ == nullptr) {
      LogMessage(SystemErrorMessage(error));
      return;
    }
  }
  try {
    SetStatus(csStartPending);
    thread_->Start();
    thread_->WaitFor();
  } catch (const std::exception& e) {
    LogMessage(std::string("Service failed on execute: ") + e.what());
  } catch (...) {
    LogMessage("Service failed on execute: Unknown exception");
  }
  SetStatus(csStopped);
}

void TService::Controller(uint32_t code) {
  if (TServiceThread* t = liveThread_.load()) t->Post(code);
}

TControlHandlerProc TService::GetServiceController() {
  return [this](uint32_t code) { Controller(code); };
}

TCurrentStatus TService::Status() const {
  std::lock_guard<std::mutex> hold(statusLock_);
  return status_;
}

void TService::SetStatus(TCurrentStatus status) {
  {
    std::lock_guard<std::mutex> hold(statusLock_);
    status_ = status;
  }
  ReportStatus();
}

TServiceStatusRecord TService::NextStatusRecord() {
  TServiceStatusRecord r;
  r.currentState = status_;
  if (status_ != csStartPending) {
    if (AllowStop) r.controlsAccepted |= kAcceptStop | kAcceptShutdown;
    if (AllowPause) r.controlsAccepted |= kAcceptPauseContinue;
  }
  const uint32_t specific = ErrCode;
  r.win32ExitCode = specific != 0 ? kServiceSpecificError : Win32ErrCode.load();
  r.serviceSpecificExitCode = specific;
  r.waitHint = WaitHint;
  const bool pending = status_ == csStartPending || status_ == csStopPending ||
                       status_ == csContinuePending || status_ == csPausePending;
  checkPoint_ = pending && lastReported_ == status_ ? checkPoint_ + 1 : 0;
  lastReported_ = status_;
  r.checkPoint = checkPoint_;
  return r;
}

void TService::SetStatusDetails(const std::string& details) {
  {
    std::lock_guard<std::mutex> hold(statusLock_);
    details_ = details;
  }
  // Tests that watch the reports through a sink see only state changes.
  if (!sink_) SetServiceStatusText(statusHandle_, StatusLine());
}

std::string TService::StatusLine() const {
  std::lock_guard<std::mutex> hold(statusLock_);
  std::string line = StatusName(status_);
  if (!details_.empty()) line += "; " + details_;
  return line;
}

const char* StatusName(TCurrentStatus status) {
  switch (status) {
    case csStopped:
      return "stopped";
    case csStartPending:
      return "start pending";
    case csStopPending:
      return "stop pending";
    case csRunning:
      return "running";
    case csContinuePending:
      return "continue pending";
    case csPausePending:
      return "pause pending";
    case csPaused:
      return "paused";
  }
  return "unknown";
}

void TService::ReportStatus() {
  uint32_t error = 0;
  bool ok;
  {
    std::lock_guard<std::mutex> hold(statusLock_);
    const TServiceStatusRecord record = NextStatusRecord();
    ok = sink_ ? sink_(record, error) : SetServiceStatusRecord(statusHandle_, record, error);
  }
  if (!ok) LogMessage(SystemErrorMessage(error));
}

void TService::LogMessage(const std::string& text) {
  std::lock_guard<std::mutex> hold(statusLock_);
  if (!logger_) logger_ = std::make_unique<TEventLogger>(name_);
  logger_->LogMessage(text);
}

int TService::ProcessExitStatus() const {
  const uint32_t specific = ErrCode;
  if (specific != 0) return specific % 256 != 0 ? static_cast<int>(specific % 256) : 1;
  return Win32ErrCode != 0 ? 1 : 0;
}

}  // namespace fw
