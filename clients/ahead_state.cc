#include "clients/ahead_state.h"

namespace zk {

bool AheadState::Try() {
  if (stage_ != Stage::kUntried) return false;
  stage_ = Stage::kOpening;
  return true;
}

void AheadState::Opened(bool lanes) {
  if (stage_ == Stage::kOpening) stage_ = lanes ? Stage::kIdle : Stage::kSingle;
}

int AheadState::Send() {
  if (!CanSend()) return -1;
  stage_ = stage_ == Stage::kIdle ? Stage::kHeld : Stage::kOverlap;
  const int lane = next_;
  next_ = 1 - next_;
  return lane;
}

int AheadState::Release() {
  switch (stage_) {
    case Stage::kHeld:
      stage_ = Stage::kIdle;
      return 1 - next_;
    case Stage::kOverlap:
      stage_ = Stage::kHeld;
      return next_;
    case Stage::kUntried:
    case Stage::kOpening:
    case Stage::kSingle:
    case Stage::kIdle:
      return -1;
  }
  return -1;
}

int AheadState::ReleaseOlder() { return stage_ == Stage::kOverlap ? Release() : -1; }

}  // namespace zk
