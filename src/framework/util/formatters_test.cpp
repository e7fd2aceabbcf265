#include "framework/util/formatters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/assert.h"
#include "platform/clock.h"

namespace {

// Sets TZ for the test and restores it (or its absence) afterwards.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* zone) {
    if (const char* previous = std::getenv("TZ")) saved_ = previous;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTZ() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTZ(const ScopedTZ&) = delete;
  ScopedTZ& operator=(const ScopedTZ&) = delete;

 private:
  std::optional<std::string> saved_;
};

// A wall clock standing at the given time (seconds since 1970) for the formatters.
class ScopedNow {
 public:
  explicit ScopedNow(double unixTime) : clock_(std::make_shared<platform::ManualClock>(0.0, unixTime)) {
    _QPX_Framework_Formatters_SetClock(clock_);
  }
  ~ScopedNow() { _QPX_Framework_Formatters_SetClock(nullptr); }
  ScopedNow(const ScopedNow&) = delete;
  ScopedNow& operator=(const ScopedNow&) = delete;

 private:
  std::shared_ptr<platform::ManualClock> clock_;
};

// Seconds since 1970 of a UTC reading.
double UTC(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return QPX_Framework_Calendar(QPX_Framework_TimeZone::UTC())
      .unixTime(year, month, day, hour, minute, second);
}

Value DateUTC(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return Value::DateFromUnix(UTC(year, month, day, hour, minute, second));
}

// Central Europe and a zone whose clocks jumped at midnight (southern Brazil, 2018), as
// POSIX rules so the tests need no time-zone database.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kSaoPaulo2018 = "<-03>3<-02>,M11.1.0/0,M2.3.0/0";

// --- Durations -------------------------------------------------------------------------------

TEST(StringFromDuration, Table) {
  struct Case {
    double seconds;
    bool askFlag;
    const char* text;
    bool withoutHours;
  } const cases[] = {
      {59.6, true, "1:00", true},       {0, true, "0", true},          {0.4, true, "0", true},
      {5, true, "0:05", true},          {3599.4, true, "59:59", true}, {3600, true, "1:00:00", false},
      {3600, false, "1:00:00", false},  {0, false, "0:00:00", false},  {59.6, false, "0:01:00", false},
      {90061, true, "25:01:01", false}, {-65, true, "-1:05", true},
  };
  for (const Case& c : cases) {
    bool flag = !c.withoutHours;  // starts opposite, so the test sees it being set
    const std::string text = QPX_Framework_StringFromDuration(c.seconds, c.askFlag ? &flag : nullptr);
    EXPECT_EQ(text, c.text) << c.seconds;
    if (c.askFlag) {
      EXPECT_EQ(flag, c.withoutHours) << c.seconds;
    }
  }
}

TEST(StringFromDuration, SinceADate) {
  ScopedNow now(UTC(2024, 5, 15, 12, 0, 0));
  bool withoutHours = false;
  EXPECT_EQ(QPX_Framework_StringFromDuration_Date(DateUTC(2024, 5, 15, 11, 58, 30), &withoutHours), "1:30");
  EXPECT_TRUE(withoutHours);
  EXPECT_EQ(QPX_Framework_StringFromDuration_Date(DateUTC(2024, 5, 14, 10, 0, 0)), "26:00:00");
  EXPECT_EQ(QPX_Framework_StringFromDuration_Date(Value(), &withoutHours), "0");
}

// --- Sizes -----------------------------------------------------------------------------------

TEST(StringFromSize, Table) {
  struct Case {
    double size;
    int system;
    bool bits;
    const char* number;
    const char* unit;
  } const cases[] = {
      {1500000, 0, false, "1.5", "MB"}, {1048575, 1, false, "1024", "KiB"},
      {1048576, 1, false, "1", "MiB"},  {999, 0, false, "999", "B"},
      {0, 0, false, "0", "B"},          {0.5, 1, false, "0.5", "B"},
      {999999, 0, false, "1000", "kB"}, {1023, 2, false, "1023", "B"},
      {1024, 2, false, "1", "KB"},      {123456789, 0, false, "123", "MB"},
      {2.5e9, 0, true, "2.5", "Gbit"},  {1536, 1, true, "1.5", "Kibit"},
      {5e12, 0, false, "5000", "GB"},   {5e13, 0, false, "50000", "GB"},
  };
  for (const Case& c : cases) {
    std::string unit;
    EXPECT_EQ(QPX_Framework_StringFromSize(c.size, c.system, c.bits, &unit), c.number) << c.size;
    EXPECT_EQ(unit, c.unit) << c.size;
    EXPECT_EQ(QPX_Framework_StringFromSize(c.size, c.system, c.bits),
              std::string(c.number) + "\u00A0" + c.unit);
  }
  EXPECT_THROW(QPX_Framework_StringFromSize(-1, 0, false), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_StringFromSize(1, 3, false), platform::AssertionFailure);
}

