#include "service/run_settings.h"

#include <cstdio>
#include <cstdlib>

#include "platform/environment.h"
#include "platform/files.h"

namespace fw {
namespace {

std::string Env(const char* name) {
  return EnvironmentValue(name);
}

}  // namespace

std::optional<unsigned> ParseTickMs(const std::string& text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 24u * 3600 * 1000) return std::nullopt;
  return value;
}

std::optional<TDateTime> ParseClockText(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  char sep = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s,
                  &used) != 7 ||
      static_cast<size_t>(used) != text.size() || (sep != ' ' && sep != 'T')) {
    return std::nullopt;
  }
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(y, mo, d, date) || !TryEncodeTime(h, mi, s, 0, time)) return std::nullopt;
  return date + time;
}

TRunSettings RunSettingsFromEnvironment() {
  TRunSettings r;
  if (const auto ms = ParseTickMs(Env("FENWOLD_TICK_MS"))) r.tickMs = *ms;
  std::string folder = Env("FENWOLD_LOG_DIR");
  // A packaged build keeps its log in /var/log/fenwold, not beside /usr/sbin/fenwold.
  if (folder.empty()) folder = FENWOLD_DEFAULT_LOG_DIR;
  if (folder.empty()) {
    folder = ExtractFilePath(ExecutablePath());
  } else {
    folder = ExpandFileName(folder);
    if (folder.back() != PathDelim) folder += PathDelim;
  }
  r.logFolder = folder;
  r.fakeStart = ParseClockText(Env("FENWOLD_FAKE_CLOCK"));
  const std::string step = Env("FENWOLD_FAKE_CLOCK_STEP");
  if (!step.empty()) r.fakeStepSeconds = std::strtod(step.c_str(), nullptr);
  return r;
}

TServiceClock::TServiceClock(const TRunSettings& settings)
    : fake_(settings.fakeStart), step_(settings.fakeStepSeconds) {}

// The fake time is worked out from its start each time, so that no rounding piles up.
TDateTime TServiceClock::Now() const {
  if (!fake_) return SystemClock().Now();
  return *fake_ + (ticks_ > 0 ? static_cast<double>(ticks_ - 1) * step_ / 86400.0 : 0.0);
}

void TServiceClock::StartTick() {
  ++ticks_;
}

}  // namespace fw
