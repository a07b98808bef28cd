// Date and time texts. The fixed long form is the same everywhere; the other forms
// follow the process locale (strftime).
#include <ctime>

#include "framework/text.h"

namespace cv::UDateTime {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
Int64 DaysFromCivil(Int64 y, unsigned m, unsigned d) {
  y -= m <= 2;
  const Int64 era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + Int64(doe) - 719468;
}

void CivilFromDays(Int64 z, Int64& y, unsigned& m, unsigned& d) {
  z += 719468;
  const Int64 era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = Int64(yoe) + era * 400 + (m <= 2);
}

bool IsLeap(Int64 y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(Int64 y, unsigned m) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool Valid(const SDateTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) && t.hour < 24 &&
         t.minute < 60 && t.second < 60;
}

constexpr Int64 kFirstYear = 1601, kLastYear = 30827;

std::tm ToTm(const SDateTime& t) {
  std::tm tm{};
  tm.tm_year = int(t.year) - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_wday = DayOfWeek(t.year, t.month, t.day) % 7;
  tm.tm_yday = int(DaysFromCivil(t.year, t.month, t.day) - DaysFromCivil(t.year, 1, 1));
  tm.tm_isdst = -1;
  return tm;
}

// strftime into a scratch buffer, then a bounded copy.
std::size_t Strftime(Uint8* out, std::size_t capacity, const char* form, const std::tm& tm) {
  char tmp[128];
  const std::size_t n = std::strftime(tmp, sizeof tmp, form, &tm);
  return UText::Format(out, capacity, "%.*s", int(n), tmp);
}

}  // namespace

Uint16 DayOfWeek(int year, int month, int day) {
  const Int64 days = DaysFromCivil(year, unsigned(month), unsigned(day));
  // 1970-01-01 was a Thursday (4 in 1-7 with 7 Sunday).
  const Int64 w = ((days % 7) + 7 + 3) % 7;  // 0 Monday
  return Uint16(w + 1);
}

bool StampToDateTime(const SDateStamp& stamp, SDateTime& out) {
  if (stamp.year < kFirstYear || stamp.year > kLastYear) return false;
  const Int64 totalMs = Int64(stamp.seconds) * 1000 + stamp.msecs;
  const Int64 days = DaysFromCivil(stamp.year, 1, 1) + totalMs / 86400000;
  const Int64 msOfDay = totalMs % 86400000;
  Int64 y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  if (y > kLastYear) return false;
  out.year = Uint16(y);
  out.month = Uint16(m);
  out.day = Uint16(d);
  out.hour = Uint16(msOfDay / 3600000);
  out.minute = Uint16(msOfDay / 60000 % 60);
  out.second = Uint16(msOfDay / 1000 % 60);
  out.msecs = Uint16(msOfDay % 1000);
  out.dayOfWeek = DayOfWeek(int(y), int(m), int(d));
  return true;
}

bool DateTimeToStamp(const SDateTime& date, SDateStamp& out) {
  if (date.year < kFirstYear || date.year > kLastYear || !Valid(date) || date.msecs > 999) return false;
  const Int64 days = DaysFromCivil(date.year, date.month, date.day) - DaysFromCivil(date.year, 1, 1);
  out.year = date.year;
  out.msecs = date.msecs;
  out.seconds = Uint32(days * 86400 + date.hour * 3600 + date.minute * 60 + date.second);
  return true;
}

std::size_t DateToText(const SDateTime& date, void* buffer, std::size_t capacity, Uint32 flags) {
  if (!buffer || !capacity) return 0;
  auto* out = static_cast<Uint8*>(buffer);
  // Out-of-range fields would make strftime and the name tables misbehave.
  SDateTime t = date;
  if (!Valid(t)) return 0;
  const std::tm tm = ToTm(t);
  std::size_t len = 0;
  const bool hasDate = (flags & (dateShort | dateFixedLong | dateLong)) != 0;
  if (hasDate) {
    if (flags & dateFixedLong) {
      static constexpr const char* kDays[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
      static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
      const Uint16 wd = DayOfWeek(t.year, t.month, t.day);
      len = UText::Format(out, capacity, "%s, %s %hu, %hu", kDays[wd - 1], kMonths[t.month - 1], t.day, t.year);
    } else if (flags & dateShort) {
      len = Strftime(out, capacity, "%x", tm);
    } else {
      len = Strftime(out, capacity, "%A, %B %d, %Y", tm);
    }
  }
  if ((flags & (timeShort | timeLong)) && capacity - len >= 6) {
    if (hasDate) len += UText::Format(out + len, capacity - len, (flags & dateShort) ? " " : ", ");
    len += Strftime(out + len, capacity - len, (flags & timeLong) ? "%X" : "%H:%M", tm);
  }
  return len;
}

std::size_t StampToText(const SDateStamp& stamp, void* buffer, std::size_t capacity, Uint32 flags) {
  SDateTime t;
  if (!StampToDateTime(stamp, t)) return 0;
  return DateToText(t, buffer, capacity, flags);
}

std::string DateText(const SDateTime& date, Uint32 flags) {
  char buf[256];
  return std::string(buf, DateToText(date, buf, sizeof buf, flags));
}

std::string StampText(const SDateStamp& stamp, Uint32 flags) {
  char buf[256];
  return std::string(buf, StampToText(stamp, buf, sizeof buf, flags));
}

Uint32 GetMilliseconds() { return Uint32(UClock::Milliseconds()); }
Uint32 GetSeconds() { return Uint32(UClock::Milliseconds() / 1000); }

}  // namespace cv::UDateTime