TEST(SizeUnits, NamesAndFactors) {
  EXPECT_STREQ(QPX_Framework_SizeUnit(0, 1, false), "kB");
  EXPECT_STREQ(QPX_Framework_SizeUnit(1, 3, true), "Gibit");
  EXPECT_STREQ(QPX_Framework_SizeUnit(2, 2, false), "MB");
  EXPECT_STREQ(QPX_Framework_SizeUnit(2, 0, true), "bit");
  EXPECT_EQ(QPX_Framework_SizeUnit(3, 0, false), nullptr);
  EXPECT_EQ(QPX_Framework_SizeUnit(-1, 0, false), nullptr);
  EXPECT_EQ(QPX_Framework_SizeUnit(0, 4, false), nullptr);

  EXPECT_EQ(QPX_Framework_SizeToBytes(2, 0, 2), 2e6);
  EXPECT_EQ(QPX_Framework_SizeToBytes(2, 1, 2), 2.0 * 1024 * 1024);
  EXPECT_EQ(QPX_Framework_SizeToBytes(2, 2, 2), 2e6);
  EXPECT_EQ(QPX_Framework_BytesToSize(3.0 * 1024 * 1024 * 1024, 1, 3), 3.0);
  EXPECT_EQ(QPX_Framework_BytesToSize(5e9, 0, 3), 5.0);
  EXPECT_EQ(QPX_Framework_SizeToBytes(7, 0, 0), 7.0);
}

// --- Time stamps -----------------------------------------------------------------------------

TEST(CompressedTimeString, Table) {
  ScopedTZ tz("UTC0");
  struct Case {
    const char* name;
    double now;
    Value date;
    const char* shortText;
    const char* longText;
  } const cases[] = {
      // 2024-05-15 is a Wednesday.
      {"an hour ago", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 15, 11, 5), "11:05", "11:05"},
      {"19 hours ago, yesterday", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 14, 17, 30), "17:30", "17:30"},
      {"two hours ahead", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 15, 14, 0), "14:00", "14:00"},
      {"30 hours ago", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 14, 6), "Tue", "Tuesday"},
      {"five days ago", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 10, 9), "Fri", "Friday"},
      {"157 hours ago, same weekday", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 8, 23), "8.05", "8.05"},
      {"10 days ago", UTC(2024, 5, 15, 12), DateUTC(2024, 5, 5, 12), "5.05", "5.05"},
      {"35 days ago", UTC(2024, 5, 15, 12), DateUTC(2024, 4, 10, 12), "Apr", "April"},
      {"743 hours ago, same month", UTC(2024, 5, 31, 23), DateUTC(2024, 5, 1, 0), "1.05", "1.05"},
      {"300 days ago", UTC(2024, 5, 15, 12), DateUTC(2023, 7, 20, 12), "Jul", "July"},
      {"400 days ago", UTC(2024, 5, 15, 12), DateUTC(2023, 4, 11, 12), "2023", "2023"},
  };
  for (const Case& c : cases) {
    ScopedNow now(c.now);
    EXPECT_EQ(QPX_Framework_CompressedTimeString(c.date, 0), c.shortText) << c.name;
    EXPECT_EQ(QPX_Framework_CompressedTimeString(c.date, 1), c.longText) << c.name;
  }
  ScopedNow now(UTC(2024, 5, 15, 12));
  EXPECT_THROW(QPX_Framework_CompressedTimeString(DateUTC(2024, 5, 1), 2), platform::AssertionFailure);
}

TEST(CompressedTimeString, ShownInTheLocalZone) {
  ScopedTZ tz("<+0930>-9:30");
  ScopedNow now(UTC(2024, 5, 15, 12));
  EXPECT_EQ(QPX_Framework_CompressedTimeString(DateUTC(2024, 5, 15, 11, 5), 0), "20:35");
}

// --- Calendars -------------------------------------------------------------------------------

