#include "framework/util/formatters.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "framework/core/log.h"
#include "platform/clock.h"

namespace {

std::mutex& ClockMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<platform::Clock>& InjectedClock() {
  static std::shared_ptr<platform::Clock> clock;
  return clock;
}

// Seconds since 1970.
double Now() {
  std::shared_ptr<platform::Clock> clock;
  {
    std::lock_guard<std::mutex> lock(ClockMutex());
    clock = InjectedClock();
  }
  return (clock ? clock : platform::Clock::System())->WallNow();
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return length < 0
             ? std::string()
             : std::string(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
}

// --- Civil dates (proleptic Gregorian), days counted from 1970-01-01 ---

std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Carries months and days out of range into a proper date; answers its day number.
std::int64_t NormalisedDays(int year, int month, int day) {
  const std::int64_t months = static_cast<std::int64_t>(year) * 12 + (month - 1);
  const std::int64_t y = FloorDiv(months, 12);
  const int m = static_cast<int>(months - y * 12) + 1;
  return DaysFromCivil(y, m, 1) + (day - 1);
}

QPX_Framework_DateComponents ComponentsFromTm(const std::tm& parts) {
  QPX_Framework_DateComponents c;
  c.year = parts.tm_year + 1900;
  c.month = parts.tm_mon + 1;
  c.day = parts.tm_mday;
  c.hour = parts.tm_hour;
  c.minute = parts.tm_min;
  c.second = parts.tm_sec;
  c.weekday = parts.tm_wday;
  return c;
}

bool Before(const QPX_Framework_DateComponents& a, const QPX_Framework_DateComponents& b) {
  if (a.year != b.year) return a.year < b.year;
  if (a.month != b.month) return a.month < b.month;
  if (a.day != b.day) return a.day < b.day;
  if (a.hour != b.hour) return a.hour < b.hour;
  if (a.minute != b.minute) return a.minute < b.minute;
  return a.second < b.second;
}

bool SameReading(const QPX_Framework_DateComponents& a, const QPX_Framework_DateComponents& b) {
  return !Before(a, b) && !Before(b, a);
}

double UnixTimeOf(const Value& date) {
  QPX_Assert_Detail(date.isDate(), date);
  return date.unixTime();
}

}  // namespace

// --- Durations and sizes ---------------------------------------------------------------------

std::string QPX_Framework_StringFromDuration(double seconds, bool* withoutHours) {
  const long long rounded = std::llround(std::isfinite(seconds) ? seconds : 0.0);
  const char* sign = rounded < 0 ? "-" : "";
  const long long total = rounded < 0 ? -rounded : rounded;
  const long long hours = total / 3600;
  const int minutes = static_cast<int>(total / 60 % 60);
  const int secs = static_cast<int>(total % 60);
  if (withoutHours) {
    *withoutHours = hours == 0;
    if (hours == 0) {
      if (minutes == 0 && secs == 0) return "0";
      return Format("%s%d:%02d", sign, minutes, secs);
    }
  }
  return Format("%s%lld:%02d:%02d", sign, hours, minutes, secs);
}

std::string QPX_Framework_StringFromDuration_Date(const Value& start, bool* withoutHours) {
  const double seconds = start.isNull() ? 0.0 : Now() - UnixTimeOf(start);
  return QPX_Framework_StringFromDuration(seconds, withoutHours);
}

const char* QPX_Framework_SizeUnit(int unitSystem, int index, bool bits) {
  static const char* const kBytes[3][4] = {
      {"B", "kB", "MB", "GB"}, {"B", "KiB", "MiB", "GiB"}, {"B", "KB", "MB", "GB"}};
  static const char* const kBits[3][4] = {
      {"bit", "kbit", "Mbit", "Gbit"}, {"bit", "Kibit", "Mibit", "Gibit"}, {"bit", "Kbit", "Mbit", "Gbit"}};
  if (unitSystem < 0 || unitSystem > 2 || index < 0 || index > 3) return nullptr;
  return bits ? kBits[unitSystem][index] : kBytes[unitSystem][index];
}

std::string QPX_Framework_StringFromSize(double size, int unitSystem, bool bits, std::string* unit) {
  QPX_Assert_Detail(size >= 0, Value(size));  // also refuses NaN
  QPX_Assert_Detail(unitSystem >= 0 && unitSystem <= 2, Value(unitSystem));
  const double base = unitSystem == QPX_Framework_SizeUnits_Decimal ? 1000.0 : 1024.0;
  double divisor = base * base * base;
  int index = 3;
  while (index > 0 && divisor > size) {
    divisor /= base;
    --index;
  }
  const double value = size / divisor;
  // Three significant digits; a value that rounds to 1000 or more (1000 to 1023 of a 1024
  // step, or more gigabytes than that) keeps its whole part, never an exponent.
  int precision = 3;
  if (value >= 999.5) {
    precision = 0;
    for (double whole = std::round(value); whole >= 1; whole /= 10) ++precision;
  }
  const std::string number = Format("%.*g", precision, value);
  const char* name = QPX_Framework_SizeUnit(unitSystem, index, bits);
  if (unit) {
    *unit = name;
    return number;
  }
  return number + "\u00A0" + name;
}

namespace {

double SizeFactor(int unitSystem, int power) {
  QPX_Assert_Detail(unitSystem >= 0 && unitSystem <= 2, Value(unitSystem));
  return std::pow(unitSystem == QPX_Framework_SizeUnits_Binary ? 1024.0 : 1000.0, power);
}

}  // namespace

double QPX_Framework_SizeToBytes(double value, int unitSystem, int power) {
  return value * SizeFactor(unitSystem, power);
}

double QPX_Framework_BytesToSize(double value, int unitSystem, int power) {
  return value / SizeFactor(unitSystem, power);
}

// --- Time stamps -----------------------------------------------------------------------------

std::string QPX_Framework_CompressedTimeString(const Value& date, int style) {
  QPX_Assert_Detail(style == 0 || style == 1, Value(style));
  const double when = UnixTimeOf(date);
  const double now = Now();
  const double hours = std::fabs(now - when) / 3600.0;

  const std::time_t whenSeconds = static_cast<std::time_t>(std::floor(when));
  const std::time_t nowSeconds = static_cast<std::time_t>(std::floor(now));
  std::tm whenParts{};
  std::tm nowParts{};
  ::localtime_r(&whenSeconds, &whenParts);
  ::localtime_r(&nowSeconds, &nowParts);

  const auto named = [&whenParts](const char* format) {
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &whenParts);
    return std::string(text, length);
  };
  const auto dayAndMonth = [&whenParts] {
    return Format("%d.%02d", whenParts.tm_mday, whenParts.tm_mon + 1);
  };

