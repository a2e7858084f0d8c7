#include "platform/datetime.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace fw {
namespace {

using namespace std::chrono;

constexpr sys_days kEpoch = sys_days{year{1899} / December / 30};
constexpr double kMsPerDay = 86400000.0;

class TSystemClock final : public TClock {
 public:
  TDateTime Now() const override { return LocalNow(); }
};

}  // namespace

bool TryEncodeDate(int y, int m, int d, TDateTime& out) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  const year_month_day ymd{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}};
  if (!ymd.ok()) return false;
  out = static_cast<double>((sys_days{ymd} - kEpoch).count());
  return true;
}

bool TryEncodeTime(int h, int n, int s, int ms, TDateTime& out) {
  if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  out = ((h * 3600.0 + n * 60.0 + s) * 1000.0 + ms) / kMsPerDay;
  return true;
}

TDateTime EncodeDate(int y, int m, int d) {
  TDateTime v = 0;
  return TryEncodeDate(y, m, d, v) ? v : 0;
}

TDateTime EncodeTime(int h, int n, int s, int ms) {
  TDateTime v = 0;
  return TryEncodeTime(h, n, s, ms, v) ? v : 0;
}

TDateParts DecodeDateTime(TDateTime value) {
  // Work in whole milliseconds so that 23:59:59.9996 does not print as 24:00.
  const double totalMs = std::round(value * kMsPerDay);
  auto days = static_cast<long long>(std::floor(totalMs / kMsPerDay));
  auto msOfDay = static_cast<long long>(totalMs - static_cast<double>(days) * kMsPerDay);
  const sys_days sd = kEpoch + std::chrono::days{days};
  const year_month_day ymd{sd};
  TDateParts p;
  p.year = static_cast<int>(ymd.year());
  p.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  p.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  p.dayOfWeek = static_cast<int>(weekday{sd}.c_encoding()) + 1;
  p.hour = static_cast<int>(msOfDay / 3600000);
  p.minute = static_cast<int>(msOfDay / 60000 % 60);
  p.second = static_cast<int>(msOfDay / 1000 % 60);
  p.msec = static_cast<int>(msOfDay % 1000);
  return p;
}

TDateTime DateOf(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  return EncodeDate(p.year, p.month, p.day);
}

TDateTime TimeOf(TDateTime value) { return value - DateOf(value); }

const TClock& SystemClock() {
  static const TSystemClock clock;
  return clock;
}

// Digits written by hand: the pass formats two times of every card it writes, and snprintf
// was most of that.
std::string FormatDateTimeIso(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  if (p.year < 0 || p.year > 9999) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
    return text;
  }
  std::string text = "0000-00-00 00:00:00";
  const auto put = [&](size_t at, int n, size_t digits) {
    for (size_t i = digits; i-- > 0; n /= 10) text[at + i] = static_cast<char>('0' + n % 10);
  };
  put(0, p.year, 4);
  put(5, p.month, 2);
  put(8, p.day, 2);
  put(11, p.hour, 2);
  put(14, p.minute, 2);
  put(17, p.second, 2);
  return text;
}

}  // namespace fw
