// The uploads in progress, their temporary names, and the removal of what dead uploads left.
#include "server/uploads.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <random>
#include <tuple>

#include "server/chunk_calls.h"
#include "server/storage.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

// 0xFF never occurs in UTF-8 text.
const char kTempMark[] = "\xFFzk-upload.";
constexpr size_t kTempMarkLength = sizeof(kTempMark) - 1;
// The next chunk number of a finished upload: no chunk's number.
constexpr int32_t kFinishedNo = INT32_MIN;
// How often the sweeper asks whether the owners of kept uploads are still registered.
constexpr int kOwnerCheckSeconds = 30;

// 16 hexadecimal digits chosen once per process: its temporary names are its own.
const std::string& ProcessMark() {
  static const std::string mark = [] {
    std::random_device random;
    uint64_t value = (static_cast<uint64_t>(random()) << 32) ^ random();
    char text[17];
    std::snprintf(text, sizeof(text), "%016" PRIx64, value);
    return std::string(text);
  }();
  return mark;
}

}  // namespace

bool IsUploadTempName(const std::string& name) {
  return name.compare(0, kTempMarkLength, kTempMark) == 0;
}

std::string NewUploadTempName() {
  static std::atomic<uint64_t> serial{0};
  return kTempMark + ProcessMark() + "." + std::to_string(++serial);
}

bool IsOwnUploadTempName(const std::string& name) {
  const std::string own = kTempMark + ProcessMark() + ".";
  return name.compare(0, own.size(), own) == 0;
}

bool UploadKey::operator<(const UploadKey& o) const {
  return std::tie(conn, area, target) < std::tie(o.conn, o.area, o.target);
}

std::vector<UploadLeftover> UploadTable::Begin(const UploadKey& key, const std::string& temp,
                                               const Socket& socket, Clock::time_point now,
                                               std::shared_ptr<FileDigest> digest) {
  std::vector<UploadLeftover> drop;
  std::lock_guard<std::mutex> lock(mu_);
  Place(key, temp, socket, now, &drop).digest = std::move(digest);
  return drop;
}

std::vector<UploadLeftover> UploadTable::Adopt(const UploadKey& key, const KeptPart& part,
                                               const Socket& socket, Clock::time_point now,
                                               int64_t length, int32_t no,
                                               std::shared_ptr<FileDigest> digest) {
  std::vector<UploadLeftover> drop;
  std::lock_guard<std::mutex> lock(mu_);
  Upload& up = Place(key, part.temp, socket, now, &drop);
  up.digest = std::move(digest);
  up.length = length;
  up.next_no = no;
  up.recorded = true;
  up.record = part;
  return drop;
}

UploadTable::Upload& UploadTable::Place(const UploadKey& key, const std::string& temp,
                                        const Socket& socket, Clock::time_point now,
                                        std::vector<UploadLeftover>* dropped) {
  std::vector<UploadLeftover>& drop = *dropped;
  auto same = uploads_.find(key);
  if (same != uploads_.end()) {
    drop.push_back({key.area, same->second.temp});
    Erase(same);
  }
  // The connection's uploads are next to each other in the map (the id comes first in the key).
  for (;;) {
    auto counted = unfinished_.find(key.conn);
    if (counted == unfinished_.end() || counted->second < max_per_connection_) break;
    auto first = uploads_.lower_bound(UploadKey{key.conn, "", ""});
    auto oldest = uploads_.end();
    size_t count = 0;
    for (auto it = first; it != uploads_.end() && it->first.conn == key.conn; ++it) {
      // A finished upload waits for its batch's check only: it does not count.
      if (it->second.next_no == kFinishedNo) continue;
      ++count;
      if (oldest == uploads_.end() || it->second.serial < oldest->second.serial) oldest = it;
    }
    if (count < max_per_connection_ || oldest == uploads_.end()) break;
    drop.push_back({oldest->first.area, oldest->second.temp});
    Erase(oldest);
  }
  Upload& up = uploads_[key];
  ++unfinished_[key.conn];
  up.temp = temp;
  up.socket = socket;
  up.used = now;
  up.serial = ++serial_;
  return up;
}

bool UploadTable::Next(const UploadKey& key, int32_t no, Clock::time_point now, Progress* at,
                       std::vector<UploadLeftover>* drop, uint64_t claim) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end()) return false;
  const bool claimed_by_other = it->second.claimed && it->second.serial != claim;
  if (it->second.next_no != no || claimed_by_other) {
    drop->push_back({key.area, it->second.temp});
    Erase(it);
    return false;
  }
  it->second.used = now;
  at->temp = it->second.temp;
  at->length = it->second.length;
  at->recorded = it->second.recorded;
  at->digest = it->second.digest;
  return true;
}

bool UploadTable::Claim(const UploadKey& key, Progress* at, uint64_t* claim) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end() || it->second.claimed) return false;
  it->second.claimed = true;
  at->temp = it->second.temp;
  at->length = it->second.length;
  at->recorded = it->second.recorded;
  at->digest = it->second.digest;
  *claim = it->second.serial;
  return true;
}

void UploadTable::Unclaim(const UploadKey& key, uint64_t claim) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it != uploads_.end() && it->second.serial == claim) it->second.claimed = false;
}