  if (hours < 20) return Format("%02d:%02d", whenParts.tm_hour, whenParts.tm_min);
  if (hours < 164 && whenParts.tm_wday != nowParts.tm_wday) return named(style == 0 ? "%a" : "%A");
  if (hours < 740) return dayAndMonth();
  if (hours < 1440 && whenParts.tm_mon == nowParts.tm_mon) return dayAndMonth();
  if (hours < 8640) return named(style == 0 ? "%b" : "%B");
  return Format("%d", whenParts.tm_year + 1900);
}

// --- Calendars -------------------------------------------------------------------------------

QPX_Framework_DateComponents QPX_Framework_Calendar::components(double unixTime) const {
  const std::int64_t seconds = static_cast<std::int64_t>(std::floor(unixTime));
  if (zone_.isLocal()) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::localtime_r(&t, &parts);
    return ComponentsFromTm(parts);
  }
  const std::int64_t local = seconds + *zone_.fixedOffset();
  const std::int64_t days = FloorDiv(local, 86400);
  const std::int64_t inDay = local - days * 86400;
  QPX_Framework_DateComponents c;
  std::int64_t year = 0;
  CivilFromDays(days, year, c.month, c.day);
  c.year = static_cast<int>(year);
  c.hour = static_cast<int>(inDay / 3600);
  c.minute = static_cast<int>(inDay / 60 % 60);
  c.second = static_cast<int>(inDay % 60);
  c.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  return c;
}

