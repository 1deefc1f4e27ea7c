// The lane's call runs beside the caller, its end is waited for, and what it threw reaches the
// caller at Finish; a lane is used again call after call.
#include "clients/call_lane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace zk {
namespace {

TEST(CallLaneTest, TheCallRunsBesideTheCallerAndFinishWaitsForIt) {
  CallLane lane;
  lane.Finish();  // nothing started: nothing to wait for
  std::promise<void> go;
  std::shared_future<void> let = go.get_future().share();
  std::atomic<int> step{0};
  lane.Start([&] {
    let.wait();  // only once the caller has gone on
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    step = 1;
  });
  EXPECT_TRUE(lane.running());
  go.set_value();
  lane.Finish();
  EXPECT_EQ(1, step.load());
  EXPECT_FALSE(lane.running());
  for (int i = 2; i < 5; ++i) {
    lane.Start([&, i] { step = i; });
    lane.Finish();
    EXPECT_EQ(i, step.load());
  }
}

TEST(CallLaneTest, WhatTheCallThrewIsThrownByFinishOnce) {
  CallLane lane;
  lane.Start([] { throw std::runtime_error("gone"); });
  EXPECT_THROW(lane.Finish(), std::runtime_error);
  lane.Finish();  // it was taken
  bool ran = false;
  lane.Start([&] { ran = true; });
  EXPECT_NO_THROW(lane.Finish());
  EXPECT_TRUE(ran);
}

TEST(CallLaneTest, ALaneEndsOnlyAfterItsCall) {
  std::atomic<bool> done{false};
  {
    CallLane lane;
    lane.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      done = true;
    });
  }
  EXPECT_TRUE(done.load());
}

}  // namespace
}  // namespace zk
