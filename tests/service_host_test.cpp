// The service host without the service body: switches, states and status reports with their
// checkpoints, control requests, the event loop and its timers, and the run settings.
#include "platform/service_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "service/host/command_line.h"
#include "service/host/service.h"
#include "service/run_settings.h"
#include "tests/support/test_platform.h"

namespace fw {
namespace {

using namespace std::chrono_literals;

TEST(CommandLine, Switches) {
  struct Case {
    std::vector<std::string> params;
    TRunMode mode;
    bool silent;
  } cases[] = {
      {{}, rmService, false},
      {{"/INSTALL"}, rmInstall, false},
      {{"-install"}, rmInstall, false},
      {{"-iNsTaLl", "/silent"}, rmInstall, true},
      {{"-install", "-silent"}, rmInstall, true},
      {{"x", "y", "/UNINSTALL"}, rmUninstall, false},
      {{"-SILENT", "/Uninstall"}, rmUninstall, true},
      {{"/uninstall", "-INSTALL"}, rmInstall, false},  // INSTALL is looked for first
      {{"/CONFIGURE", "/silent"}, rmConfigure, true},
      {{"-configure", "/UNINSTALL"}, rmUninstall, false},
      {{"/installx"}, rmService, false},               // further letters: not the switch
      {{"/instal"}, rmService, false},
      {{"install"}, rmService, false},  // no "/" or "-"
      {{"--install"}, rmService, false},
      {{"\\install"}, rmService, false},
      {{"/"}, rmService, false},
      {{"-"}, rmService, false},
      {{"/silent"}, rmService, true},  // read, but without a switch to quieten
  };
  for (const Case& c : cases) {
    std::string label;
    for (const auto& p : c.params) label += p + " ";
    const TCommandLine parsed = ParseCommandLine(c.params);
    EXPECT_EQ(parsed.mode, c.mode) << label;
    EXPECT_EQ(parsed.silent, c.silent) << label;
  }
}

TEST(CommandLine, HelpInEitherFormAnywhere) {
  const struct {
    std::vector<std::string> params;
    bool help;
  } cases[] = {
      {{"/help"}, true}, {{"/HELP"}, true},     {{"-Help"}, true},   {{"--help"}, true},
      {{"/?"}, true},    {{"-h"}, true},        {{"/H"}, true},      {{"/install", "/?"}, true},
      {{"help"}, false}, {{"/helpme"}, false},  {{"--HELP"}, false}, {{"/??"}, false},
      {{}, false},       {{"/install"}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AsksForHelp(c.params), c.help) << (c.params.empty() ? "" : c.params.back());
  }
}

// A service whose status reports are recorded and whose body waits for the test before it
// handles its requests, so that the requests are queued in a known order.
class RecordingService {
 public:
  RecordingService() : service_("Probe", "Probe Service") {
    service_.SetStatusSink([this](const TServiceStatusRecord& r, uint32_t& error) {
      std::lock_guard<std::mutex> hold(lock_);
      reports_.push_back(r);
      error = refuseWith_;
      return refuseWith_ == 0;
    });
    service_.OnExecute = [this](TService& s) {
      {
        std::unique_lock<std::mutex> hold(lock_);
        released_.wait(hold, [this] { return go_; });
      }
      if (body_) body_(s);
      while (!s.ServiceThread()->Terminated()) {
        s.ServiceThread()->ProcessRequests(false);
        std::this_thread::sleep_for(2ms);
      }
    };
  }
  ~RecordingService() {
    Release();
    if (main_.joinable()) main_.join();
  }

  void Start() {
    main_ = std::thread([this] { service_.Main({"Probe"}); });
    // Wait for the running report: the thread exists and its queue takes requests.
    for (int i = 0; i < 500 && service_.Status() != csRunning; ++i)
      std::this_thread::sleep_for(2ms);
    ASSERT_EQ(service_.Status(), csRunning);
  }
  void Release() {
    std::lock_guard<std::mutex> hold(lock_);
    go_ = true;
    released_.notify_all();
  }
  void Join() { main_.join(); }
  std::vector<TServiceStatusRecord> Reports() {
    std::lock_guard<std::mutex> hold(lock_);
    return reports_;
  }

