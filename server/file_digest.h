// The digest of a whole file as a transfer moves it, for the audit trail: XXH3-128 of the file's
// bytes in file order, in the hex form that `xxh128sum` prints, so that an auditor can check a file
// against its record with the stock tool.
//
//   auto digest = std::make_shared<FileDigest>();
//   digest->Add(0, first, n);            // each piece at its place in the file, as it is moved
//   digest->Add(n, second, m);
//   record.digest = digest->Text(size);  // empty unless exactly the first `size` bytes came
//
// Pieces come in file order: an upload's chunks arrive in order. A download's may not: the tools
// ask for the next batch on a second connection while the reply before it is still being written,
// so its first pieces can be served before the last pieces of the batch before. A digest given an
// AheadBudget keeps such pieces, copied, until the bytes before them came, within the budget. A
// piece at a place that came already (asked again, or overlapping), a gap that is never filled (a
// client that skips or starts mid-file) or more held than the budget allows: the digest is
// spoilt for good, and Text says nothing.
#ifndef ZK_SERVER_FILE_DIGEST_H_
#define ZK_SERVER_FILE_DIGEST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "platform/fs.h"

namespace zk {

// Bytes that one file's digest holds ahead at most.
constexpr int64_t kMaxAheadBytesPerFile = 32 * 1024 * 1024;

// The bytes that all the digests sharing it may hold ahead, together.
class AheadBudget {
 public:
  explicit AheadBudget(int64_t bytes) : left_(bytes) {}
  // Takes `n` bytes: false, taking nothing, when fewer are left.
  bool Take(int64_t n);
  void Give(int64_t n) { left_.fetch_add(n); }
  int64_t left() const { return left_.load(); }

 private:
  std::atomic<int64_t> left_;
};

// Safe to give pieces from several threads: each Add is taken whole, in turn.
class FileDigest {
 public:
  // Without a budget, a piece that comes ahead spoils the digest.
  explicit FileDigest(AheadBudget* budget = nullptr) : budget_(budget) {}
  ~FileDigest();
  FileDigest(const FileDigest&) = delete;
  FileDigest& operator=(const FileDigest&) = delete;

  // The `len` bytes at `data` are the file's from byte `pos` on.
  void Add(int64_t pos, const void* data, size_t len);
  // 32 lower-case hex digits when the digest took exactly the bytes [0, size), each once, and
  // holds nothing ahead; else empty.
  std::string Text(int64_t size) const;

 private:
  void Spoil();  // with mu_ held
  bool Hold(int64_t pos, const void* data, size_t len);

  AheadBudget* budget_;
  mutable std::mutex mu_;
  StreamDigest bytes_;
  bool spoilt_ = false;
  std::map<int64_t, std::vector<uint8_t>> ahead_;  // by position in the file
  int64_t ahead_bytes_ = 0;
};

// A digest of the first `length` bytes of the file at `path` in `area`, read now (a kept upload
// taken up again); null when the file cannot be read.
std::shared_ptr<FileDigest> DigestOfFile(FileSystem* area, const std::string& path, int64_t length);

}  // namespace zk

#endif  // ZK_SERVER_FILE_DIGEST_H_
