// The login throttle on a clock of its own: when attempts are admitted, held back or kept waiting,
// for whom, and for how long the table remembers.
#include "server/login_throttle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zk {
namespace {

using Clock = LoginThrottle::Clock;
using Answer = LoginThrottle::Answer;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

// One attempt that fails at once; true when it was admitted.
bool Fail(LoginThrottle* t, const std::string& user, const std::string& peer,
          Clock::time_point now) {
  if (t->TryAdmit(user, peer, now) != Answer::kAdmitted) return false;
  t->Done(user, peer, false, now);
  return true;
}

TEST(LoginThrottleTest, DelaysDoubleAfterTheFreeFailuresUpToTheCap) {
  EXPECT_EQ(Clock::duration::zero(), LoginThrottle::DelayAfter(4, 5));
  EXPECT_EQ(seconds(1), LoginThrottle::DelayAfter(5, 5));
  EXPECT_EQ(seconds(2), LoginThrottle::DelayAfter(6, 5));
  EXPECT_EQ(seconds(32), LoginThrottle::DelayAfter(10, 5));
  EXPECT_EQ(seconds(60), LoginThrottle::DelayAfter(11, 5));
  EXPECT_EQ(seconds(60), LoginThrottle::DelayAfter(100000, 5));
  EXPECT_EQ(Clock::duration::zero(), LoginThrottle::DelayAfter(19, 20));
  EXPECT_EQ(seconds(1), LoginThrottle::DelayAfter(20, 20));
}

TEST(LoginThrottleTest, AttemptsInsideTheDelayAreNotCheckedNorCounted) {
  LoginThrottle t;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Fail(&t, "u1", "peer", kStart)) << i;
  // Any number of attempts, from any peer: none is admitted before the delay has passed.
  Clock::duration wait;
  EXPECT_EQ(Answer::kHeldBack, t.TryAdmit("u1", "peer", kStart + milliseconds(10), &wait));
  EXPECT_EQ(milliseconds(990), wait);
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(Fail(&t, "u1", "other" + std::to_string(i), kStart));
  // The refused ones did not lengthen it: one more guess after one second, then two seconds.
  EXPECT_TRUE(Fail(&t, "u1", "other", kStart + seconds(1)));
  EXPECT_FALSE(Fail(&t, "u1", "other", kStart + seconds(2)));
  EXPECT_TRUE(Fail(&t, "u1", "other", kStart + seconds(3)));
  // Other user ids from a fresh peer are not held back.
  EXPECT_TRUE(Fail(&t, "u2", "fresh", kStart + seconds(3)));
}

TEST(LoginThrottleTest, AttemptsAtOnceGetNoMoreChecksThanOneAfterAnother) {
  LoginThrottle t;
  // Five at once are checked; the sixth waits for them.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Answer::kAdmitted, t.TryAdmit("u1", "p" + std::to_string(i), kStart)) << i;
  }
  EXPECT_EQ(Answer::kBusy, t.TryAdmit("u1", "p9", kStart));
  // They all fail: the one waiting is then held back by the delay.
  for (int i = 0; i < 5; ++i) t.Done("u1", "p" + std::to_string(i), false, kStart);
  EXPECT_EQ(Answer::kHeldBack, t.TryAdmit("u1", "p9", kStart));
  // Past the delay, one attempt at a time, each taking the next delay with it.
  ASSERT_EQ(Answer::kAdmitted, t.TryAdmit("u1", "p9", kStart + seconds(1)));
  EXPECT_EQ(Answer::kHeldBack, t.TryAdmit("u1", "p8", kStart + seconds(1)));
  EXPECT_EQ(Answer::kHeldBack, t.TryAdmit("u1", "p8", kStart + seconds(2)));
  t.Done("u1", "p9", false, kStart + seconds(1));
  EXPECT_EQ(Answer::kHeldBack, t.TryAdmit("u1", "p8", kStart + seconds(2)));
  EXPECT_EQ(Answer::kAdmitted, t.TryAdmit("u1", "p8", kStart + seconds(3)));
}

TEST(LoginThrottleTest, ManyLoginsOfOneUserAtOnceAllPass) {
  LoginThrottle t;
  std::atomic<int> admitted(0), refused(0);
  std::vector<std::thread> logins;
  for (int i = 0; i < 32; ++i) {
    logins.emplace_back([&, i] {
      for (int k = 0; k < 20; ++k) {
        const std::string peer = "p" + std::to_string(i % 4);
        if (!t.Admit("u1", peer)) {
          ++refused;
          continue;
        }
        ++admitted;
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // the registry read
        t.Done("u1", peer, true, Clock::now());
      }
    });
  }
  for (std::thread& th : logins) th.join();
  EXPECT_EQ(640, admitted);
  EXPECT_EQ(0, refused);
}

TEST(LoginThrottleTest, APeerTryingManyUserIdsIsHeldBackToo) {
  LoginThrottle t;
  for (int i = 0; i < LoginThrottle::kFreePeerFailures; ++i) {
    EXPECT_TRUE(Fail(&t, "user" + std::to_string(i), "peer", kStart)) << i;
  }
  EXPECT_FALSE(Fail(&t, "user99", "peer", kStart));
  EXPECT_TRUE(Fail(&t, "user99", "elsewhere", kStart));
  EXPECT_TRUE(Fail(&t, "user98", "peer", kStart + seconds(1)));
}

TEST(LoginThrottleTest, SuccessAndTimeStartAgainFromZero) {
  LoginThrottle t;
  for (int i = 0; i < 8; ++i) Fail(&t, "u1", "peer", kStart + seconds(100 * i));
  // The correct password after the delay: admitted, and then nothing is held against u1.
  EXPECT_EQ(Answer::kHeldBack, t.TryAdmit("u1", "peer", kStart + seconds(707)));
  ASSERT_EQ(Answer::kAdmitted, t.TryAdmit("u1", "peer", kStart + seconds(708)));
  t.Done("u1", "peer", true, kStart + seconds(708));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Fail(&t, "u1", "peer", kStart + seconds(800))) << i;
  EXPECT_FALSE(Fail(&t, "u1", "peer", kStart + seconds(800)));
  // Failures long past are forgotten: five free attempts again.
  const Clock::time_point later = kStart + seconds(800) + LoginThrottle::kForgetAfter + seconds(1);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Fail(&t, "u1", "peer", later)) << i;
  EXPECT_FALSE(Fail(&t, "u1", "peer", later));
}

TEST(LoginThrottleTest, AFloodOfFreshIdsNeitherGrowsTheTableNorFreesTheUserUnderAttack) {
  LoginThrottle t;
  for (int i = 0; i < 5; ++i) Fail(&t, "target", "p", kStart);
  Clock::time_point now = kStart;
  const size_t flood = LoginThrottle::kMaxRecords + 1000;
  for (size_t i = 0; i < flood; ++i) {
    now += milliseconds(1);
    Fail(&t, "id" + std::to_string(i), "peer" + std::to_string(i), now);
  }
  // The flood took 11 s: the target's delay of one second is over, and its next failure brings the
  // doubled delay, so its count survived. The oldest fresh ids were dropped to make room.
  EXPECT_TRUE(Fail(&t, "target", "q", now));
  EXPECT_FALSE(Fail(&t, "target", "q", now + seconds(1)));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Fail(&t, "id0", "fresh" + std::to_string(i), now));
  const std::string recent = "id" + std::to_string(flood - 1);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Fail(&t, recent, "r" + std::to_string(i), now));
  EXPECT_FALSE(Fail(&t, recent, "r9", now));
}

}  // namespace
}  // namespace zk
