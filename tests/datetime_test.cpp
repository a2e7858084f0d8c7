#include "platform/datetime.h"

#include <gtest/gtest.h>

namespace fw {
namespace {

TEST(DateTime, EncodesDaysSince30December1899) {
  struct Case { int y, m, d; double days; } cases[] = {
      {1899, 12, 30, 0}, {1900, 1, 1, 2}, {2000, 1, 1, 36526}, {2024, 2, 29, 45351},
      {1, 1, 1, -693593}, {9999, 12, 31, 2958465},
  };
  for (const auto& c : cases) {
    TDateTime v = -1;
    ASSERT_TRUE(TryEncodeDate(c.y, c.m, c.d, v)) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(v, c.days);
    const TDateParts p = DecodeDateTime(v);
    EXPECT_EQ(p.year, c.y);
    EXPECT_EQ(p.month, c.m);
    EXPECT_EQ(p.day, c.d);
  }
}

TEST(DateTime, RejectsInvalidDatesAndTimes) {
  TDateTime v = 0;
  for (auto [y, m, d] : {std::tuple{2023, 2, 29}, {0, 1, 1}, {10000, 1, 1}, {2024, 13, 1},
                         {2024, 4, 31}, {2024, 0, 10}, {2024, 1, 0}}) {
    EXPECT_FALSE(TryEncodeDate(y, m, d, v)) << y << "-" << m << "-" << d;
  }
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, v));
}

TEST(DateTime, DecodeRoundsToTheMillisecondWithoutSpillingIntoTheNextDay) {
  const TDateTime v = EncodeDate(2024, 5, 31) + EncodeTime(23, 59, 59, 999);
  const TDateParts p = DecodeDateTime(v);
  EXPECT_EQ(p.day, 31);
  EXPECT_EQ(p.hour, 23);
  EXPECT_EQ(p.minute, 59);
  EXPECT_EQ(p.second, 59);
  EXPECT_EQ(p.msec, 999);
  EXPECT_EQ(DecodeDateTime(EncodeDate(2024, 12, 22)).dayOfWeek, 1);  // a Sunday
  EXPECT_EQ(DecodeDateTime(EncodeDate(2024, 12, 28)).dayOfWeek, 7);  // a Saturday
  EXPECT_EQ(DateOf(v), EncodeDate(2024, 5, 31));
}

}  // namespace
}  // namespace fw
