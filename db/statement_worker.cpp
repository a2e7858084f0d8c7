#include "db/statement_worker.h"

#include <chrono>
#include <functional>

#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "db/statement.h"

namespace fw {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHookInterval = std::chrono::milliseconds(50);
// A wait polls for a while before it sleeps, for as long as polling pays. On an idle machine a
// thread that sleeps costs tens of microseconds to wake (more than a whole SQLite INSERT),
// while next to a busy process a polling thread only takes the CPU from the thread it waits
// for (measured: four to forty times slower). So each poll that sees the awaited event
// doubles the next poll's budget, each one that does not halves it, down to none; every 64th
// wait tries a short poll again.
class TPollBudget {
 public:
  template <typename Ready>
  bool Poll(Ready ready) {
    auto limit = budget_;
    if (limit == Clock::duration::zero() && ++idle_ % 64 == 0) limit = kProbe;
    if (limit == Clock::duration::zero()) return false;
    const auto until = Clock::now() + limit;
    do {
      if (ready()) {
        budget_ = std::min<Clock::duration>(std::max(budget_, kProbe) * 2, kMax);
        return true;
      }
    } while (Clock::now() < until);
    budget_ = budget_ / 2 < kProbe ? Clock::duration::zero() : budget_ / 2;
    return false;
  }

 private:
  static constexpr Clock::duration kProbe = std::chrono::microseconds(10);
  static constexpr Clock::duration kMax = std::chrono::microseconds(100);
  Clock::duration budget_ = kProbe;
  unsigned idle_ = 0;
};

thread_local TPollBudget callerPoll;

struct TWaitHook {
  std::function<void()> hook;
  Clock::time_point lastCall;
  bool running = false;  // a statement the hook itself runs must not call it again
};

thread_local TWaitHook waitHook;
thread_local std::function<bool()> cancelCheck;

bool CancelRequested() {
  try {
    return cancelCheck && cancelCheck();
  } catch (...) {
    return false;
  }
}

}  // namespace

void SetExecWaitHook(std::function<void()> hook) {
  waitHook.hook = std::move(hook);
  waitHook.lastCall = Clock::now();
}

void SetExecCancelCheck(std::function<bool()> check) {
  cancelCheck = std::move(check);
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

SQLRETURN TStatementWorker::Run(SQLHSTMT handle, const TBoundSql& sql,
                                std::vector<TOdbcParam>& buffers) {
  busy_ = true;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handle_ = handle;
    sql_ = &sql;
    buffers_ = &buffers;
    state_.store(kPosted, std::memory_order_release);
  }
  posted_.notify_one();
  PollExecWaitHook();
  const auto done = [this] { return state_.load(std::memory_order_acquire) == kDone; };
  callerPoll.Poll(done);
  std::unique_lock<std::mutex> guard(lock_);
  cancelled_ = false;
  while (!done_.wait_for(guard, kHookInterval, done)) {
    guard.unlock();
    PollExecWaitHook();
    if (!cancelled_ && CancelRequested()) {
      // The one ODBC call made for a statement that runs on another thread; the execution
      // then ends with an error.
      OdbcApi.SQLCancel(handle);
      cancelled_ = true;
    }
    guard.lock();
  }
  state_.store(kIdle, std::memory_order_relaxed);
  busy_ = false;
  return result_;
}

void TStatementWorker::Loop() {
  const auto posted = [this] { return state_.load(std::memory_order_acquire) == kPosted; };
  TPollBudget poll;
  for (;;) {
    // The next statement of a busy caller often follows at once.
    poll.Poll(posted);
    SQLHSTMT handle;
    const TBoundSql* sql;
    std::vector<TOdbcParam>* buffers;
    {
      std::unique_lock<std::mutex> guard(lock_);
      posted_.wait(guard, [&] { return stop_ || posted(); });
      if (!posted()) return;  // stopped
      handle = handle_;
      sql = sql_;
      buffers = buffers_;
    }
    SQLRETURN rc;
    try {
      rc = OdbcRun(handle, *sql, *buffers);
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
