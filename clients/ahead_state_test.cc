// The download-ahead pipeline's state on its own: it has lanes only when the second connection
// opened, batches take the lanes in turn, a lane never holds two replies, and every reply held
// back is let go once, the older first.
#include "clients/ahead_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace zk {
namespace {

using Stage = AheadState::Stage;

AheadState WithLanes() {
  AheadState s;
  EXPECT_TRUE(s.Try());
  s.Opened(true);
  return s;
}

TEST(AheadStateTest, WithoutASecondConnectionEveryBatchGoesInTurn) {
  AheadState s;
  EXPECT_EQ(Stage::kUntried, s.stage());
  EXPECT_FALSE(s.CanSend());
  EXPECT_TRUE(s.Try());
  // While the lanes are being opened there is one.
  EXPECT_EQ(Stage::kOpening, s.stage());
  EXPECT_FALSE(s.CanSend());
  EXPECT_EQ(-1, s.Send());
  s.Opened(false);
  EXPECT_EQ(Stage::kSingle, s.stage());
  // Tried once: not again, and a late word of lanes changes nothing.
  EXPECT_FALSE(s.Try());
  s.Opened(true);
  EXPECT_EQ(Stage::kSingle, s.stage());
  EXPECT_FALSE(s.CanSend());
  EXPECT_EQ(-1, s.Send());
  EXPECT_FALSE(s.holding());
  EXPECT_EQ(-1, s.Release());
  EXPECT_EQ(-1, s.newest());
}

TEST(AheadStateTest, BatchesTakeTheLanesInTurnAndTheOlderReplyGoesFirst) {
  AheadState s = WithLanes();
  EXPECT_FALSE(s.Try());
  EXPECT_EQ(Stage::kIdle, s.stage());
  // The first batch ahead: held back, and nothing older to let go.
  EXPECT_EQ(0, s.Send());
  EXPECT_EQ(Stage::kHeld, s.stage());
  EXPECT_EQ(0, s.newest());
  EXPECT_EQ(-1, s.ReleaseOlder());
  EXPECT_EQ(Stage::kHeld, s.stage());
  // The next goes on the other lane while the first is held back; the first is let go then.
  EXPECT_EQ(1, s.Send());
  EXPECT_EQ(Stage::kOverlap, s.stage());
  EXPECT_EQ(1, s.newest());
  EXPECT_EQ(0, s.ReleaseOlder());
  EXPECT_EQ(Stage::kHeld, s.stage());
  EXPECT_EQ(1, s.newest());
  // And so on, one lane after the other.
  std::vector<int> lanes;
  for (int i = 0; i < 4; ++i) {
    lanes.push_back(s.Send());
    lanes.push_back(s.ReleaseOlder());
  }
  EXPECT_EQ((std::vector<int>{0, 1, 1, 0, 0, 1, 1, 0}), lanes);
  EXPECT_EQ(1, s.Release());
  EXPECT_EQ(Stage::kIdle, s.stage());
}

TEST(AheadStateTest, ALaneHoldingAReplyIsNotGivenAnother) {
  AheadState s = WithLanes();
  EXPECT_EQ(0, s.Send());
  EXPECT_EQ(1, s.Send());
  // Both hold a reply back: no third batch until one is let go.
  EXPECT_FALSE(s.CanSend());
  EXPECT_EQ(-1, s.Send());
  EXPECT_EQ(Stage::kOverlap, s.stage());
  EXPECT_EQ(0, s.Release());
  EXPECT_TRUE(s.CanSend());
  EXPECT_EQ(0, s.Send());
}

TEST(AheadStateTest, EachReplyIsLetGoOnceAndNothingAfterADrop) {
  AheadState s = WithLanes();
  s.Send();
  s.Send();
  // Dropping everything held back: the older reply, then the newer, then nothing.
  std::vector<int> released;
  for (int lane; (lane = s.Release()) >= 0;) released.push_back(lane);
  EXPECT_EQ((std::vector<int>{0, 1}), released);
  EXPECT_FALSE(s.holding());
  EXPECT_EQ(-1, s.newest());
  // A finish after the drop finds nothing to write.
  EXPECT_EQ(-1, s.Release());
  EXPECT_EQ(-1, s.ReleaseOlder());
  EXPECT_EQ(Stage::kIdle, s.stage());
  // The pipeline goes on where it was: the next batch takes the lane after the last.
  EXPECT_EQ(0, s.Send());
  EXPECT_EQ(0, s.Release());
  EXPECT_EQ(-1, s.Release());
}

}  // namespace
}  // namespace zk
