// Kept uploads: their records, their table, and what an earlier process left.
#include "server/kept_uploads.h"

#include <memory>

#include "idl/orb.h"
#include "platform/console.h"
#include "platform/pathtext.h"
#include "server/uploads.h"

namespace zk {
namespace {

const char kRecordSuffix[] = ".kept";
constexpr size_t kRecordSuffixLength = sizeof(kRecordSuffix) - 1;
// The first field of a record: its kind and form.
const char kRecordHead[] = "zk-kept 1";
// A record holds a few names; anything longer is not one.
constexpr size_t kMaxRecordBytes = 64 * 1024;

bool Matches(const KeptPart& p, const std::string& user, int32_t size, const std::string& upd) {
  return p.user == user && p.size == size && p.upd == upd;
}

}  // namespace

std::string KeptRecordName(const std::string& temp) { return temp + kRecordSuffix; }

bool IsKeptRecordName(const std::string& name) {
  return IsUploadTempName(name) && name.size() > kRecordSuffixLength &&
         name.compare(name.size() - kRecordSuffixLength, kRecordSuffixLength, kRecordSuffix) == 0;
}

bool WriteKeptRecord(FileSystem* area, const KeptPart& part) {
  // Fields separated by NUL, which no name holds.
  std::string text = kRecordHead;
  for (const std::string* field : {&part.user, &part.target, &part.upd}) {
    text += '\0';
    text += *field;
  }
  text += '\0';
  text += std::to_string(part.size);
  return area->WriteAt(KeptRecordName(part.temp), true, 0, text.data(), text.size()).ok();
}

bool ReadKeptRecord(FileSystem* area, const std::string& record, KeptPart* part) {
  std::unique_ptr<FileSystem::File> f = area->Open(record, FileSystem::OpenMode::kRead);
  if (!f) return false;
  std::string text(kMaxRecordBytes, '\0');
  size_t got = 0;
  if (!f->ReadAt(0, text.size(), &text[0], &got) || got == text.size()) return false;
  text.resize(got);
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    const size_t end = text.find('\0', at);
    fields.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (fields.size() != 5 || fields[0] != kRecordHead || fields[2].empty()) return false;
  char* end = nullptr;
  const long size = std::strtol(fields[4].c_str(), &end, 10);
  if (fields[4].empty() || *end != '\0' || size < INT32_MIN || size > INT32_MAX) return false;
  part->user = fields[1];
  part->target = fields[2];
  part->upd = fields[3];
  part->size = static_cast<int32_t>(size);
  part->temp = record.substr(0, record.size() - kRecordSuffixLength);
  return true;
}

void RemoveKeptPart(FileSystem* fs, const KeptPart& part) {
  std::unique_ptr<FileSystem> area = fs->Beneath(part.area);
  if (!area) return;
  area->RemoveFile(part.temp);
  area->RemoveFile(KeptRecordName(part.temp));
}

std::vector<KeptPart> KeptUploads::Keep(KeptPart part) {
  std::vector<KeptPart> drop;
  std::lock_guard<std::mutex> lock(mu_);
  if (part.until == 0) part.until = UnixNow() + keep_.count();
  const Key key(part.area, part.target);
  auto it = parts_.find(key);
  if (it != parts_.end()) {
    if (it->second.temp != part.temp) drop.push_back(it->second);
    it->second = std::move(part);
  } else {
    parts_.emplace(key, std::move(part));
  }
  return drop;
}

bool KeptUploads::Find(const std::string& area, const std::string& target,
                       const std::string& user, int32_t size, const std::string& upd,
                       KeptPart* part) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = parts_.find(Key(area, target));
  if (it == parts_.end() || !Matches(it->second, user, size, upd)) return false;
  *part = it->second;
  return true;
}

bool KeptUploads::Take(const std::string& area, const std::string& target,
                       const std::string& user, int32_t size, const std::string& upd,
                       KeptPart* part) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = parts_.find(Key(area, target));
  if (it == parts_.end() || !Matches(it->second, user, size, upd)) return false;
  *part = std::move(it->second);
  parts_.erase(it);
  return true;
}