TEST(Calendar, DayAndMonthBoundariesInTheLocalZone) {
  ScopedTZ tz(kBerlin);
  struct Case {
    const char* name;
    Value date;
    double beginningOfDay;
    double beginningOfNextDay;
    double beginningOfMonth;
    double beginningOfNextMonth;
  } const cases[] = {
      // 2024-01-31 23:30 in Berlin (22:30 UTC).
      {"last day of January", DateUTC(2024, 1, 31, 22, 30), UTC(2024, 1, 30, 23), UTC(2024, 1, 31, 23),
       UTC(2023, 12, 31, 23), UTC(2024, 1, 31, 23)},
      // 2024-02-29 00:30 in Berlin, the leap day.
      {"leap day just after midnight", DateUTC(2024, 2, 28, 23, 30), UTC(2024, 2, 28, 23),
       UTC(2024, 2, 29, 23), UTC(2024, 1, 31, 23), UTC(2024, 2, 29, 23)},
      // 2024-12-31 12:00 in Berlin: next month is January of the next year.
      {"new year's eve", DateUTC(2024, 12, 31, 11), UTC(2024, 12, 30, 23), UTC(2024, 12, 31, 23),
       UTC(2024, 11, 30, 23), UTC(2024, 12, 31, 23)},
      // 2024-03-31, clocks go forward 02:00 -> 03:00: a 23-hour day; April starts in summer time.
      {"spring forward", DateUTC(2024, 3, 31, 10), UTC(2024, 3, 30, 23), UTC(2024, 3, 31, 22),
       UTC(2024, 2, 29, 23), UTC(2024, 3, 31, 22)},
      // 2024-10-27, clocks go back 03:00 -> 02:00: a 25-hour day.
      {"fall back", DateUTC(2024, 10, 27, 10), UTC(2024, 10, 26, 22), UTC(2024, 10, 27, 23),
       UTC(2024, 9, 30, 22), UTC(2024, 10, 31, 23)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QPX_Framework_BeginningOfDay(c.date).unixTime(), c.beginningOfDay) << c.name;
    EXPECT_EQ(QPX_Framework_BeginningOfNextDay(c.date).unixTime(), c.beginningOfNextDay) << c.name;
    EXPECT_EQ(QPX_Framework_BeginningOfMonth(c.date).unixTime(), c.beginningOfMonth) << c.name;
    EXPECT_EQ(QPX_Framework_BeginningOfNextMonth(c.date).unixTime(), c.beginningOfNextMonth) << c.name;
  }
  // Day lengths across the clock changes.
  const Value spring = DateUTC(2024, 3, 31, 10);
  EXPECT_EQ(
      QPX_Framework_BeginningOfNextDay(spring).unixTime() - QPX_Framework_BeginningOfDay(spring).unixTime(),
      23 * 3600);
  const Value autumn = DateUTC(2024, 10, 27, 10);
  EXPECT_EQ(
      QPX_Framework_BeginningOfNextDay(autumn).unixTime() - QPX_Framework_BeginningOfDay(autumn).unixTime(),
      25 * 3600);
}

TEST(Calendar, CountingDaysAcrossMonthEnds) {
  ScopedTZ tz(kBerlin);
  const Value date = DateUTC(2024, 3, 1, 11);  // 2024-03-01 12:00 in Berlin
  const std::pair<int, double> cases[] = {
      {0, UTC(2024, 2, 29, 23)},    {-1, UTC(2024, 2, 28, 23)}, {-29, UTC(2024, 1, 31, 23)},
      {30, UTC(2024, 3, 30, 23)},   {31, UTC(2024, 3, 31, 22)}, {-366, UTC(2023, 2, 28, 23)},
      {306, UTC(2024, 12, 31, 23)},
  };
  for (const auto& [days, expected] : cases) {
    EXPECT_EQ(QPX_Framework_BeginningOfOtherDay(date, days).unixTime(), expected) << days;
  }
}

