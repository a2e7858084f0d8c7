// What an event loop does with an exception that escapes a task or a timer: its text goes to
// the handler the service set (which logs it) and the loop goes on, so that one failed tick
// never ends a service that runs unattended. Shared by the loops of both platforms.
#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <string>

namespace fw {

class TExceptionGuard {
 public:
  using THandler = std::function<void(const std::string&)>;

  void SetHandler(THandler handler) {
    std::lock_guard<std::mutex> hold(lock_);
    handler_ = std::move(handler);
  }

  void Run(const std::function<void()>& work) {
    try {
      work();
    } catch (const std::exception& e) {
      Report(e.what());
    } catch (...) {
      Report("Unknown exception");
    }
  }

 private:
  void Report(const std::string& message) {
    THandler handler;
    {
      std::lock_guard<std::mutex> hold(lock_);
      handler = handler_;
    }
    if (handler) handler(message);
  }

  std::mutex lock_;
  THandler handler_;
};

}  // namespace fw
