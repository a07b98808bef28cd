#include <gtest/gtest.h>

#include "framework/clock.h"
#include "framework/text.h"

using namespace cv;

TEST(DateTime, FixedLongForm) {
  SDateTime t{2026, 12, 6, 14, 5, 9, 7};
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::dateFixedLong), "Sun, Dec 6, 2026");
  EXPECT_EQ(UDateTime::DateText(SDateTime{2000, 2, 29}, UDateTime::dateFixedLong), "Tue, Feb 29, 2000");
  // The fixed form wins over the locale forms.
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::dateFixedLong | UDateTime::dateShort | UDateTime::dateLong).substr(0, 16),
            "Sun, Dec 6, 2026");
}

TEST(DateTime, TimeFollowsDate) {
  SDateTime t{2026, 12, 6, 14, 5, 9, 7};
  // The C locale is in force in tests.
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::timeLong), "14:05:09");
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::timeShort), "14:05");
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::dateFixedLong | UDateTime::timeShort), "Sun, Dec 6, 2026, 14:05");
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::dateShort | UDateTime::timeLong), "12/06/26 14:05:09");
  EXPECT_EQ(UDateTime::DateText(t, UDateTime::dateLong), "Sunday, December 06, 2026");

  char buf[32];
  // The time needs six bytes of room after the date.
  EXPECT_EQ(UDateTime::DateToText(t, buf, 21, UDateTime::dateFixedLong | UDateTime::timeShort), 16u);
  EXPECT_EQ(UDateTime::DateToText(t, buf, 22, UDateTime::dateFixedLong | UDateTime::timeShort), 22u);
  EXPECT_EQ(UDateTime::DateToText(t, buf, 0, UDateTime::dateFixedLong), 0u);
  EXPECT_EQ(UDateTime::DateToText(t, buf, 5, UDateTime::dateFixedLong), 5u);
  EXPECT_EQ(std::string(buf, 5), "Sun, ");
}

TEST(DateTime, Stamps) {
  // 1 January + 340 days + 14:05:09.250 of 2026 (not a leap year) is 7 December.
  const SDateStamp stamp{2026, 250, 340 * 86400 + 14 * 3600 + 5 * 60 + 9};
  SDateTime t;
  ASSERT_TRUE(UDateTime::StampToDateTime(stamp, t));
  EXPECT_EQ(t, (SDateTime{2026, 12, 7, 14, 5, 9, 1, 250}));
  EXPECT_EQ(UDateTime::StampText(stamp, UDateTime::dateFixedLong), "Mon, Dec 7, 2026");
  SDateStamp back;
  ASSERT_TRUE(UDateTime::DateTimeToStamp(t, back));
  EXPECT_EQ(back, stamp);

  // Seconds past the year's end roll into the next year.
  ASSERT_TRUE(UDateTime::StampToDateTime(SDateStamp{2024, 0, 366 * 86400}, t));
  EXPECT_EQ(t.year, 2025);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  // Milliseconds beyond a second carry over.
  ASSERT_TRUE(UDateTime::StampToDateTime(SDateStamp{2024, 1500, 59}, t));
  EXPECT_EQ(t.minute, 1);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(t.msecs, 500);

  char buf[64];
  EXPECT_EQ(UDateTime::StampToText(SDateStamp{0, 0, 0}, buf, sizeof buf, UDateTime::dateFixedLong), 0u);
  EXPECT_EQ(UDateTime::StampToText(SDateStamp{30827, 0, 0xFFFFFFFF}, buf, sizeof buf, UDateTime::dateFixedLong), 0u);
  EXPECT_FALSE(UDateTime::DateTimeToStamp(SDateTime{2023, 2, 29}, back));
}

TEST(DateTime, DayOfWeek) {
  EXPECT_EQ(UDateTime::DayOfWeek(1970, 1, 1), 4);
  EXPECT_EQ(UDateTime::DayOfWeek(2026, 12, 6), 7);
  EXPECT_EQ(UDateTime::DayOfWeek(1601, 1, 1), 1);
}

TEST(Clock, TestsCanMoveTime) {
  const Uint32 before = UDateTime::GetSeconds();
  UClock::Advance(600 * 1000);
  EXPECT_GE(UDateTime::GetSeconds(), before + 600);
  UClock::SetTestOffset(0);

  std::int64_t fake = 5000;
  UClock::SetSource([&] { return fake; });
  EXPECT_EQ(UClock::Milliseconds(), 5000);
  EXPECT_EQ(UDateTime::GetMilliseconds(), 5000u);
  fake += 1500;
  EXPECT_EQ(UDateTime::GetSeconds(), 6u);
  UClock::SetSource(nullptr);
  EXPECT_GT(UClock::Milliseconds(), 0);
}
