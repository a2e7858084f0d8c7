// The tick schedule's rule for the future-card pass, and the hour's pass, without a service.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "service/tick_schedule.h"

namespace fw {
namespace {

using namespace std::chrono_literals;

struct TSchedule {
  TEventLoop loop;  // never run: a wake stays pending
  std::atomic<bool> stop{false};
  TTickSchedule schedule{loop, 25000, stop, [] { return false; }, nullptr};
};

// Each fact holds the pass back alone; a wake on its way (more files) holds it back too, but
// not past a second, or a drop folder that never goes quiet would starve the pass.
TEST(TickSchedule, PassRunsWhenOwedReachedNotStoppingAndNoMoreFilesComing) {
  struct Case {
    const char* name;
    TPassFacts facts;
    bool wake;
    bool runs;
  } cases[] = {
      {"due", {.owed = true, .stopping = false, .reached = true}, false, true},
      {"not owed", {.owed = false, .stopping = false, .reached = true}, false, false},
      {"stopping", {.owed = true, .stopping = true, .reached = true}, false, false},
      {"not reached", {.owed = true, .stopping = false, .reached = false}, false, false},
      {"files coming", {.owed = true, .stopping = false, .reached = true}, true, false},
  };
  for (const Case& c : cases) {
    TSchedule s;
    if (c.wake) s.schedule.Wake();
    EXPECT_EQ(s.schedule.PassRunsNow(c.facts), c.runs) << c.name;
  }
  TSchedule s;
  const TPassFacts due{.owed = true, .stopping = false, .reached = true};
  s.schedule.Wake();
  ASSERT_FALSE(s.schedule.PassRunsNow(due));
  std::this_thread::sleep_for(1100ms);
  EXPECT_TRUE(s.schedule.PassRunsNow(due)) << "the wait for a burst has no end";
  s.schedule.PassSettled(false);
  EXPECT_FALSE(s.schedule.PassRunsNow(due)) << "a settled pass starts a fresh wait";
}

// The first tick of minute 0 strikes the hour, the next does not, a third does again; a tick
// that is stopping leaves the count as it was.
TEST(TickSchedule, HourStrikesOnTheFirstTickOfMinuteZero) {
  TSchedule s;
  const TDateTime day = EncodeDate(2024, 5, 6);
  struct Tick {
    int hour, minute;
    bool stopping, struck;
  } ticks[] = {{10, 59, false, false}, {11, 0, true, false}, {11, 0, false, true},
               {11, 0, false, false},  {11, 0, false, true}, {11, 1, false, false},
               {12, 0, false, true}};
  for (const Tick& t : ticks) {
    EXPECT_EQ(s.schedule.HourStruck(day + EncodeTime(t.hour, t.minute, 0), t.stopping), t.struck)
        << t.hour << ":" << t.minute << (t.stopping ? " stopping" : "");
  }
}

}  // namespace
}  // namespace fw
