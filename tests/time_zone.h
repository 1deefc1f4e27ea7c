// The process's time zone set for a scope, then the previous one restored.
//
//   TimeZone tz("JST-9");
//   ... local times are those of Japan ...
#ifndef ZK_TESTS_TIME_ZONE_H_
#define ZK_TESTS_TIME_ZONE_H_

#include <stdlib.h>
#include <time.h>

#include <string>

namespace zk {
namespace test {

class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace test
}  // namespace zk

#endif  // ZK_TESTS_TIME_ZONE_H_
