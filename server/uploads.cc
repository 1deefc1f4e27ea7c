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
                                               const Socket& socket, Clock::time_point now) {
  std::vector<UploadLeftover> drop;
  std::lock_guard<std::mutex> lock(mu_);
  auto same = uploads_.find(key);
  if (same != uploads_.end()) {
    drop.push_back({key.area, same->second.temp});
    uploads_.erase(same);
  }
  // The connection's uploads are next to each other in the map (the id comes first in the key).
  for (;;) {
    auto first = uploads_.lower_bound(UploadKey{key.conn, "", ""});
    auto oldest = uploads_.end();
    size_t count = 0;
    for (auto it = first; it != uploads_.end() && it->first.conn == key.conn; ++it, ++count) {
      if (oldest == uploads_.end() || it->second.serial < oldest->second.serial) oldest = it;
    }
    if (count < max_per_connection_ || oldest == uploads_.end()) break;
    drop.push_back({oldest->first.area, oldest->second.temp});
    uploads_.erase(oldest);
  }
  Upload& up = uploads_[key];
  up.temp = temp;
  up.socket = socket;
  up.used = now;
  up.serial = ++serial_;
  return drop;
}

bool UploadTable::Next(const UploadKey& key, int32_t no, Clock::time_point now, Progress* at,
                       std::vector<UploadLeftover>* drop, uint64_t claim) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end()) return false;
  const bool claimed_by_other = it->second.claimed && it->second.serial != claim;
  if (it->second.next_no != no || claimed_by_other) {
    drop->push_back({key.area, it->second.temp});
    uploads_.erase(it);
    return false;
  }
  it->second.used = now;
  at->temp = it->second.temp;
  at->length = it->second.length;
  return true;
}

bool UploadTable::Claim(const UploadKey& key, Progress* at, uint64_t* claim) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = uploads_.find(key);
  if (it == uploads_.end() || it->second.claimed) return false;
  it->second.claimed = true;
  at->temp = it->second.temp;
  at->length = it->second.length;
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

void UploadTable::End(const UploadKey& key) {
  std::lock_guard<std::mutex> lock(mu_);
  uploads_.erase(key);
}

std::vector<UploadLeftover> UploadTable::Expired(Clock::time_point now, Clock::duration idle,
                                                 const std::function<bool(const Socket&)>& open) {
  std::vector<UploadLeftover> drop;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = uploads_.begin(); it != uploads_.end();) {
    if (now - it->second.used >= idle || !open(it->second.socket)) {
      drop.push_back({it->first.area, it->second.temp});
      it = uploads_.erase(it);
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
  if (area) area->RemoveFile(leftover.temp);
}

namespace {

// Removes the leftovers of other processes below `dir` of `area`; counts them into *removed.
void RemoveLeftoversBelow(FileSystem* area, const std::string& dir, int* removed) {
  std::vector<DirEntry> entries;
  if (!area->Search(dir, "*", &entries)) return;
  for (const DirEntry& e : entries) {
    const std::string path = dir.empty() ? e.name : dir + "/" + e.name;
    if (e.is_link) continue;  // a link is no leftover, and the tree it leads to is walked anyway
    if (e.is_dir) {
      RemoveLeftoversBelow(area, path, removed);
    } else if (IsUploadTempName(e.name) && !IsOwnUploadTempName(e.name) && area->RemoveFile(path)) {
      ++*removed;
    }
  }
}

}  // namespace

int RemoveEarlierLeftovers(FileSystem* fs, const std::string& env_file) {
  int removed = 0;
  for (const std::string& user : RegisteredUsers(env_file)) {
    std::string dir;
    if (!GetUserStorageDir(fs, env_file, user, &dir)) continue;
    std::unique_ptr<FileSystem> area = fs->Beneath(dir);
    if (area) RemoveLeftoversBelow(area.get(), "", &removed);
  }
  return removed;
}

UploadSweeper::UploadSweeper(FileSystem* fs, const std::string& env_file, UploadTable* uploads,
                             BlockPool* chunk_pool)
    : fs_(fs),
      env_file_(env_file),
      uploads_(uploads),
      chunk_pool_(chunk_pool),
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
  RemoveEarlierLeftovers(fs_, env_file_);
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
    lock.unlock();
    for (const UploadLeftover& leftover :
         uploads_->Expired(UploadTable::Clock::now(), kUploadIdleLimit, SocketStillOpen)) {
      RemoveLeftover(fs_, leftover);
    }
    // Chunk memory that no batch used for a while goes back to the system.
    chunk_pool_->ReleaseIdle(BlockPool::Clock::now(), kChunkMemoryIdle);
    lock.lock();
  }
}

}  // namespace zk
