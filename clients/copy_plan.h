// The pure decisions of zkcp: the transfer unit, how a file is cut into chunks, when a batch of
// chunks must be sent, whether a file is copied in each transfer mode, the lookup of destination
// names, and the result lines. Nothing here touches the disk or the network.
#ifndef ZK_CLIENTS_COPY_PLAN_H_
#define ZK_CLIENTS_COPY_PLAN_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace zk {

// Header bytes that one batch may carry besides its file data (names, paths, times of its chunks).
// A batch of many empty files is sent before its headers reach this.
constexpr int64_t kBatchHeaderBudget = 8L * 1024 * 1024;
// The largest unit, in KB, whose batch (data, headers and GIOP framing) fits one ORB message.
int64_t MaxUnitKb();

// The setting "unit" as bytes: a decimal number of KB from 1 to MaxUnitKb(), digits only.
// Returns false for anything else (empty, sign, blanks, zero, too large).
bool ParseUnit(const std::string& text, int64_t* bytes);

// One chunk of a file: its byte range, number (from 1) and whether more chunks follow.
struct ChunkSpan {
  int64_t pos = 0;
  int64_t len = 0;
  int32_t no = 1;
  bool next = false;
};

// Cuts a file of `size` bytes into chunks of at most `unit` bytes (unit > 0), one after the other,
// so that a file of any size costs the same memory. An empty file is one empty chunk; a file of
// exactly k units is k full chunks, the last marked as such.
class ChunkCutter {
 public:
  ChunkCutter(int64_t size, int64_t unit);
  // Cuts from `pos` on (at most the size), the next chunk numbered `no`: the rest of an upload
  // that the server kept up to there.
  void StartAt(int64_t pos, int32_t no);
  // The next chunk; false after the last one.
  bool Next(ChunkSpan* span);
  // How many chunks the file has.
  int64_t count() const;

 private:
  int64_t size_;
  int64_t unit_;
  int64_t pos_ = 0;
  int32_t no_ = 0;
  bool done_ = false;
};

// What one pending batch holds, and whether a new chunk still fits: at most `unit` bytes of file
// data in total, never a split chunk, headers within kBatchHeaderBudget.
class BatchBudget {
 public:
  explicit BatchBudget(int64_t unit) : unit_(unit) {}
  // True when the pending batch must be sent before a chunk of `len` data bytes and `header`
  // header bytes is added. Never true for an empty batch.
  bool MustSendBefore(int64_t len, int64_t header) const;
  void Add(int64_t len, int64_t header);
  void Clear();
  bool empty() const { return count_ == 0; }
  int64_t data_bytes() const { return data_; }

 private:
  int64_t unit_;
  int64_t data_ = 0;
  int64_t header_ = 0;
  int64_t count_ = 0;
};

// Header bytes an upload chunk adds to a request wherever it starts: its texts, the fixed fields
// and their alignment.
int64_t ChunkHeaderBytes(const std::string& path, const std::string& name, const std::string& upd,
                         const std::string& crt);
// Header bytes a download chunk adds to its reply (the server's times and the 64-bit fields),
// the bound the server checks a download batch against.
int64_t DownloadReplyHeaderBytes(const std::string& path, const std::string& name);

// An entry of a destination listing, local or on the server.
struct ListEntry {
  std::string name;
  bool is_dir = false;
  int64_t size = 0;     // bytes, as the listing gives it
  bool narrow = false;  // the size came in a 32-bit field (a server without zkFileList64)
  std::string upd;      // last-write time, "yyyy/mm/dd hh:nn:ss" local time
};

// Finds destination entries by name without regard to ASCII letter case. Every entry is found,
// whatever the order of the listing; with several candidates the first in listing order wins.
class NameIndex {
 public:
  explicit NameIndex(const std::vector<ListEntry>& entries);
  // The entry whose upper-cased name equals that of `name`, or null.
  const ListEntry* Find(const std::string& name) const;

 private:
  const std::vector<ListEntry>& entries_;
  std::unordered_map<std::string, size_t> index_;
};

enum class CopyMode {
  kSkip,     // -S, the default: an existing name is never copied over
  kUpdate,   // -D (-u): copied when sizes differ or the destination is older
  kReplace,  // -R (-r): always copied
};

// Whether a source file of `src_size` bytes last written at `src_upd` (time text) is copied over
// `existing` (null when the name is not at the destination). Times are compared as times; a time
// text that does not parse counts as unknown and the file is copied. When either size came in a
// 32-bit field (`src_narrow`, existing->narrow), sizes are compared as such a field gives them.
bool ShouldCopy(CopyMode mode, const ListEntry* existing, int64_t src_size,
                const std::string& src_upd, bool src_narrow = false);

// The size as the 32-bit fields of a server without zkFileList64 give it: its low 32 bits, signed.
int64_t WireSize(int64_t size);

// The closing lines: copied files, and unreadable files when there were any.
std::vector<std::string> ResultLines(int32_t copied, int32_t unreadable);

// A native path split at its last "/": directory (ending in "/") and mask (kEveryEntry when the
// path ends in "/"). A path without "/" has the directory "./".
void SplitLocalPath(const std::string& path, std::string* dir, std::string* mask);

}  // namespace zk

#endif  // ZK_CLIENTS_COPY_PLAN_H_
