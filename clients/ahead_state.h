// Where the download-ahead pipeline of a download walk is (clients/download_ahead.cc): whether
// it has its two lanes, and which lanes hold a reply back. It decides; the walk sends, writes and
// drops. Lane 0 is the walk's own connection, lane 1 the second one; batches take them in turn.
#ifndef ZK_CLIENTS_AHEAD_STATE_H_
#define ZK_CLIENTS_AHEAD_STATE_H_

namespace zk {

class AheadState {
 public:
  enum class Stage {
    kUntried,  // nothing went ahead yet: whether there is a second connection is not known
    kOpening,  // the lanes are being opened: one lane until they are
    kSingle,   // there is no second connection: each batch is sent and written in turn
    kIdle,     // two lanes, no reply held back
    kHeld,     // a batch went ahead, its reply held back
    kOverlap,  // a batch went ahead while the reply to the one before is still held back
  };

  Stage stage() const { return stage_; }
  // True the first time only: the walk is to open the lanes now, and say how that went (Opened).
  bool Try();
  // Whether the lanes opened: batches go ahead from now on, or never (one lane for good).
  void Opened(bool lanes);

  // True when a lane can take a batch ahead now.
  bool CanSend() const { return stage_ == Stage::kIdle || stage_ == Stage::kHeld; }
  // A batch goes ahead: the lane it is sent on, or -1 when none can take it (one lane, or both
  // hold a reply back). A reply that was held back before is the older one, let go first.
  int Send();
  // The reply held back longest is let go (to be written or dropped): its lane, or -1 when no
  // reply is held back. Each batch sent ahead is let go once.
  int Release();
  // After a Send that overlapped: the older reply is let go, and its lane returned; -1 when no
  // older reply is held back (the one just sent never is).
  int ReleaseOlder();
  // True while a reply is held back.
  bool holding() const { return stage_ == Stage::kHeld || stage_ == Stage::kOverlap; }
  // The lane of the batch that went ahead last while its reply is held back, else -1.
  int newest() const { return holding() ? 1 - next_ : -1; }

 private:
  Stage stage_ = Stage::kUntried;
  int next_ = 0;  // the lane of the next batch; in kOverlap it holds the older reply
};

}  // namespace zk

#endif  // ZK_CLIENTS_AHEAD_STATE_H_
