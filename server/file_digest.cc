// Whole-file digests of transferred data, for the audit trail.
#include "server/file_digest.h"

#include <algorithm>
#include <iterator>

namespace zk {

bool AheadBudget::Take(int64_t n) {
  int64_t left = left_.load();
  while (left >= n) {
    if (left_.compare_exchange_weak(left, left - n)) return true;
  }
  return false;
}

FileDigest::~FileDigest() {
  if (budget_) budget_->Give(ahead_bytes_);
}

void FileDigest::Spoil() {
  spoilt_ = true;
  if (budget_) budget_->Give(ahead_bytes_);
  ahead_bytes_ = 0;
  ahead_.clear();
}

void FileDigest::Add(int64_t pos, const void* data, size_t len) {
  if (len == 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (spoilt_) return;
  const int64_t next = static_cast<int64_t>(bytes_.length());
  if (pos < next) return Spoil();  // these bytes came already
  if (pos > next) {
    if (!Hold(pos, data, len)) Spoil();
    return;
  }
  bytes_.Update(data, len);
  // The pieces held ahead that follow on now.
  while (!ahead_.empty()) {
    auto first = ahead_.begin();
    const int64_t at = static_cast<int64_t>(bytes_.length());
    if (first->first > at) break;
    if (first->first < at) return Spoil();  // cannot happen: Hold refuses overlaps
    bytes_.Update(first->second.data(), first->second.size());
    const int64_t n = static_cast<int64_t>(first->second.size());
    ahead_bytes_ -= n;
    if (budget_) budget_->Give(n);
    ahead_.erase(first);
  }
}

bool FileDigest::Hold(int64_t pos, const void* data, size_t len) {
  const int64_t n = static_cast<int64_t>(len);
  if (!budget_ || ahead_bytes_ + n > kMaxAheadBytesPerFile) return false;
  // No overlap with a piece held already: the same bytes twice.
  auto after = ahead_.lower_bound(pos);
  if (after != ahead_.end() && after->first < pos + n) return false;
  if (after != ahead_.begin()) {
    auto before = std::prev(after);
    if (before->first + static_cast<int64_t>(before->second.size()) > pos) return false;
  }
  if (!budget_->Take(n)) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  ahead_.emplace_hint(after, pos, std::vector<uint8_t>(bytes, bytes + len));
  ahead_bytes_ += n;
  return true;
}

std::string FileDigest::Text(int64_t size) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (spoilt_ || !ahead_.empty() || size < 0 || static_cast<int64_t>(bytes_.length()) != size) {
    return std::string();
  }
  return DigestText(bytes_.Value());
}

std::shared_ptr<FileDigest> DigestOfFile(FileSystem* area, const std::string& path,
                                         int64_t length) {
  std::unique_ptr<FileSystem::File> f = area->Open(path, FileSystem::OpenMode::kRead);
  if (!f) return nullptr;
  auto digest = std::make_shared<FileDigest>();
  constexpr size_t kPiece = 1 << 20;
  std::vector<uint8_t> piece(kPiece);
  for (int64_t at = 0; at < length;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(kPiece, length - at));
    size_t got = 0;
    if (!f->ReadAt(at, n, piece.data(), &got) || got == 0) return nullptr;
    digest->Add(at, piece.data(), got);
    at += static_cast<int64_t>(got);
  }
  return digest;
}

}  // namespace zk
