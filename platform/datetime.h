// Date-time values: days since 1899-12-30 00:00 as a double, the time of day as the fraction.
// All calendar arithmetic goes through <chrono>; local time comes from the platform.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

using TDateTime = double;

struct TDateParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, msec = 0;
  int dayOfWeek = 7;  // Sunday = 1 .. Saturday = 7
};

// False (and `out` untouched) when y-m-d is not a calendar date of years 1..9999.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
// False when hour > 23, minute > 59, second > 59 or msec > 999 (or any is negative).
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
// Asserting forms for values known to be valid; an invalid one gives 0.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec = 0);

// Splits a value into its calendar parts, rounding to the nearest millisecond.
TDateParts DecodeDateTime(TDateTime value);
TDateTime DateOf(TDateTime value);  // 00:00 of the same day
TDateTime TimeOf(TDateTime value);  // fraction of the day only

// The machine's local date and time, to the millisecond (platform-provided).
TDateTime LocalNow();

// Where business code asks for "now": tests and tools inject their own.
class TClock {
 public:
  virtual ~TClock() = default;
  virtual TDateTime Now() const = 0;
};

// The real local clock.
const TClock& SystemClock();

// "YYYY-MM-DD hh:mm:ss", for operators and machines alike.
std::string FormatDateTimeIso(TDateTime value);

}  // namespace fw