  TService service_;
  std::function<void(TService&)> body_;
  uint32_t refuseWith_ = 0;

 private:
  std::mutex lock_;
  std::condition_variable released_;
  bool go_ = false;
  std::vector<TServiceStatusRecord> reports_;
  std::thread main_;
};

struct Expected {
  uint32_t state, checkPoint, controls;
};

void ExpectReports(const std::vector<TServiceStatusRecord>& got,
                   const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].currentState, want[i].state) << "report " << i;
    EXPECT_EQ(got[i].checkPoint, want[i].checkPoint) << "report " << i;
    EXPECT_EQ(got[i].controlsAccepted, want[i].controls) << "report " << i;
    EXPECT_EQ(got[i].serviceType, 0x10u);
    EXPECT_EQ(got[i].waitHint, 5000u);
  }
}

TEST(ServiceStates, RequestsInOrderWithCheckpoints) {
  RecordingService probe;
  probe.Start();
  // Queued before the body handles any of them.
  for (uint32_t code :
       std::initializer_list<uint32_t>{ccPause, ccInterrogate, ccContinue, ccContinue, 200u, ccStop,
                                       ccStop, ccPause, ccContinue}) {
    probe.service_.Controller(code);
  }
  probe.Release();
  probe.Join();
  ExpectReports(probe.Reports(), {
                                     {csStartPending, 0, 0},  // service main
                                     {csStartPending, 1, 0},  // service thread: same again
                                     {csRunning, 0, 7},
                                     {csPausePending, 0, 7},
                                     {csPaused, 0, 7},
                                     {csPaused, 0, 7},  // interrogate: not pending, no count
                                     {csContinuePending, 0, 7},
                                     {csRunning, 0, 7},
                                     {csContinuePending, 0, 7},
                                     {csRunning, 0, 7},
                                     {csStopPending, 0, 7},
                                     {csStopPending, 1, 7},  // a second stop counts up
                                     // pause and continue after the stop change nothing
                                     {csStopped, 0, 7},
                                 });
  EXPECT_EQ(probe.service_.ProcessExitStatus(), 0);
}

TEST(ServiceStates, ShutdownStopsAndInterrogateRepeatsPending) {
  RecordingService probe;
  probe.Start();
  probe.service_.Controller(ccShutdown);
  probe.service_.Controller(ccInterrogate);
  probe.service_.Controller(ccInterrogate);
  probe.Release();
  probe.Join();
  ExpectReports(probe.Reports(), {
                                     {csStartPending, 0, 0},
                                     {csStartPending, 1, 0},
                                     {csRunning, 0, 7},
                                     {csStopPending, 0, 7},
                                     {csStopPending, 1, 7},
                                     {csStopPending, 2, 7},
                                     {csStopped, 0, 7},
                                 });
}