double QPX_Framework_Calendar::unixTime(int year, int month, int day, int hour, int minute,
                                        int second) const {
  const std::int64_t days = NormalisedDays(year, month, day);
  const std::int64_t secondsInDay = static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second;
  if (!zone_.isLocal()) return static_cast<double>(days * 86400 + secondsInDay - *zone_.fixedOffset());

  // The wanted reading, with everything carried over into a proper date and time.
  QPX_Framework_Calendar utc(QPX_Framework_TimeZone::UTC());
  const QPX_Framework_DateComponents wanted =
      utc.components(static_cast<double>(days * 86400 + secondsInDay));
  std::tm parts{};
  parts.tm_year = wanted.year - 1900;
  parts.tm_mon = wanted.month - 1;
  parts.tm_mday = wanted.day;
  parts.tm_hour = wanted.hour;
  parts.tm_min = wanted.minute;
  parts.tm_sec = wanted.second;
  parts.tm_isdst = -1;
  std::int64_t guess = static_cast<std::int64_t>(::mktime(&parts));

  if (SameReading(components(static_cast<double>(guess)), wanted)) {
    // A reading that occurs twice (clocks set back) means its first occurrence.
    for (const int step : {3600, 1800}) {
      if (SameReading(components(static_cast<double>(guess - step)), wanted)) {
        guess -= step;
        break;
      }
    }
    return static_cast<double>(guess);
  }
  // The reading was skipped by a clock change: find the first moment that reads later.
  std::int64_t low = guess - 43200;   // reads earlier than wanted
  std::int64_t high = guess + 43200;  // reads later
  if (!Before(components(static_cast<double>(low)), wanted) ||
      Before(components(static_cast<double>(high)), wanted))
    return static_cast<double>(guess);
  while (high - low > 1) {
    const std::int64_t middle = low + (high - low) / 2;
    if (Before(components(static_cast<double>(middle)), wanted)) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return static_cast<double>(high);
}

QPX_Framework_Calendar QPX_Framework_CalendarForTimezone(const std::optional<QPX_Framework_TimeZone>& zone) {
  return QPX_Framework_Calendar(zone.value_or(QPX_Framework_TimeZone::Local()));
}

Value QPX_Framework_BeginningOfDay(const Value& date, const std::optional<QPX_Framework_TimeZone>& zone) {
  return QPX_Framework_BeginningOfOtherDay(date, 0, zone);
}

Value QPX_Framework_BeginningOfOtherDay(const Value& date, int days,
                                        const std::optional<QPX_Framework_TimeZone>& zone) {
  const QPX_Framework_Calendar calendar = QPX_Framework_CalendarForTimezone(zone);
  const QPX_Framework_DateComponents c = calendar.components(UnixTimeOf(date));
  // The start of the other day itself, not the start of this day moved by whole days: when
  // a clock change skipped midnight on one of them, the two differ.
  return Value::DateFromUnix(calendar.unixTime(c.year, c.month, c.day + days));
}

Value QPX_Framework_BeginningOfNextDay(const Value& date, const std::optional<QPX_Framework_TimeZone>& zone) {
  return QPX_Framework_BeginningOfOtherDay(date, 1, zone);
}

Value QPX_Framework_BeginningOfMonth(const Value& date, const std::optional<QPX_Framework_TimeZone>& zone) {
  const QPX_Framework_Calendar calendar = QPX_Framework_CalendarForTimezone(zone);
  const QPX_Framework_DateComponents c = calendar.components(UnixTimeOf(date));
  return Value::DateFromUnix(calendar.unixTime(c.year, c.month, 1));
}

Value QPX_Framework_BeginningOfNextMonth(const Value& date,
                                         const std::optional<QPX_Framework_TimeZone>& zone) {
  const QPX_Framework_Calendar calendar = QPX_Framework_CalendarForTimezone(zone);
  const QPX_Framework_DateComponents c = calendar.components(UnixTimeOf(date));
  return Value::DateFromUnix(calendar.unixTime(c.year, c.month + 1, 1));
}

bool QPX_Framework_SameDay(const Value& first, const Value& second) {
  const QPX_Framework_Calendar calendar = QPX_Framework_CalendarForTimezone();
  const QPX_Framework_DateComponents a = calendar.components(UnixTimeOf(first));
  const QPX_Framework_DateComponents b = calendar.components(UnixTimeOf(second));
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

bool QPX_Framework_IsToday(const Value& date) {
  return QPX_Framework_SameDay(date, Value::DateFromUnix(Now()));
}

void _QPX_Framework_Formatters_SetClock(std::shared_ptr<platform::Clock> clock) {
  std::lock_guard<std::mutex> lock(ClockMutex());
  InjectedClock() = std::move(clock);
}
