// A clock that says what the test tells it.
#pragma once

#include <atomic>

#include "platform/datetime.h"

namespace fw::test {

class TFixedClock final : public TClock {
 public:
  explicit TFixedClock(TDateTime now) : now_(now) {}
  TDateTime Now() const override { return now_.load(); }
  void Set(TDateTime now) { now_ = now; }

 private:
  std::atomic<TDateTime> now_;
};

inline TDateTime At(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  return EncodeDate(y, m, d) + EncodeTime(h, n, s, ms);
}

}  // namespace fw::test