TEST(ServiceStates, PauseHoldsTheBodyUntilTheNextRequest) {
  RecordingService probe;
  std::atomic<int> rounds{0};
  probe.body_ = [&](TService& s) {
    s.ServiceThread()->ProcessRequests(false);  // handles the pause and waits in it
    rounds = 1;
  };
  probe.Start();
  probe.service_.Controller(ccPause);
  probe.Release();
  for (int i = 0; i < 500 && probe.service_.Status() != csPaused; ++i) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_EQ(probe.service_.Status(), csPaused);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(rounds.load(), 0) << "the paused thread went on";
  probe.service_.Controller(ccContinue);
  for (int i = 0; i < 500 && rounds.load() == 0; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(rounds.load(), 1);
  EXPECT_EQ(probe.service_.Status(), csRunning);
  probe.service_.Controller(ccStop);
  probe.Join();
  EXPECT_EQ(probe.Reports().back().currentState, static_cast<uint32_t>(csStopped));
}

TEST(ServiceStates, FailureExitCodeReachesTheStoppedReport) {
  RecordingService probe;
  probe.body_ = [](TService& s) {
    s.ErrCode = 1;
    s.ServiceThread()->Terminate();
  };
  probe.Start();
  probe.Release();
  probe.Join();
  const TServiceStatusRecord last = probe.Reports().back();
  EXPECT_EQ(last.currentState, static_cast<uint32_t>(csStopped));
  EXPECT_EQ(last.win32ExitCode, kServiceSpecificError);
  EXPECT_EQ(last.serviceSpecificExitCode, 1u);
  EXPECT_NE(probe.service_.ProcessExitStatus(), 0);
}

TEST(ServiceStates, ExitStatusOfTheProcess) {
  struct Case {
    uint32_t win32, specific;
    int status;
  } cases[] = {{0, 0, 0}, {0, 1, 1}, {0, 3, 3}, {0, 256, 1}, {0, 257, 1}, {5, 0, 1}, {5, 2, 2}};
  for (const Case& c : cases) {
    TService s("X", "");
    s.Win32ErrCode = c.win32;
    s.ErrCode = c.specific;
    EXPECT_EQ(s.ProcessExitStatus(), c.status) << c.win32 << "/" << c.specific;
  }
}

TEST(ServiceStates, ExecuteFailureAndRefusedReportGoToTheEventLog) {
  testing::internal::CaptureStderr();
  {
    RecordingService probe;
    probe.body_ = [](TService&) { throw std::runtime_error("boom"); };
    probe.Start();
    probe.refuseWith_ = 22;  // EINVAL
    probe.Release();
    probe.Join();
    EXPECT_EQ(probe.Reports().back().currentState, static_cast<uint32_t>(csStopped));
  }
  const std::string err = testing::internal::GetCapturedStderr();
  if (test::EventLogEchoesToStderr()) {
    EXPECT_NE(err.find("Probe: Service failed on execute: boom"), std::string::npos) << err;
    EXPECT_NE(err.find("Probe: " + SystemErrorMessage(22)), std::string::npos) << err;
  }
}

TEST(ServiceStates, SystemErrorText) {
  EXPECT_EQ(SystemErrorText(0, "whatever"), "A call to an OS function failed");
  EXPECT_EQ(SystemErrorText(17, "File exists"), "System Error.  Code: 17.\nFile exists");
}

TEST(EventLoop, TasksInOrderTimersBetweenThem) {
  TEventLoop loop;
  std::vector<std::string> seen;
  int ticks = 0;
  TTimer timer(loop, 10, [&] {
    seen.push_back("tick");
    if (++ticks == 3) loop.Quit();
  });
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i)
      loop.Post([&seen, i] { seen.push_back("task" + std::to_string(i)); });
    timer.SetEnabled(true);  // from another thread
  });
  poster.join();
  loop.Run();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0], "task0");
  EXPECT_EQ(seen[1], "task1");
  EXPECT_EQ(seen[2], "task2");
  EXPECT_EQ(seen[3], "tick");
}

TEST(EventLoop, ReenablingStartsAFreshInterval) {
  TEventLoop loop;
  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> at;
  const auto interval = 40ms;
  TTimer* self = nullptr;
  TTimer timer(loop, 40, [&] {
    at.push_back(Clock::now());
    self->SetEnabled(false);
    std::this_thread::sleep_for(60ms);  // work longer than the interval
    if (at.size() == 2) {
      loop.Quit();
      return;
    }
    self->SetEnabled(true);
  });
  self = &timer;
  timer.SetEnabled(true);
  loop.Run();
  ASSERT_EQ(at.size(), 2u);
  // The second tick comes one interval after the first one's work, not at once.
  EXPECT_GE(at[1] - at[0], 60ms + interval);
}

