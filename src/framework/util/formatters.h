#pragma once
// Display strings for durations, sizes and compact time stamps, and the calendar helpers
// that usage counting needs (the start of a day or a month, whether two moments fall on
// the same day). Stateless; callable from any thread.
//
// Dates are Values of the date kind. Calendars are Gregorian; their time zone is the
// process's local zone (as TZ sets it, read again after tzset()) or a fixed offset from UTC.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

namespace platform {
class Clock;
}

// --- Durations and sizes ---------------------------------------------------------------------

// The seconds rounded to whole seconds as "H:MM:SS". With withoutHours given and less than
// an hour: "M:SS" (or "0" for no time at all) and *withoutHours set; with hours it is
// cleared. A negative duration (a start in the future) is shown with a leading "-".
std::string QPX_Framework_StringFromDuration(double seconds, bool* withoutHours = nullptr);
// The same for the time since the start date; a null start counts as no time.
std::string QPX_Framework_StringFromDuration_Date(const Value& start, bool* withoutHours = nullptr);

// Unit systems of sizes.
enum QPX_Framework_SizeUnitSystem : int {
  QPX_Framework_SizeUnits_Decimal = 0,  // steps of 1000: B, kB, MB, GB
  QPX_Framework_SizeUnits_Binary = 1,   // steps of 1024: B, KiB, MiB, GiB
  QPX_Framework_SizeUnits_Legacy = 2,   // steps of 1024 when shown: B, KB, MB, GB
};

// The size (bytes, or bits with the flag) in the largest unit it reaches, with 3
// significant digits (4 for 1000 to 1023 of a 1024 step, and every digit of the whole
// part beyond that). With unit given, the unit name goes there and the text is the number
// alone; otherwise the number, a no-break space and the unit. A negative size or an unknown
// system is a programming error.
std::string QPX_Framework_StringFromSize(double size, int unitSystem, bool bits, std::string* unit = nullptr);
// value × base^power and value ÷ base^power, with base 1024 for the binary system and 1000
// for the decimal and legacy systems.
double QPX_Framework_SizeToBytes(double value, int unitSystem, int power);
double QPX_Framework_BytesToSize(double value, int unitSystem, int power);
// The unit name of a system for the index 0 to 3 ("B" .. "GB", "bit" .. "Gbit"); null for
// another system or index.
const char* QPX_Framework_SizeUnit(int unitSystem, int index, bool bits);

// --- Time stamps -----------------------------------------------------------------------------

// A short local time stamp for lists, by the distance h (hours) between now and the date:
// under 20 h "HH:MM"; under 164 h on another weekday the weekday name; under 740 h, or
// under 1440 h in the same month number, "D.MM"; under 8640 h the month name; else the
// year. Style 0 uses short names ("Mon", "Jan"), style 1 full names; others are programming
// errors. Names follow the process's time locale.
std::string QPX_Framework_CompressedTimeString(const Value& date, int style);

// --- Calendars -------------------------------------------------------------------------------

class QPX_Framework_TimeZone {
 public:
  // The process's local zone.
  static QPX_Framework_TimeZone Local() { return QPX_Framework_TimeZone(std::nullopt); }
  static QPX_Framework_TimeZone UTC() { return FixedOffset(0); }
  static QPX_Framework_TimeZone FixedOffset(int secondsEastOfUTC) {
    return QPX_Framework_TimeZone(secondsEastOfUTC);
  }

  bool isLocal() const { return !offset_; }
  // Seconds east of UTC; none for the local zone.
  const std::optional<int>& fixedOffset() const { return offset_; }

 private:
  explicit QPX_Framework_TimeZone(std::optional<int> offset) : offset_(offset) {}
  std::optional<int> offset_;
};

struct QPX_Framework_DateComponents {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 0 Sunday to 6 Saturday
};

class QPX_Framework_Calendar {
 public:
  explicit QPX_Framework_Calendar(QPX_Framework_TimeZone zone = QPX_Framework_TimeZone::Local())
      : zone_(zone) {}
  const QPX_Framework_TimeZone& timeZone() const { return zone_; }

  // The wall-clock reading of the moment (seconds since 1970) in the calendar's zone.
  QPX_Framework_DateComponents components(double unixTime) const;
  // The first moment whose wall-clock reading is the given one; a reading that a clock
  // change skipped gives the moment the clocks jumped. Months and days out of range carry
  // over (month 13 is January of the next year, day 0 the last day of the month before).
  double unixTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) const;

 private:
  QPX_Framework_TimeZone zone_;
};

// A calendar in the zone; without one, the process's shared calendar (local zone).
QPX_Framework_Calendar QPX_Framework_CalendarForTimezone(
    const std::optional<QPX_Framework_TimeZone>& zone = std::nullopt);

// 00:00:00 of the date's day in the zone (none: local).
Value QPX_Framework_BeginningOfDay(const Value& date,
                                   const std::optional<QPX_Framework_TimeZone>& zone = std::nullopt);
// 00:00:00 of the day that many days after (negative: before) the date's day. Days are
// calendar days: across a clock change one is 23 or 25 hours long.
Value QPX_Framework_BeginningOfOtherDay(const Value& date, int days,
                                        const std::optional<QPX_Framework_TimeZone>& zone = std::nullopt);
Value QPX_Framework_BeginningOfNextDay(const Value& date,
                                       const std::optional<QPX_Framework_TimeZone>& zone = std::nullopt);
// 00:00:00 of the first day of the date's month, and of the month after it.
Value QPX_Framework_BeginningOfMonth(const Value& date,
                                     const std::optional<QPX_Framework_TimeZone>& zone = std::nullopt);
Value QPX_Framework_BeginningOfNextMonth(const Value& date,
                                         const std::optional<QPX_Framework_TimeZone>& zone = std::nullopt);
// Same year, month and day in the local zone.
bool QPX_Framework_SameDay(const Value& first, const Value& second);
bool QPX_Framework_IsToday(const Value& date);

// The clock "now" is read from (null: the system clock again). For tests.
void _QPX_Framework_Formatters_SetClock(std::shared_ptr<platform::Clock> clock);
