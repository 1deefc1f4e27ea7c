// Time text in local time.
#include "platform/timetext.h"

#include <cstdio>
#include <ctime>

namespace zk {

static const char kNoTime[] = "1899/12/30 00:00:00";

std::string FormatLocalTime(int64_t secs) {
  if (secs == 0) return kNoTime;
  time_t t = static_cast<time_t>(secs);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return kNoTime;
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
  int y, mo, d, h, mi, s;
  char tail;
  if (text.size() != 19 ||
      sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) {
    return false;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || h < 0 || mi < 0 ||
      s < 0) {
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
  // A date that does not exist (2024/02/31) is normalised by mktime into another one: refuse it.
  if (tm.tm_mday != d || tm.tm_mon != mo - 1) return false;
  *secs = static_cast<int64_t>(t);
  return true;
}

}  // namespace zk
