// The areas' figures and the check of an upload against its user's limit.
#include "server/area_usage.h"

#include "platform/console.h"
#include "server/connection_auth.h"
#include "server/uploads.h"

namespace zk {

AreaUsage::Area* AreaUsage::Find(const std::string& dir, bool make) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = areas_.find(dir);
  if (it != areas_.end()) return it->second.get();
  if (!make) return nullptr;
  return (areas_[dir] = std::make_unique<Area>()).get();
}

bool AreaUsage::Count(const std::string& dir, Area* a, FileSystem* area,
                      Clock::time_point now) {
  int64_t bytes = 0;
  if (!area) return false;
  if (!in_progress_) {
    if (!TreeFileBytes(area, "", &bytes)) return false;
  } else {
    if (!TreeFileBytes(area, "", &bytes, IsOwnUploadTempName)) return false;
    const int64_t held = in_progress_(dir);
    bytes = held > INT64_MAX - bytes ? INT64_MAX : bytes + held;
  }
  a->bytes = bytes;
  a->counted = true;
  a->at = now;
  return true;
}

bool AreaUsage::Take(const std::string& dir, FileSystem* area, int64_t limit, int64_t bytes,
                     bool keep, Clock::time_point now) {
  if (bytes < 0) bytes = 0;
  Area* a = Find(dir, limit > 0);
  if (!a) return true;  // no limit and no figure: nothing to keep up to date
  std::lock_guard<std::mutex> lock(a->mu);
  if (limit > 0) {
    if (!a->counted || now - a->at >= kRecountAfter) Count(dir, a, area, now);
    if (!a->counted) return true;
    // Written as a comparison that cannot overflow: the figure may pass a limit lowered since.
    auto passes = [&] { return bytes > 0 && bytes > limit - a->bytes; };
    if (passes() && now - a->at >= kRecountBeforeRefusal) Count(dir, a, area, now);
    if (passes()) return false;
  }
  if (keep && a->counted) a->bytes = bytes > INT64_MAX - a->bytes ? INT64_MAX : a->bytes + bytes;
  return true;
}

void AreaUsage::Freed(const std::string& dir, int64_t bytes) {
  Area* a = Find(dir, false);
  if (!a || bytes <= 0) return;
  std::lock_guard<std::mutex> lock(a->mu);
  a->bytes = bytes > a->bytes ? 0 : a->bytes - bytes;
}

bool AreaUsage::Counted(const std::string& dir) const {
  Area* a = Find(dir, false);
  if (!a) return false;
  std::lock_guard<std::mutex> lock(a->mu);
  return a->counted;
}

int64_t AreaUsage::Figure(const std::string& dir) const {
  Area* a = Find(dir, false);
  if (!a) return -1;
  std::lock_guard<std::mutex> lock(a->mu);
  return a->counted ? a->bytes : -1;
}

bool AreaQuota::Take(FileSystem* area, const std::string& target, int64_t announced,
                     size_t len) const {
  if (!usage) return true;
  const auto now = AreaUsage::Clock::now();
  const int64_t bytes = static_cast<int64_t>(len);
  const bool fits = (announced <= bytes || usage->Take(dir, area, limit, announced, false, now)) &&
                    usage->Take(dir, area, limit, bytes, true, now);
  if (!fits) {
    const std::string& peer = CurrentCall().peer;
    PrintErr("WARNING:容量制限を超えるため、アップロードを拒否しました。(" + LogText(target) +
             "; " + std::to_string(limit) + "; " + LogText(user) + " " +
             (peer.empty() ? "-" : peer) + ")");
  }
  return fits;
}

void AreaQuota::Freed(int64_t bytes) const {
  if (usage) usage->Freed(dir, bytes);
}

FsStatus AreaQuota::Rename(FileSystem* area, const std::string& from, const std::string& to) const {
  const int64_t replaced = usage && usage->Counted(dir) ? OwnFileBytes(area, to) : 0;
  const FsStatus renamed = area->Rename(from, to);
  if (renamed) Freed(replaced);
  return renamed;
}

int64_t OwnFileBytes(FileSystem* area, const std::string& path) {
  // Stat follows a link; RealPath tells whether one stands at the path (or on the way to it).
  DirEntry e;
  std::string real;
  if (!area->Stat(path, &e) || e.is_dir || e.is_special || !area->RealPath(path, &real) ||
      real != path) {
    return 0;
  }
  return e.size;
}

bool ReadAreaQuota(UserReader* users, AreaUsage* usage, const std::string& user,
                   const std::string& dir, AreaQuota* quota) {
  *quota = AreaQuota();
  int64_t limit = 0;
  std::string error;
  if (users && users->ReadQuota(user, &limit, &error) == ReadStatus::kFailed) {
    const std::string& peer = CurrentCall().peer;
    PrintErr("WARNING:容量制限を読み込めないため、アップロードを拒否しました。(" + LogText(error) +
             "; " + LogText(user) + " " + (peer.empty() ? "-" : peer) + ")");
    return false;
  }
  quota->usage = usage;
  quota->dir = dir;
  quota->user = user;
  quota->limit = limit;
  return true;
}

}  // namespace zk