TEST(EventLoop, DisabledTimerDoesNotFireAndExceptionsAreReported) {
  TEventLoop loop;
  std::vector<std::string> errors;
  loop.SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
  int fired = 0;
  TTimer timer(loop, 5, [&] { ++fired; });
  timer.SetEnabled(true);
  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Enabled());
  loop.Post([] { throw std::runtime_error("task failed"); });
  loop.Post([] { throw 42; });
  std::thread late([&] {
    std::this_thread::sleep_for(30ms);
    loop.Post([&] { loop.Quit(); });
  });
  loop.Run();
  late.join();
  EXPECT_EQ(fired, 0);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "task failed");
  EXPECT_EQ(errors[1], "Unknown exception");
}

TEST(ThreadQueue, TakeWaitsOnlyWhenAsked) {
  TThreadQueue q;
  uint32_t code = 0;
  EXPECT_FALSE(q.Take(code, false));
  std::thread later([&] {
    std::this_thread::sleep_for(20ms);
    q.Post(9);
    q.Post(10);
  });
  ASSERT_TRUE(q.Take(code, true));
  EXPECT_EQ(code, 9u);
  later.join();
  ASSERT_TRUE(q.Take(code, false));
  EXPECT_EQ(code, 10u);
  EXPECT_FALSE(q.Take(code, false));
}

TEST(RunSettings, TickInterval) {
  struct Case {
    const char* text;
    std::optional<unsigned> ms;
  } cases[] = {{"25000", 25000u},
               {"1", 1u},
               {"300", 300u},
               {"0", std::nullopt},
               {"", std::nullopt},
               {"-5", std::nullopt},
               {"12ms", std::nullopt},
               {" 5", std::nullopt},
               {"86400000", 86400000u},
               {"86400001", std::nullopt},
               {"999999999999", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(ParseTickMs(c.text), c.ms) << c.text;
}

TEST(RunSettings, ClockText) {
  const auto t = ParseClockText("2024-05-06 10:59:40");
  ASSERT_TRUE(t.has_value());
  const TDateParts p = DecodeDateTime(*t);
  EXPECT_EQ(p.year, 2024);
  EXPECT_EQ(p.month, 5);
  EXPECT_EQ(p.day, 6);
  EXPECT_EQ(p.hour, 10);
  EXPECT_EQ(p.minute, 59);
  EXPECT_EQ(p.second, 40);
  EXPECT_TRUE(ParseClockText("2024-05-06T00:00:00").has_value());
  for (const char* bad : {"", "2024-05-06", "2024-02-30 10:00:00", "2024-05-06 24:00:00",
                          "2024-05-06 10:00:00x", "2024/05/06 10:00:00", "garbage"}) {
    EXPECT_FALSE(ParseClockText(bad).has_value()) << bad;
  }
}

TEST(RunSettings, FakeClockMovesOnePerTickAfterTheFirst) {
  TRunSettings s;
  s.fakeStart = ParseClockText("2024-05-06 10:59:40");
  s.fakeStepSeconds = 20;
  TServiceClock clock(s);
  std::vector<int> minutes, seconds;
  for (int i = 0; i < 200; ++i) {
    clock.StartTick();
    const TDateParts p = DecodeDateTime(clock.Now());
    minutes.push_back(p.minute);
    seconds.push_back(p.second);
  }
  EXPECT_EQ(minutes[0], 59);
  EXPECT_EQ(seconds[0], 40);
  EXPECT_EQ(minutes[1], 0);
  EXPECT_EQ(seconds[1], 0);
  EXPECT_EQ(minutes[2], 0);
  EXPECT_EQ(seconds[2], 20);
  // No drift after many ticks: 199 steps of 20 s from 10:59:40 is 12:06:00.
  EXPECT_EQ(minutes[199], 6);
  EXPECT_EQ(seconds[199], 0);
}

}  // namespace
}  // namespace fw
