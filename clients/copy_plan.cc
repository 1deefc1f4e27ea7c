// Units, chunks, batches, transfer modes and result lines of zkcp.
#include "clients/copy_plan.h"

#include "idl/chunk_layout.h"
#include "idl/orb.h"
#include "idl/wire.h"
#include "platform/text.h"
#include "platform/timetext.h"

namespace zk {

int64_t MaxUnitKb() { return (kMaxMessageBytes - 2 * kBatchHeaderBudget) / 1024; }

bool ParseUnit(const std::string& text, int64_t* bytes) {
  if (text.empty() || text.size() > 12) return false;
  int64_t kb = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    kb = kb * 10 + (c - '0');
  }
  if (kb < 1 || kb > MaxUnitKb()) return false;
  *bytes = kb * 1024;
  return true;
}

ChunkCutter::ChunkCutter(int64_t size, int64_t unit) : size_(size < 0 ? 0 : size), unit_(unit) {}

void ChunkCutter::StartAt(int64_t pos, int32_t no) {
  pos_ = pos < 0 ? 0 : (pos > size_ ? size_ : pos);
  no_ = no - 1;
}

bool ChunkCutter::Next(ChunkSpan* span) {
  if (done_) return false;
  const int64_t remaining = size_ - pos_;
  span->no = ++no_;
  span->pos = pos_;
  span->next = remaining > unit_;
  span->len = span->next ? unit_ : remaining;
  pos_ += span->len;
  done_ = !span->next;
  return true;
}

int64_t ChunkCutter::count() const { return size_ == 0 ? 1 : (size_ + unit_ - 1) / unit_; }

bool BatchBudget::MustSendBefore(int64_t len, int64_t header) const {
  if (count_ == 0) return false;
  return data_ + len > unit_ || header_ + header > kBatchHeaderBudget;
}

void BatchBudget::Add(int64_t len, int64_t header) {
  data_ += len;
  header_ += header;
  ++count_;
}

void BatchBudget::Clear() {
  data_ = 0;
  header_ = 0;
  count_ = 0;
}

int64_t ChunkHeaderBytes(const std::string& path, const std::string& name, const std::string& upd,
                         const std::string& crt) {
  ChunkShape<CORBA::Long> shape;
  shape.filePath = path.size();
  shape.fileNm = name.size();
  shape.updDt = upd.size();
  shape.crtDt = crt.size();
  return MaxChunkBytes(shape);
}

int64_t DownloadReplyHeaderBytes(const std::string& path, const std::string& name) {
  ChunkShape<CORBA::LongLong> shape;
  shape.filePath = path.size();
  shape.fileNm = name.size();
  shape.updDt = kTimeTextLength;
  shape.crtDt = kTimeTextLength;
  return MaxChunkBytes(shape);
}

NameIndex::NameIndex(const std::vector<ListEntry>& entries) : entries_(entries) {
  index_.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) index_.emplace(UpperAscii(entries[i].name), i);
}

const ListEntry* NameIndex::Find(const std::string& name) const {
  auto it = index_.find(UpperAscii(name));
  return it == index_.end() ? nullptr : &entries_[it->second];
}

int64_t WireSize(int64_t size) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(size)));
}

bool ShouldCopy(CopyMode mode, const ListEntry* existing, int64_t src_size,
                const std::string& src_upd, bool src_narrow) {
  if (mode == CopyMode::kReplace || existing == nullptr) return true;
  if (mode == CopyMode::kSkip || existing->is_dir) return false;
  if (src_narrow || existing->narrow) {
    if (WireSize(existing->size) != WireSize(src_size)) return true;
  } else if (existing->size != src_size) {
    return true;
  }
  int64_t src = 0, dst = 0;
  if (!ParseLocalTime(src_upd, &src) || !ParseLocalTime(existing->upd, &dst)) return true;
  return dst < src;
}

std::vector<std::string> ResultLines(int32_t copied, int32_t unreadable) {
  std::vector<std::string> lines;
  lines.push_back(CountField(copied) + "個のファイルをコピーしました。");
  if (unreadable >= 1) {
    lines.push_back(CountField(unreadable) + "個のファイルがコピーできませんでした。");
  }
  return lines;
}

void SplitLocalPath(const std::string& path, std::string* dir, std::string* mask) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *dir = "./";
    *mask = path.empty() ? kEveryEntry : path;
    return;
  }
  *dir = path.substr(0, slash + 1);
  *mask = slash + 1 == path.size() ? kEveryEntry : path.substr(slash + 1);
}

}  // namespace zk