bool KeptUploads::Drop(const std::string& area, const std::string& target, KeptPart* part) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = parts_.find(Key(area, target));
  if (it == parts_.end()) return false;
  *part = std::move(it->second);
  parts_.erase(it);
  return true;
}

std::vector<KeptPart> KeptUploads::Expired(int64_t now,
                                           const std::function<bool(const KeptPart&)>& gone) {
  std::vector<KeptPart> drop;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = parts_.begin(); it != parts_.end();) {
    if (it->second.until <= now || (gone && gone(it->second))) {
      drop.push_back(std::move(it->second));
      it = parts_.erase(it);
    } else {
      ++it;
    }
  }
  return drop;
}

size_t KeptUploads::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return parts_.size();
}

namespace {

// TakeOverEarlierUploads below `dir` of `area`.
void TakeOverBelow(FileSystem* area, const std::string& dir, const KeptPart& owner,
                   KeptUploads* kept, int64_t now, int* removed) {
  std::vector<DirEntry> entries;
  if (!area->Search(dir, "*", &entries)) return;
  std::map<std::string, const DirEntry*> temps;
  for (const DirEntry& e : entries) {
    if (!e.is_dir && !e.is_link && IsUploadTempName(e.name) && !IsOwnUploadTempName(e.name)) {
      temps[e.name] = &e;
    }
  }
  auto path_of = [&](const std::string& name) { return dir.empty() ? name : dir + "/" + name; };
  for (const DirEntry& e : entries) {
    if (e.is_link) continue;  // a link is no leftover, and the tree it leads to is walked anyway
    if (e.is_dir) TakeOverBelow(area, path_of(e.name), owner, kept, now, removed);
  }
  // A temporary file whose record names this owner, and whose time is not up, is kept.
  for (const auto& t : temps) {
    if (IsKeptRecordName(t.first)) continue;
    KeptPart part = owner;
    const std::string record = KeptRecordName(t.first);
    const bool recorded = temps.count(record) > 0 &&
                          ReadKeptRecord(area, path_of(record), &part) &&
                          part.user == owner.user && DirPart(part.target) == dir;
    part.until = t.second->mtime + kept->keep().count();
    if (recorded && part.until > now) {
      part.temp = path_of(t.first);
      for (const KeptPart& old : kept->Keep(part)) {
        *removed += area->RemoveFile(old.temp) ? 1 : 0;
        area->RemoveFile(KeptRecordName(old.temp));
      }
      temps.erase(record);
      continue;
    }
    *removed += area->RemoveFile(path_of(t.first)) ? 1 : 0;
  }
  // What is left of the records: those of files that are gone or were removed now.
  for (const auto& t : temps) {
    if (IsKeptRecordName(t.first)) area->RemoveFile(path_of(t.first));
  }
}

}  // namespace

int TakeOverEarlierUploads(FileSystem* area, const std::string& area_dir, const std::string& user,
                           KeptUploads* kept, int64_t now) {
  KeptPart owner;
  owner.area = area_dir;
  owner.user = user;
  int removed = 0;
  TakeOverBelow(area, "", owner, kept, now, &removed);
  return removed;
}

std::chrono::seconds KeptTime(const std::string& conf_file) {
  const std::string text = ConfigValue(conf_file, kKeptHoursKey);
  if (text.empty()) return std::chrono::hours(kDefaultKeptHours);
  char* end = nullptr;
  const long hours = std::strtol(text.c_str(), &end, 10);
  if (text.find_first_not_of("0123456789") == std::string::npos && *end == '\0' && hours >= 0 &&
      hours <= 87600) {
    return std::chrono::hours(hours);
  }
  PrintErr(std::string("WARNING:") + conf_file + "の" + kKeptHoursKey + "は0から87600までの時間数" +
           "です。" + std::to_string(kDefaultKeptHours) + "を使います。(" + text + ")");
  return std::chrono::hours(kDefaultKeptHours);
}

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace zk
