// The download-ahead pipeline: two lanes, one a connection, each a thread that makes its download
// calls; the reply to a batch sent ahead is held back until the walk lets it be written.
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "clients/download_walk.h"
#include "clients/reply_writer.h"

namespace zk {

// One thread per connection makes its download calls. The reply's first call to the sink waits
// until the walk lets it be written: the walk's own thread is waiting then, so the reply is
// written, and the walk's state touched, by one thread at a time, and the replies in the order
// their requests were sent.
class DownloadWalk::DownloadLane {
 public:
  explicit DownloadLane(CopyServer* server) : server_(server), thread_([this] { Run(); }) {}
  ~DownloadLane() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  // The request of `requests` goes out now; its reply waits for Finish.
  void Start(const ZKmd::zkSeqFileBuf64* requests, ChunkSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    requests_ = requests;
    sink_ = sink;
    write_ = false;
    drop_ = false;
    done_ = false;
    error_ = nullptr;
    cv_.notify_all();
  }

  // Lets the reply be written to the sink (or, without `write`, read and dropped) and waits for
  // the end of the call; throws what the call threw.
  CORBA::Long Finish(bool write, CORBA::Long* index) {
    std::unique_lock<std::mutex> lock(mu_);
    write_ = true;
    drop_ = !write;
    cv_.notify_all();
    cv_.wait(lock, [this] { return done_; });
    if (error_) std::rethrow_exception(error_);
    *index = index_;
    return result_;
  }

 private:
  // The sink the call writes to: Begin waits for Finish.
  class Gate : public ChunkSink {
   public:
    explicit Gate(DownloadLane* lane) : lane_(lane) {}
    void Begin(CORBA::Long result, CORBA::ULong count) override {
      std::unique_lock<std::mutex> lock(lane_->mu_);
      lane_->cv_.wait(lock, [this] { return lane_->write_; });
      if (!lane_->drop_) to_ = lane_->sink_;
      lock.unlock();
      if (to_) to_->Begin(result, count);
    }
    bool ChunkStart(CORBA::ULong i, int64_t file_size, const char* upd, const char* crt,
                    size_t len) override {
      return to_ && to_->ChunkStart(i, file_size, upd, crt, len);
    }
    bool Piece(size_t offset, const uint8_t* data, size_t len) override {
      return to_ && to_->Piece(offset, data, len);
    }
    void ChunkEnd() override {
      if (to_) to_->ChunkEnd();
    }
    void Digests(const std::vector<Digest128>& digests) override {
      if (to_) to_->Digests(digests);
    }

   private:
    DownloadLane* lane_;
    ChunkSink* to_ = nullptr;
  };

  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return quit_ || requests_; });
      if (!requests_) return;
      const ZKmd::zkSeqFileBuf64* requests = requests_;
      requests_ = nullptr;
      lock.unlock();
      Gate gate(this);
      CORBA::Long index = 0, result = 0;
      std::exception_ptr error;
      try {
        result = server_->Download(*requests, &index, &gate);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      // A reply that failed before it began: Finish still decides when the walk hears of it.
      cv_.wait(lock, [this] { return write_; });
      result_ = result;
      index_ = index;
      error_ = error;
      done_ = true;
      cv_.notify_all();
    }
  }

  CopyServer* server_;
  std::mutex mu_;
  std::condition_variable cv_;
  const ZKmd::zkSeqFileBuf64* requests_ = nullptr;  // to be sent
  ChunkSink* sink_ = nullptr;
  bool write_ = false;  // Finish was called
  bool drop_ = false;
  bool done_ = false;
  bool quit_ = false;
  CORBA::Long result_ = 0;
  CORBA::Long index_ = 0;
  std::exception_ptr error_;
  std::thread thread_;  // last: it starts once the rest is set up
};

struct DownloadWalk::Ahead {
  Ahead(DownloadWalk* walk, const ZKmd::zkSeqFileBuf64& requests, const std::string& local_dir)
      : chunks(requests), dir(local_dir), writer(walk, chunks, dir) {}
  const ZKmd::zkSeqFileBuf64 chunks;
  const std::string dir;
  ReplyWriter writer;
};

DownloadWalk::DownloadWalk(WalkState* state) : WalkPart(state) {}

// A walk that ends while a reply is held back (an exception on its way out) drops it, before the
// lanes' threads end.
DownloadWalk::~DownloadWalk() { DropAhead(); }

void DownloadWalk::DropAhead() {
  for (int lane; (lane = ahead_state_.Release()) >= 0;) LetGo(lane);
}

void DownloadWalk::LetGo(int lane) {
  // What the call threw is not reported: it belongs to a batch before this one, reported
  // already, or nobody is left to hear of it.
  CORBA::Long index = 0;
  try {
    lanes_[lane]->Finish(false, &index);
  } catch (...) {
  }
  held_[lane].reset();  // the call is over: its requests are no longer read
}

void DownloadWalk::OpenLanes() {
  CopyServer* second = server_->Second();
  if (second) {
    lanes_[0].reset(new DownloadLane(server_));
    lanes_[1].reset(new DownloadLane(second));
  }
  ahead_state_.Opened(second != nullptr);
}

void DownloadWalk::SendDownloadAhead(DownloadBatch* pending, const std::string& local_dir) {
  if (ahead_state_.Try()) OpenLanes();
  if (!ahead_state_.CanSend() || stopped_ || pending->empty()) {
    SendDownload(pending, local_dir);
    return;
  }
  std::unique_ptr<Ahead> next(new Ahead(this, pending->chunks(), local_dir));
  const int lane = ahead_state_.Send();
  held_[lane] = std::move(next);
  lanes_[lane]->Start(&held_[lane]->chunks, &held_[lane]->writer);
  pending->Clear();
  // The reply to the batch before it is written while the server reads this one.
  const int older = ahead_state_.ReleaseOlder();
  if (older >= 0) FinishLane(older);
}

bool DownloadWalk::FileGoesOn(const std::string& path, const std::string& name) const {
  if (stopped_) return false;
  if (incoming_.count(path) > 0) return true;
  const int lane = ahead_state_.newest();
  if (lane < 0) return false;
  const ZKmd::zkSeqFileBuf64& chunks = held_[lane]->chunks;
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const ZKmd::zkStrctFileBuf64& c = chunks[i];
    if (c.bufNo == 1 && name == c.fileNm.in()) return true;
  }
  return false;
}

void DownloadWalk::FinishAhead() {
  const int lane = ahead_state_.Release();
  if (lane >= 0) FinishLane(lane);
}

void DownloadWalk::FinishLane(int lane) {
  const std::unique_ptr<Ahead> a = std::move(held_[lane]);
  if (stopped_) {  // the batch before lost its connection: this one would not have been sent
    LetGo(lane);
    GiveUpDownloads(a->chunks, 0, a->dir, true);
    return;
  }
  CompleteDownload(a->chunks, &a->writer, a->dir,
                   [&](CORBA::Long* index) { lanes_[lane]->Finish(true, index); });
}

}  // namespace zk
