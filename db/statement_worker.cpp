#include "db/statement_worker.h"

#include <chrono>
#include <functional>

#include "db/odbc_binding.h"
#include "db/statement.h"

namespace fw {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHookInterval = std::chrono::milliseconds(50);
// Both sides sleep on condition variables. Polling before sleeping was measured on a shared
// two-CPU machine: it halved the cost of a statement when both CPUs were free, and made it
// four to forty times dearer when another process kept one busy, since the polling thread
// then only took the CPU from the thread it waited for.

struct TWaitHook {
  std::function<void()> hook;
  Clock::time_point lastCall;
  bool running = false;  // a statement the hook itself runs must not call it again
};

thread_local TWaitHook waitHook;

}  // namespace

void SetExecWaitHook(std::function<void()> hook) {
  waitHook.hook = std::move(hook);
  waitHook.lastCall = Clock::now();
}

bool HasExecWaitHook() {
  return static_cast<bool>(waitHook.hook);
}

void PollExecWaitHook() {
  if (!waitHook.hook || waitHook.running) return;
  const auto now = Clock::now();
  if (now - waitHook.lastCall < kHookInterval) return;
  waitHook.lastCall = now;
  waitHook.running = true;
  try {
    waitHook.hook();
  } catch (...) {
    // The statement's wait goes on; the hook's owner reports its own failures.
  }
  waitHook.running = false;
}

TStatementWorker::TStatementWorker() : thread_([this] { Loop(); }) {}

TStatementWorker::~TStatementWorker() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  posted_.notify_one();
  thread_.join();
}

SQLRETURN TStatementWorker::Run(SQLHSTMT handle, const std::string& sql) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    handle_ = handle;
    sql_ = &sql;
    state_.store(kPosted, std::memory_order_release);
  }
  posted_.notify_one();
  PollExecWaitHook();
  const auto done = [this] { return state_.load(std::memory_order_acquire) == kDone; };
  std::unique_lock<std::mutex> guard(lock_);
  while (!done_.wait_for(guard, kHookInterval, done)) {
    guard.unlock();
    PollExecWaitHook();
    guard.lock();
  }
  state_.store(kIdle, std::memory_order_relaxed);
  return result_;
}

void TStatementWorker::Loop() {
  const auto posted = [this] { return state_.load(std::memory_order_acquire) == kPosted; };
  for (;;) {
    SQLHSTMT handle;
    const std::string* sql;
    {
      std::unique_lock<std::mutex> guard(lock_);
      posted_.wait(guard, [&] { return stop_ || posted(); });
      if (!posted()) return;  // stopped
      handle = handle_;
      sql = sql_;
    }
    SQLRETURN rc;
    try {
      rc = OdbcApi.SQLExecDirect(
          handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql->c_str())), SQL_NTS);
    } catch (...) {
      rc = SQL_ERROR;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      result_ = rc;
      state_.store(kDone, std::memory_order_release);
    }
    done_.notify_one();
  }
}

}  // namespace fw
