// The login throttle on a clock of its own: when attempts are admitted, for whom, and for how long
// the table remembers.
#include "server/login_throttle.h"

#include <gtest/gtest.h>

#include <string>

namespace zk {
namespace {

using Clock = LoginThrottle::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

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
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(t.Admit("u1", "peer", kStart)) << i;
  // Any number of attempts at once, from any peer: none is admitted before the delay has passed.
  Clock::duration wait;
  EXPECT_FALSE(t.Admit("u1", "peer", kStart + milliseconds(10), &wait));
  EXPECT_EQ(milliseconds(990), wait);
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(t.Admit("u1", "other" + std::to_string(i), kStart));
  // The refused ones did not lengthen it: one more guess after one second, then two seconds.
  EXPECT_TRUE(t.Admit("u1", "other", kStart + seconds(1)));
  EXPECT_FALSE(t.Admit("u1", "other", kStart + seconds(2)));
  EXPECT_TRUE(t.Admit("u1", "other", kStart + seconds(3)));
  // Other user ids from a fresh peer are not held back.
  EXPECT_TRUE(t.Admit("u2", "fresh", kStart + seconds(3)));
}

TEST(LoginThrottleTest, APeerTryingManyUserIdsIsHeldBackToo) {
  LoginThrottle t;
  for (int i = 0; i < LoginThrottle::kFreePeerFailures; ++i) {
    EXPECT_TRUE(t.Admit("user" + std::to_string(i), "peer", kStart)) << i;
  }
  EXPECT_FALSE(t.Admit("user99", "peer", kStart));
  EXPECT_TRUE(t.Admit("user99", "elsewhere", kStart));
  EXPECT_TRUE(t.Admit("user98", "peer", kStart + seconds(1)));
}

TEST(LoginThrottleTest, SuccessAndTimeStartAgainFromZero) {
  LoginThrottle t;
  for (int i = 0; i < 8; ++i) t.Admit("u1", "peer", kStart + seconds(100 * i));
  // The correct password after the delay: admitted, and then nothing is held against u1.
  EXPECT_FALSE(t.Admit("u1", "peer", kStart + seconds(700) + seconds(7)));
  ASSERT_TRUE(t.Admit("u1", "peer", kStart + seconds(700) + seconds(8)));
  t.Succeeded("u1", "peer");
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(t.Admit("u1", "peer", kStart + seconds(800))) << i;
  EXPECT_FALSE(t.Admit("u1", "peer", kStart + seconds(800)));
  // Failures long past are forgotten: five free attempts again.
  const Clock::time_point later = kStart + seconds(800) + LoginThrottle::kForgetAfter + seconds(1);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(t.Admit("u1", "peer", later)) << i;
  EXPECT_FALSE(t.Admit("u1", "peer", later));
}

TEST(LoginThrottleTest, AFloodOfFreshIdsNeitherGrowsTheTableNorFreesTheUserUnderAttack) {
  LoginThrottle t;
  for (int i = 0; i < 5; ++i) t.Admit("target", "p", kStart);
  Clock::time_point now = kStart;
  const size_t flood = LoginThrottle::kMaxRecords + 1000;
  for (size_t i = 0; i < flood; ++i) {
    now += milliseconds(1);
    t.Admit("id" + std::to_string(i), "peer" + std::to_string(i), now);
  }
  // The flood took 11 s: the target's delay of one second is over, and its next failure brings the
  // doubled delay, so its count survived. The oldest fresh ids were dropped to make room.
  EXPECT_TRUE(t.Admit("target", "q", now));
  EXPECT_FALSE(t.Admit("target", "q", now + seconds(1)));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(t.Admit("id0", "fresh" + std::to_string(i), now));
  const std::string recent = "id" + std::to_string(flood - 1);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(t.Admit(recent, "r" + std::to_string(i), now));
  EXPECT_FALSE(t.Admit(recent, "r9", now));
}

}  // namespace
}  // namespace zk