TEST(Calendar, MidnightSkippedByAClockChange) {
  // On 2018-11-04 the clocks went from 00:00 straight to 01:00: that day starts at 01:00.
  ScopedTZ tz(kSaoPaulo2018);
  const Value midday = DateUTC(2018, 11, 4, 14);  // 12:00 local, UTC-2
  EXPECT_EQ(QPX_Framework_BeginningOfDay(midday).unixTime(), UTC(2018, 11, 4, 3));
  EXPECT_EQ(QPX_Framework_BeginningOfNextDay(DateUTC(2018, 11, 3, 15)).unixTime(), UTC(2018, 11, 4, 3));
  // The next day starts at its own midnight, not one day after 01:00.
  EXPECT_EQ(QPX_Framework_BeginningOfNextDay(midday).unixTime(), UTC(2018, 11, 5, 2));
  EXPECT_EQ(QPX_Framework_BeginningOfOtherDay(DateUTC(2018, 11, 5, 14), -1).unixTime(), UTC(2018, 11, 4, 3));
}

TEST(Calendar, ExplicitZonesIgnoreTheLocalOne) {
  ScopedTZ tz(kBerlin);
  const Value date = DateUTC(2024, 3, 31, 23, 30);  // 2024-04-01 01:30 in Berlin
  const QPX_Framework_TimeZone utc = QPX_Framework_TimeZone::UTC();
  const QPX_Framework_TimeZone tokyo = QPX_Framework_TimeZone::FixedOffset(9 * 3600);
  const QPX_Framework_TimeZone newYork = QPX_Framework_TimeZone::FixedOffset(-4 * 3600);
  EXPECT_EQ(QPX_Framework_BeginningOfDay(date, utc).unixTime(), UTC(2024, 3, 31));
  EXPECT_EQ(QPX_Framework_BeginningOfDay(date, tokyo).unixTime(), UTC(2024, 3, 31, 15));
  EXPECT_EQ(QPX_Framework_BeginningOfDay(date, newYork).unixTime(), UTC(2024, 3, 31, 4));
  EXPECT_EQ(QPX_Framework_BeginningOfMonth(date, utc).unixTime(), UTC(2024, 3, 1));
  EXPECT_EQ(QPX_Framework_BeginningOfMonth(date).unixTime(), UTC(2024, 3, 31, 22));
  EXPECT_EQ(QPX_Framework_BeginningOfNextMonth(date, tokyo).unixTime(), UTC(2024, 4, 30, 15));
  EXPECT_EQ(QPX_Framework_BeginningOfOtherDay(date, -1, utc).unixTime(), UTC(2024, 3, 30));

  EXPECT_FALSE(QPX_Framework_CalendarForTimezone().timeZone().fixedOffset().has_value());
  EXPECT_EQ(QPX_Framework_CalendarForTimezone(tokyo).timeZone().fixedOffset(), 9 * 3600);

  const QPX_Framework_DateComponents c =
      QPX_Framework_Calendar(newYork).components(UTC(1969, 12, 31, 23, 59, 59));
  EXPECT_EQ(c.year, 1969);
  EXPECT_EQ(c.month, 12);
  EXPECT_EQ(c.day, 31);
  EXPECT_EQ(c.hour, 19);
  EXPECT_EQ(c.weekday, 3);  // Wednesday
  EXPECT_EQ(QPX_Framework_Calendar(utc).components(UTC(2024, 5, 15)).weekday, 3);
  EXPECT_EQ(QPX_Framework_Calendar(utc).unixTime(2024, 13, 1), UTC(2025, 1, 1));
  EXPECT_EQ(QPX_Framework_Calendar(utc).unixTime(2024, 3, 0), UTC(2024, 2, 29));
  EXPECT_EQ(QPX_Framework_Calendar(utc).unixTime(2024, 0, 1), UTC(2023, 12, 1));
}

TEST(Calendar, SameDayAndTodayFollowTheLocalZone) {
  const Value lateEvening = DateUTC(2024, 5, 15, 21, 30);
  const Value nextMorning = DateUTC(2024, 5, 15, 23, 30);
  {
    ScopedTZ tz("UTC0");
    EXPECT_TRUE(QPX_Framework_SameDay(lateEvening, nextMorning));
  }
  {
    ScopedTZ tz(kBerlin);  // 23:30 and 01:30 the next day
    EXPECT_FALSE(QPX_Framework_SameDay(lateEvening, nextMorning));
    ScopedNow now(UTC(2024, 5, 15, 22, 5));  // 00:05 on the 16th in Berlin
    EXPECT_TRUE(QPX_Framework_IsToday(nextMorning));
    EXPECT_FALSE(QPX_Framework_IsToday(lateEvening));
  }
  EXPECT_THROW(QPX_Framework_SameDay(Value(1), lateEvening), platform::AssertionFailure);
}

}  // namespace
