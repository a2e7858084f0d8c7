// What the environment may change about a run of the service:
//   FENWOLD_TICK_MS          the timer interval in ms (default 25000)
//   FENWOLD_LOG_DIR          the log's folder (default: the executable's folder)
//   FENWOLD_FAKE_CLOCK       "YYYY-MM-DD hh:mm:ss": the service's clock starts there and stands
//                            still, for tests of the time rules
//   FENWOLD_FAKE_CLOCK_STEP  seconds the fake clock moves at each tick after the first
#pragma once

#include <optional>
#include <string>

#include "platform/datetime.h"

namespace fw {

constexpr unsigned kDefaultTickMs = 25000;

struct TRunSettings {
  unsigned tickMs = kDefaultTickMs;
  std::string logFolder;  // ends in the path delimiter
  std::optional<TDateTime> fakeStart;
  double fakeStepSeconds = 0;
};

TRunSettings RunSettingsFromEnvironment();

// A positive whole number of ms up to a day; nullopt otherwise.
std::optional<unsigned> ParseTickMs(const std::string& text);
// "YYYY-MM-DD hh:mm:ss" (or with a "T"); nullopt when it is no valid date and time.
std::optional<TDateTime> ParseClockText(const std::string& text);

// The service's clock: the real one, or the fake one of the settings. StartTick from the tick
// only (the main thread); Now from the thread that runs the ticks or, before they start, the
// one that made the clock.
class TServiceClock : public TClock {
 public:
  explicit TServiceClock(const TRunSettings& settings);
  TDateTime Now() const override;
  // Called at the start of every tick; moves a fake clock on from the second tick on.
  void StartTick();

 private:
  std::optional<TDateTime> fake_;
  double step_ = 0;
  long ticks_ = 0;
};

}  // namespace fw
