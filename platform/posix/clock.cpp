#include <sys/time.h>

#include <ctime>

#include "platform/datetime.h"

namespace fw {

TDateTime LocalNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  localtime_r(&tv.tv_sec, &tm);
  TDateTime d = 0, t = 0;
  TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, d);
  // A leap second reads as :59 rather than failing.
  TryEncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec,
                static_cast<int>(tv.tv_usec / 1000), t);
  return d + t;
}

}  // namespace fw
