// The main thread's event loop, its timers and the service thread's queue, on the standard
// library's threads.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/exception_guard.h"
#include "platform/service_host.h"

namespace fw {

using TSteadyClock = std::chrono::steady_clock;

struct TTimer::TImpl {
  TEventLoop::TImpl* loop = nullptr;
  unsigned interval = 0;
  bool enabled = false;
  TSteadyClock::time_point due{};
  std::function<void()> onTimer;
};

struct TEventLoop::TImpl {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::vector<TTimer::TImpl*> timers;
  bool quit = false;
  TExceptionGuard guard;
};

TEventLoop::TEventLoop() : impl_(std::make_unique<TImpl>()) {}
TEventLoop::~TEventLoop() = default;

void TEventLoop::Run() {
  TImpl& s = *impl_;
  std::unique_lock<std::mutex> hold(s.lock);
  while (!s.quit) {
    if (!s.tasks.empty()) {
      std::function<void()> task = std::move(s.tasks.front());
      s.tasks.pop_front();
      hold.unlock();
      s.guard.Run(task);
      hold.lock();
      continue;
    }
    TTimer::TImpl* next = nullptr;
    for (TTimer::TImpl* t : s.timers) {
      if (t->enabled && (next == nullptr || t->due < next->due)) next = t;
    }
    const auto now = TSteadyClock::now();
    if (next != nullptr && next->due <= now) {
      // A handler that leaves its timer on gets the next tick one interval after it started,
      // like a window timer; one that switches it off and on again starts afresh.
      next->due = now + std::chrono::milliseconds(next->interval);
      std::function<void()> handler = next->onTimer;
      hold.unlock();
      if (handler) s.guard.Run(handler);
      hold.lock();
      continue;
    }
    if (next != nullptr) {
      s.wake.wait_until(hold, next->due);
    } else {
      s.wake.wait(hold);
    }
  }
  s.quit = false;  // a later Run starts afresh
}

void TEventLoop::Quit() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->quit = true;
  impl_->wake.notify_all();
}

void TEventLoop::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->tasks.push_back(std::move(task));
  impl_->wake.notify_all();
}

void TEventLoop::SetExceptionHandler(std::function<void(const std::string&)> handler) {
  impl_->guard.SetHandler(std::move(handler));
}

TTimer::TTimer(TEventLoop& loop, unsigned intervalMs, std::function<void()> onTimer)
    : impl_(std::make_unique<TImpl>()) {
  impl_->loop = &loop.Impl();
  impl_->interval = intervalMs;
  impl_->onTimer = std::move(onTimer);
  std::lock_guard<std::mutex> hold(impl_->loop->lock);
  impl_->loop->timers.push_back(impl_.get());
}

TTimer::~TTimer() {
  std::lock_guard<std::mutex> hold(impl_->loop->lock);
  auto& timers = impl_->loop->timers;
  timers.erase(std::remove(timers.begin(), timers.end(), impl_.get()), timers.end());
}

void TTimer::SetEnabled(bool enabled) {
  std::lock_guard<std::mutex> hold(impl_->loop->lock);
  if (enabled && !impl_->enabled) {
    impl_->due = TSteadyClock::now() + std::chrono::milliseconds(impl_->interval);
  }
  impl_->enabled = enabled;
  impl_->loop->wake.notify_all();
}

bool TTimer::Enabled() const {
  std::lock_guard<std::mutex> hold(impl_->loop->lock);
  return impl_->enabled;
}

void TTimer::SetInterval(unsigned intervalMs) {
  std::lock_guard<std::mutex> hold(impl_->loop->lock);
  impl_->interval = intervalMs;
}

unsigned TTimer::Interval() const {
  std::lock_guard<std::mutex> hold(impl_->loop->lock);
  return impl_->interval;
}

struct TThreadQueue::TImpl {
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<uint32_t> codes;
};

TThreadQueue::TThreadQueue() : impl_(std::make_unique<TImpl>()) {}
TThreadQueue::~TThreadQueue() = default;

void TThreadQueue::AttachToCurrentThread() {}

void TThreadQueue::Post(uint32_t code) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->codes.push_back(code);
  impl_->arrived.notify_all();
}

bool TThreadQueue::Take(uint32_t& code, bool wait) {
  std::unique_lock<std::mutex> hold(impl_->lock);
  if (wait) impl_->arrived.wait(hold, [this] { return !impl_->codes.empty(); });
  if (impl_->codes.empty()) return false;
  code = impl_->codes.front();
  impl_->codes.pop_front();
  return true;
}

}  // namespace fw
