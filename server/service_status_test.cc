// The status and watchdog thread against a service manager that records what it hears, with
// probes the test steers: a watchdog fed only while the ORB answers.
#include "server/service_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zk {
namespace {

class RecordingManager : public ServiceManager {
 public:
  explicit RecordingManager(std::chrono::microseconds watchdog) : watchdog_(watchdog) {}
  void Notify(const std::string& state) override {
    std::lock_guard<std::mutex> lock(mu_);
    heard_.push_back(state);
  }
  std::chrono::microseconds WatchdogInterval() override { return watchdog_; }
  std::vector<std::string> heard() {
    std::lock_guard<std::mutex> lock(mu_);
    return heard_;
  }
  int Count(const std::string& state) {
    int n = 0;
    for (const std::string& s : heard()) n += s == state;
    return n;
  }

 private:
  std::chrono::microseconds watchdog_;
  std::mutex mu_;
  std::vector<std::string> heard_;
};

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(ServiceStatusTest, ReadyWithTheCountThenALineForEachChangeAndNoWatchdogUnlessAsked) {
  RecordingManager manager(std::chrono::microseconds(0));
  std::atomic<size_t> connections{2};
  std::atomic<int> probes{0};
  {
    ServiceStatus status(&manager,
                         {[&] { return connections.load(); },
                          [&] {
                            ++probes;
                            return true;
                          }},
                         std::chrono::milliseconds(20));
    EXPECT_TRUE(manager.heard().empty());  // nothing before Ready
    status.Ready();
    Sleep(100);
    connections = 3;
    Sleep(100);
  }
  const std::vector<std::string> heard = manager.heard();
  ASSERT_EQ(2u, heard.size());
  EXPECT_EQ("READY=1\nSTATUS=接続数 2", heard[0]);
  EXPECT_EQ("STATUS=接続数 3", heard[1]);
  EXPECT_EQ(0, probes.load());  // no watchdog: the ORB is not asked
}

// A connection that comes between "READY=1" and the thread's first look is said too.
TEST(ServiceStatusTest, ACountThatChangedRightAfterReadyIsSaid) {
  RecordingManager manager(std::chrono::microseconds(0));
  std::atomic<int> asked{0};
  {
    ServiceStatus status(&manager, {[&] { return size_t(asked++ == 0 ? 0 : 1); }, [] { return true; }},
                         std::chrono::milliseconds(10));
    status.Ready();
    Sleep(100);
  }
  const std::vector<std::string> heard = manager.heard();
  ASSERT_EQ(2u, heard.size());
  EXPECT_EQ("READY=1\nSTATUS=接続数 0", heard[0]);
  EXPECT_EQ("STATUS=接続数 1", heard[1]);
}

TEST(ServiceStatusTest, TheWatchdogIsFedOnlyWhileTheOrbAnswers) {
  RecordingManager manager(std::chrono::milliseconds(40));  // a ping every 20 ms
  std::atomic<int> mode{0};  // 0 answers, 1 fails, 2 hangs until released
  std::mutex hang;
  std::unique_lock<std::mutex> held(hang, std::defer_lock);
  auto answers = [&] {
    if (mode == 1) return false;
    if (mode == 2) std::lock_guard<std::mutex> wait(hang);
    return true;
  };
  ServiceStatus status(&manager, {[] { return size_t{0}; }, answers},
                       std::chrono::milliseconds(1000));
  status.Ready();
  Sleep(200);
  const int answered = manager.Count("WATCHDOG=1");
  EXPECT_GE(answered, 4);

  mode = 1;  // the probe fails: no ping
  Sleep(60);
  const int before_failing = manager.Count("WATCHDOG=1");
  Sleep(200);
  EXPECT_EQ(before_failing, manager.Count("WATCHDOG=1"));

  held.lock();  // the probe hangs: no ping either
  mode = 2;
  Sleep(200);
  const int hung = manager.Count("WATCHDOG=1");
  Sleep(200);
  EXPECT_LE(manager.Count("WATCHDOG=1"), hung + 1);  // at most the probe that began before

  mode = 0;  // it answers again: the pings come back
  held.unlock();
  Sleep(200);
  EXPECT_GE(manager.Count("WATCHDOG=1"), hung + 4);
}

TEST(ServiceStatusTest, PingsComeEveryHalfIntervalWhileTheCountIsLookedAtMoreOften) {
  RecordingManager manager(std::chrono::milliseconds(400));  // a ping every 200 ms
  std::atomic<size_t> connections{0};
  std::atomic<int> probes{0};
  ServiceStatus status(&manager,
                       {[&] { return connections.load(); },
                        [&] {
                          ++probes;
                          return true;
                        }},
                       std::chrono::milliseconds(50));
  status.Ready();
  Sleep(100);
  connections = 1;  // seen within a tick of 50 ms, long before the next ping
  Sleep(100);
  EXPECT_EQ(1, manager.Count("STATUS=接続数 1"));
  Sleep(800);
  // About five pings in a second, one probe each: not one per tick (twenty).
  EXPECT_GE(manager.Count("WATCHDOG=1"), 3);
  EXPECT_LE(manager.Count("WATCHDOG=1"), 6);
  const int pings = manager.Count("WATCHDOG=1");
  EXPECT_GE(probes.load(), pings);
  EXPECT_LE(probes.load(), pings + 1);  // one may be under way
}

}  // namespace
}  // namespace zk
