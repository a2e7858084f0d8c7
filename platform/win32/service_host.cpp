// Windows: the service control manager, the main thread's message loop with its timers,
// thread messages for the service thread, and message boxes.
#include "platform/service_host.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>

#include "platform/files.h"

namespace fw {
namespace {

constexpr UINT kTaskMessage = WM_APP + 1;      // lParam: a heap-allocated std::function
constexpr UINT kControlMessage = WM_USER + 1;  // wParam: the control code

}  // namespace

// ---- Event loop: the main thread's message queue.

struct TEventLoop::TImpl {
  DWORD threadId = GetCurrentThreadId();
  HWND window = nullptr;  // hidden message-only window that owns the timers
  std::mutex lock;
  std::function<void(const std::string&)> onException;

  void Guarded(const std::function<void()>& work) {
    try {
      work();
    } catch (const std::exception& e) {
      Report(e.what());
    } catch (...) {
      Report("Unknown exception");
    }
  }
  void Report(const std::string& message) {
    std::function<void(const std::string&)> handler;
    {
      std::lock_guard<std::mutex> hold(lock);
      handler = onException;
    }
    if (handler) handler(message);
  }
};

struct TTimer::TImpl {
  TEventLoop::TImpl* loop = nullptr;
  UINT_PTR id = 0;
  std::mutex lock;
  unsigned interval = 0;
  bool enabled = false;
  std::function<void()> onTimer;
};

namespace {

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_TIMER) {
    auto* timer = reinterpret_cast<TTimer::TImpl*>(wParam);
    if (timer != nullptr && timer->onTimer) timer->loop->Guarded(timer->onTimer);
    return 0;
  }
  if (msg == WM_ENDSESSION) return 0;  // a user logging off does not end the service
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND CreateLoopWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = LoopWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "FenwoldLoopWindow";
  RegisterClassA(&wc);
  return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         wc.hInstance, nullptr);
}

void PostToLoop(TEventLoop::TImpl& loop, std::function<void()> task) {
  auto* heap = new std::function<void()>(std::move(task));
  if (!PostThreadMessageA(loop.threadId, kTaskMessage, 0, reinterpret_cast<LPARAM>(heap))) {
    delete heap;
  }
}

// SetTimer and KillTimer must run on the thread that owns the window.
void ApplyTimer(TTimer::TImpl& t) {
  std::lock_guard<std::mutex> hold(t.lock);
  KillTimer(t.loop->window, t.id);
  if (t.enabled) SetTimer(t.loop->window, t.id, t.interval, nullptr);
}

}  // namespace

TEventLoop::TEventLoop() : impl_(std::make_unique<TImpl>()) {
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  impl_->window = CreateLoopWindow();
}

TEventLoop::~TEventLoop() {
  if (impl_->window != nullptr) DestroyWindow(impl_->window);
}

void TEventLoop::Run() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == nullptr && msg.message == kTaskMessage) {
      std::unique_ptr<std::function<void()>> task(
          reinterpret_cast<std::function<void()>*>(msg.lParam));
      impl_->Guarded(*task);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void TEventLoop::Quit() {
  PostThreadMessageA(impl_->threadId, WM_QUIT, 0, 0);
}

void TEventLoop::Post(std::function<void()> task) {
  PostToLoop(*impl_, std::move(task));
}

void TEventLoop::SetExceptionHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->onException = std::move(handler);
}

TTimer::TTimer(TEventLoop& loop, unsigned intervalMs, std::function<void()> onTimer)
    : impl_(std::make_unique<TImpl>()) {
  impl_->loop = &loop.Impl();
  impl_->id = reinterpret_cast<UINT_PTR>(impl_.get());
  impl_->interval = intervalMs;
  impl_->onTimer = std::move(onTimer);
}

TTimer::~TTimer() {
  KillTimer(impl_->loop->window, impl_->id);
}

void TTimer::SetEnabled(bool enabled) {
  {
    std::lock_guard<std::mutex> hold(impl_->lock);
    if (impl_->enabled == enabled) return;
    impl_->enabled = enabled;
  }
  if (GetCurrentThreadId() == impl_->loop->threadId) {
    ApplyTimer(*impl_);
  } else {
    TImpl* t = impl_.get();
    PostToLoop(*impl_->loop, [t] { ApplyTimer(*t); });
  }
}

bool TTimer::Enabled() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->enabled;
}

void TTimer::SetInterval(unsigned intervalMs) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->interval = intervalMs;
}

unsigned TTimer::Interval() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->interval;
}

// ---- The service thread's queue: its thread messages.

struct TThreadQueue::TImpl {
  std::mutex lock;
  DWORD threadId = 0;
  std::vector<uint32_t> early;  // posted before the owning thread had a message queue
};

TThreadQueue::TThreadQueue() : impl_(std::make_unique<TImpl>()) {}
TThreadQueue::~TThreadQueue() = default;

void TThreadQueue::AttachToCurrentThread() {
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->threadId = GetCurrentThreadId();
  for (uint32_t code : impl_->early) PostThreadMessageA(impl_->threadId, kControlMessage, code, 0);
  impl_->early.clear();
}

