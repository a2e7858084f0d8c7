// Windows: the main thread's message loop with its timers, and the service thread's queue of
// control codes as thread messages.
#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/exception_guard.h"
#include "platform/service_host.h"

namespace fw {
namespace {

constexpr UINT kTaskMessage = WM_APP + 1;      // lParam: a heap-allocated std::function
constexpr UINT kControlMessage = WM_USER + 1;  // wParam: the control code

}  // namespace

// ---- Event loop: the main thread's message queue.

struct TEventLoop::TImpl {
  DWORD threadId = GetCurrentThreadId();
  HWND window = nullptr;  // hidden message-only window that owns the timers
  TExceptionGuard guard;
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
    if (timer != nullptr && timer->onTimer) timer->loop->guard.Run(timer->onTimer);
    return 0;
  }
  if (msg == WM_ENDSESSION) return 0;  // a user logging off does not end the service
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND CreateLoopWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = LoopWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"FenwoldLoopWindow";
  RegisterClassW(&wc);
  return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         wc.hInstance, nullptr);
}

void PostToLoop(TEventLoop::TImpl& loop, std::function<void()> task) {
  auto* heap = new std::function<void()>(std::move(task));
  if (!PostThreadMessageW(loop.threadId, kTaskMessage, 0, reinterpret_cast<LPARAM>(heap))) {
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
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  impl_->window = CreateLoopWindow();
}

TEventLoop::~TEventLoop() {
  if (impl_->window != nullptr) DestroyWindow(impl_->window);
}

void TEventLoop::Run() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == nullptr && msg.message == kTaskMessage) {
      std::unique_ptr<std::function<void()>> task(
          reinterpret_cast<std::function<void()>*>(msg.lParam));
      impl_->guard.Run(*task);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void TEventLoop::Quit() {
  PostThreadMessageW(impl_->threadId, WM_QUIT, 0, 0);
}

void TEventLoop::Post(std::function<void()> task) {
  PostToLoop(*impl_, std::move(task));
}

void TEventLoop::SetExceptionHandler(std::function<void(const std::string&)> handler) {
  impl_->guard.SetHandler(std::move(handler));
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
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->threadId = GetCurrentThreadId();
  for (uint32_t code : impl_->early) PostThreadMessageW(impl_->threadId, kControlMessage, code, 0);
  impl_->early.clear();
}

void TThreadQueue::Post(uint32_t code) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  // A thread message sent before the queue exists is lost; keep it until the thread attaches.
  if (impl_->threadId == 0) {
    impl_->early.push_back(code);
  } else {
    PostThreadMessageW(impl_->threadId, kControlMessage, code, 0);
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
      if (GetMessageW(&msg, nullptr, 0, 0) <= 0) return false;
    } else if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      return false;
    }
    if (msg.hwnd == nullptr && msg.message == kControlMessage) {
      code = static_cast<uint32_t>(msg.wParam);
      return true;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace fw
