// Time text in local time.
#include "platform/timetext.h"

#include <cstdio>
#include <ctime>

namespace zk {
namespace {

const char kNoTime[] = "1899/12/30 00:00:00";

// The value of the `len` decimal digits at text[at], or -1 when any of them is not a digit.
int Digits(const std::string& text, size_t at, size_t len) {
  int value = 0;
  for (size_t i = at; i < at + len; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

}  // namespace

std::string FormatLocalTime(int64_t secs) {
  if (secs == 0) return kNoTime;
  time_t t = static_cast<time_t>(secs);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return kNoTime;
  // Four digits of year or nothing: a time outside the years 1 to 9999 has no text of this form.
  if (tm.tm_year < 1 - 1900 || tm.tm_year > 9999 - 1900) return kNoTime;
  char buf[64];
  snprintf(buf, sizeof(buf), "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool ParseLocalTime(const std::string& text, int64_t* secs) {
  if (text == kNoTime) {
    *secs = 0;
    return true;
  }
  // Exactly "yyyy/mm/dd hh:nn:ss": digits where digits belong, nothing else anywhere.
  if (text.size() != kTimeTextLength || text[4] != '/' || text[7] != '/' || text[10] != ' ' ||
      text[13] != ':' || text[16] != ':') {
    return false;
  }
  int y = Digits(text, 0, 4), mo = Digits(text, 5, 2), d = Digits(text, 8, 2);
  int h = Digits(text, 11, 2), mi = Digits(text, 14, 2), s = Digits(text, 17, 2);
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h < 0 || h > 23 || mi < 0 ||
      mi > 59 || s < 0 || s > 59) {
    return false;
  }
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  tm.tm_wday = -1;  // mktime sets it on success; -1 is also a valid time, so it cannot tell
  time_t t = mktime(&tm);
  if (tm.tm_wday < 0) return false;
  *secs = static_cast<int64_t>(t);
  return true;
}

std::string FormatIsoTime(int64_t ms) {
  // Floor division: a time before the epoch keeps its milliseconds positive.
  int64_t secs = ms / 1000, milli = ms % 1000;
  if (milli < 0) {
    milli += 1000;
    --secs;
  }
  time_t t = static_cast<time_t>(secs);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return std::string();
  const long offset_min = tm.tm_gmtoff / 60;
  const long abs_min = offset_min < 0 ? -offset_min : offset_min;
  char buf[64];
  snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(milli),
           offset_min < 0 ? '-' : '+', abs_min / 60, abs_min % 60);
  return buf;
}

}  // namespace zk