void TThreadQueue::Post(uint32_t code) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  // A thread message sent before the queue exists is lost; keep it until the thread attaches.
  if (impl_->threadId == 0) {
    impl_->early.push_back(code);
  } else {
    PostThreadMessageA(impl_->threadId, kControlMessage, code, 0);
  }
}

bool TThreadQueue::Take(uint32_t& code, bool wait) {
  bool attached = false;
  {
    std::lock_guard<std::mutex> hold(impl_->lock);
    attached = impl_->threadId != 0;
  }
  if (!attached) AttachToCurrentThread();  // the taker is the owner
  MSG msg;
  for (;;) {
    if (wait) {
      if (GetMessageA(&msg, nullptr, 0, 0) <= 0) return false;
    } else if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      return false;
    }
    if (msg.hwnd == nullptr && msg.message == kControlMessage) {
      code = static_cast<uint32_t>(msg.wParam);
      return true;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// ---- Service control manager.

namespace {

struct TScm {
  std::mutex lock;
  std::string name;
  TServiceMainProc serviceMain;
  TControlHandlerProc handler;
};

TScm& Scm() {
  static TScm scm;
  return scm;
}

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  std::vector<std::string> args(argv, argv + argc);
  TServiceMainProc main;
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    main = Scm().serviceMain;
  }
  if (main) main(args);
}

void WINAPI ControlHandlerEntry(DWORD code) {
  TControlHandlerProc handler;
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    handler = Scm().handler;
  }
  if (handler) handler(code);
}

struct TScHandle {
  SC_HANDLE h;
  explicit TScHandle(SC_HANDLE handle) : h(handle) {}
  ~TScHandle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
};

// Event Viewer finds the texts of a source's events in the message table of the file named
// here; ours holds one message, "%1", the event's own text.
constexpr char kEventSourceRoot[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The service's source (its name) and the service application's (the executable's file name).
std::vector<std::string> EventSources(const std::string& serviceName, const std::string& exe) {
  const size_t slash = exe.find_last_of("\\/:");
  return {serviceName, slash == std::string::npos ? exe : exe.substr(slash + 1)};
}

bool RegisterEventSource(const std::string& source, const std::string& exe) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kEventSourceRoot + source).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const bool ok =
      RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(exe.c_str()),
                     static_cast<DWORD>(exe.size() + 1)) == ERROR_SUCCESS &&
      RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                     sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

void RemoveEventSource(const std::string& source) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kEventSourceRoot + source).c_str());
}

TServiceRegistration LastErrorRegistration(bool managerFailed) {
  TServiceRegistration r;
  r.code = GetLastError();
  r.message = SystemErrorMessage(r.code);
  r.managerFailed = managerFailed;
  return r;
}

}  // namespace

void PrepareServiceProcess() {}

uint32_t RunServiceDispatcher(const std::string& serviceName, TServiceMainProc serviceMain) {
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    Scm().name = serviceName;
    Scm().serviceMain = std::move(serviceMain);
  }
  std::string name = serviceName;
  SERVICE_TABLE_ENTRYA table[2] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : GetLastError();
}

TServiceStatusHandle RegisterServiceControlHandler(const std::string& serviceName,
                                                   TControlHandlerProc handler, uint32_t& error) {
  {
    std::lock_guard<std::mutex> hold(Scm().lock);
    Scm().handler = std::move(handler);
  }
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerA(serviceName.c_str(), ControlHandlerEntry);
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

TServiceRegistration InstallServiceEntry(const TServiceInstallInfo& info) {
  TScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.h == nullptr) return LastErrorRegistration(true);
  TScHandle service(CreateServiceA(manager.h, info.name.c_str(), info.displayName.c_str(),
                                   SERVICE_ALL_ACCESS, info.serviceType, info.startType,
                                   info.errorControl, info.executablePath.c_str(), nullptr, nullptr,
                                   nullptr, nullptr, nullptr));
  if (service.h == nullptr) return LastErrorRegistration(false);
  // The service runs without its event texts too, so a failure here does not undo the install.
  for (const std::string& source : EventSources(info.name, info.executablePath)) {
    RegisterEventSource(source, info.executablePath);
  }
  TServiceRegistration r;
  r.ok = true;
  return r;
}

TServiceRegistration UninstallServiceEntry(const std::string& serviceName) {
  TScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.h == nullptr) return LastErrorRegistration(true);
  TScHandle service(OpenServiceA(manager.h, serviceName.c_str(), SERVICE_ALL_ACCESS));
  if (service.h == nullptr || !DeleteService(service.h)) return LastErrorRegistration(false);
  for (const std::string& source : EventSources(serviceName, ExecutablePath())) {
    RemoveEventSource(source);
  }
  TServiceRegistration r;
  r.ok = true;
  return r;
}

void SetServiceStatusText(TServiceStatusHandle, const std::string&) {}

std::string SystemErrorMessage(uint32_t code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string message = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

void ShowMessageBox(const std::string& text, bool isError) {
  // With no desktop to show it on the box fails at once; the text then goes to the console
  // rather than nowhere.
  if (MessageBoxA(nullptr, text.c_str(), "", MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION)) <= 0) {
    std::fprintf(isError ? stderr : stdout, "%s\n", text.c_str());
  }
}

unsigned WatchdogIntervalMs() {
  return 0;
}
void WatchdogPing() {}

}  // namespace fw
