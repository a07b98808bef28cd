#include <chrono>

#include "framework/types.h"

namespace cv {

namespace {

// Days from 1970-01-01 to 1 January of the given year (proleptic Gregorian).
Int64 DaysToYear(Int64 y) {
  using namespace std::chrono;
  return sys_days{year{int(y)} / January / 1}.time_since_epoch().count();
}

bool IsLeap(Int64 y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

SDateStamp StampFromUnix(Int64 unixSeconds, Uint16 msecs) {
  using namespace std::chrono;
  const auto days = sys_days{floor<std::chrono::days>(sys_seconds{seconds{unixSeconds}})};
  const int y = int(year_month_day{days}.year());
  SDateStamp s;
  s.year = Uint16(y);
  s.msecs = msecs;
  s.seconds = Uint32(unixSeconds - DaysToYear(y) * 86400);
  return s;
}

bool StampToUnix(const SDateStamp& stamp, Int64& unixSeconds) {
  const Int64 yearLength = (IsLeap(stamp.year) ? 366 : 365) * Int64(86400);
  if (stamp.seconds >= yearLength || stamp.year == 0) return false;
  unixSeconds = DaysToYear(stamp.year) * 86400 + stamp.seconds;
  return true;
}

SDateStamp StampNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto secs = duration_cast<seconds>(now.time_since_epoch()).count();
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  return StampFromUnix(secs, Uint16(ms));
}

}  // namespace cv