void UploadTable::Stored(const UploadKey& key, int64_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end()) return;
  ++it->second.next_no;
  it->second.length = length;
}

void UploadTable::Finished(const UploadKey& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it != uploads_.end()) Number(it, kFinishedNo);
}

bool UploadTable::Rewind(const UploadKey& key, int64_t length, int32_t no) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end()) return false;
  it->second.length = length;
  Number(it, no);
  return true;
}

void UploadTable::Recorded(const UploadKey& key, const KeptPart& record) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end()) return;
  it->second.recorded = true;
  it->second.record = record;
}

void UploadTable::End(const UploadKey& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it != uploads_.end()) Erase(it);
}

std::map<UploadKey, UploadTable::Upload>::iterator UploadTable::Erase(
    std::map<UploadKey, Upload>::iterator it) {
  Number(it, kFinishedNo);
  return uploads_.erase(it);
}

void UploadTable::Number(std::map<UploadKey, Upload>::iterator it, int32_t no) {
  const bool was = it->second.next_no != kFinishedNo, is = no != kFinishedNo;
  it->second.next_no = no;
  if (was == is) return;
  auto counted = unfinished_.find(it->first.conn);
  if (is) {
    ++unfinished_[it->first.conn];
  } else if (counted != unfinished_.end() && --counted->second == 0) {
    unfinished_.erase(counted);
  }
}

std::vector<UploadLeftover> UploadTable::Expired(Clock::time_point now, Clock::duration idle,
                                                 const std::function<bool(const Socket&)>& open,
                                                 std::vector<KeptPart>* keep) {
  std::vector<UploadLeftover> drop;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = uploads_.begin(); it != uploads_.end();) {
    // A call writing into it ends first (its connection is closed, so it fails soon), and
    // leaves the upload as its verified chunks made it.
    const bool stopped = now - it->second.used >= idle || !open(it->second.socket);
    if (stopped && !it->second.claimed) {
      if (it->second.recorded && keep) {
        keep->push_back(it->second.record);
      } else {
        drop.push_back({it->first.area, it->second.temp});
      }
      it = Erase(it);
    } else {
      ++it;
    }
  }
  return drop;
}

size_t UploadTable::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return uploads_.size();
}

void RemoveUploadFiles(FileSystem* area, const std::string& temp) {
  area->RemoveFile(temp);
  area->RemoveFile(KeptRecordName(temp));  // none, mostly
}

int64_t UploadTable::BytesIn(const std::string& area) const {
  std::lock_guard<std::mutex> lock(mu_);
  int64_t bytes = 0;
  for (const auto& up : uploads_) {
    if (up.first.area == area) bytes += up.second.length;
  }
  return bytes;
}

void RemoveLeftover(FileSystem* fs, const UploadLeftover& leftover) {
  std::unique_ptr<FileSystem> area = fs->Beneath(leftover.area);
  if (area) RemoveUploadFiles(area.get(), leftover.temp);
}

int RemoveEarlierLeftovers(FileSystem* fs, const std::string& env_file, KeptUploads* kept) {
  int removed = 0;
  const int64_t now = UnixNow();
  for (const std::string& user : RegisteredUsers(env_file)) {
    std::string dir;
    if (!RegisteredStorageDir(env_file, user, &dir)) continue;
    std::unique_ptr<FileSystem> area = fs->Beneath(dir);
    if (area) removed += TakeOverEarlierUploads(area.get(), dir, user, kept, now);
  }
  return removed;
}

UploadSweeper::UploadSweeper(FileSystem* fs, const std::string& env_file, UploadTable* uploads,
                             KeptUploads* kept, BlockPool* chunk_pool, FreedMemory* freed)
    : fs_(fs),
      env_file_(env_file),
      uploads_(uploads),
      kept_(kept),
      chunk_pool_(chunk_pool),
      freed_(freed),
      thread_([this] { Loop(); }) {}

UploadSweeper::~UploadSweeper() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void UploadSweeper::Loop() {
  RemoveEarlierLeftovers(fs_, env_file_, kept_);
  std::unique_lock<std::mutex> lock(mu_);
  int ticks = 0;
  while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
    lock.unlock();
    std::vector<KeptPart> keep;
    for (const UploadLeftover& leftover :
         uploads_->Expired(UploadTable::Clock::now(), kUploadIdleLimit, SocketStillOpen, &keep)) {
      RemoveLeftover(fs_, leftover);
    }
    for (KeptPart& part : keep) {
      for (const KeptPart& old : kept_->Keep(std::move(part))) RemoveKeptPart(fs_, old);
    }
    // Now and then, whether the owners of kept uploads are still registered with that area.
    const bool look_at_owners = ++ticks % kOwnerCheckSeconds == 0;
    auto gone = [this](const KeptPart& part) {
      std::string dir;
      return !RegisteredStorageDir(env_file_, part.user, &dir) || dir != part.area;
    };
    std::function<bool(const KeptPart&)> check;
    if (look_at_owners) check = gone;
    for (const KeptPart& part : kept_->Expired(UnixNow(), check)) {
      RemoveKeptPart(fs_, part);
    }
    // Chunk memory that no batch used for a while goes back to the system.
    chunk_pool_->ReleaseIdle(BlockPool::Clock::now(), kChunkMemoryIdle);
    freed_->GiveBack();
    lock.lock();
  }
}

}  // namespace zk
