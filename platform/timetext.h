// Time text "yyyy/mm/dd hh:nn:ss" in the process's local time zone, used in listings and on
// the wire. Times are whole seconds since the epoch; 0 means "no time" and formats as
// "1899/12/30 00:00:00".
#ifndef ZK_PLATFORM_TIMETEXT_H_
#define ZK_PLATFORM_TIMETEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace zk {

// The length of every time text.
constexpr size_t kTimeTextLength = 19;

// A time outside the years 1 to 9999 has no such text and gives the "no time" text as well.
std::string FormatLocalTime(int64_t secs);
// Parses exactly the layout above (digits only, zero-padded, a date of the calendar, hours 0 to
// 23, minutes and seconds 0 to 59) as local time. False for any other text.
// "1899/12/30 00:00:00" gives 0.
bool ParseLocalTime(const std::string& text, int64_t* secs);

// `ms` milliseconds since the epoch as ISO 8601 in local time with milliseconds and the zone's
// offset: "2026-12-09T14:03:12.345+09:00" ("+00:00" in UTC). For records read by machines, never
// on the wire.
std::string FormatIsoTime(int64_t ms);

}  // namespace zk

#endif  // ZK_PLATFORM_TIMETEXT_H_
