// Storage limits: how many bytes each storage area holds, and the check of an upload against its
// user's limit. The figure of an area is counted once when a limit first needs it: a walk of the
// area, temporary files of uploads included (those of this server's uploads in progress by the
// bytes the table of uploads says they hold, since a chunk of zeros is a hole on disk until the
// file is whole); then it is kept up to date by the server's own writes and removals, so that
// knowing it costs no walk per request:
//   - each chunk of an upload counts its bytes before they are written (Take);
//   - a finished upload put over an existing file frees that file's bytes (Rename);
//   - zkFileRemove frees the removed file's bytes (Freed).
// Temporary files that are removed otherwise (uploads given up, leftovers swept) are not taken
// off: the figure can only be too high from the server's own doing, never too low. Files changed
// behind the server's back move it either way; so a figure is counted again when it is older than
// kRecountAfter, and before it refuses anything unless it was counted within kRecountBeforeRefusal
// (a user at the limit costs one walk per that time, whatever the number of requests).
//
//   AreaQuota quota;                                  // one batch's: ReadAreaQuota
//   if (!quota.Take(area, target, file_size, len)) ...   // refused, logged: give the upload up
//   quota.Rename(area, temp, target);                 // in place of the area's Rename
#ifndef ZK_SERVER_AREA_USAGE_H_
#define ZK_SERVER_AREA_USAGE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/fs.h"
#include "settings/zkdb.h"

namespace zk {

// A figure older than this is counted again before a limit relies on it.
constexpr std::chrono::minutes kRecountAfter(10);
// A refusal counts the area again first, unless its figure is younger than this.
constexpr std::chrono::seconds kRecountBeforeRefusal(5);

// The figures of the storage areas of one server, by storage directory. Safe for concurrent use;
// a walk holds up only the requests of its own area.
class AreaUsage {
 public:
  using Clock = std::chrono::steady_clock;
  // What this server's uploads in progress hold in the area at a storage directory
  // (UploadTable::BytesIn); a count adds it to the files the walk finds, its own temporary files
  // left out.
  using InProgress = std::function<int64_t(const std::string& dir)>;

  explicit AreaUsage(InProgress in_progress = nullptr) : in_progress_(std::move(in_progress)) {}

  // `bytes` more for the area at `dir` (its file system `area`, through which it is counted)
  // against `limit`: true when the area's use plus `bytes` stays within the limit, and then
  // counts them when `keep`; false, counting nothing, when it would pass it. Nothing of zero
  // bytes is refused. With no limit (0) always true, and the bytes are counted only into a figure
  // that exists already. An area that cannot be walked is not refused (its writes fail anyway).
  bool Take(const std::string& dir, FileSystem* area, int64_t limit, int64_t bytes, bool keep,
            Clock::time_point now);
  // The server removed `bytes` from the area at `dir`.
  void Freed(const std::string& dir, int64_t bytes);
  // True when the area at `dir` has a figure (only then is a freed file's size worth looking up).
  bool Counted(const std::string& dir) const;
  // The figure of the area at `dir`; -1 when it has none.
  int64_t Figure(const std::string& dir) const;

 private:
  struct Area {
    std::mutex mu;  // held while the area is walked
    bool counted = false;
    int64_t bytes = 0;
    Clock::time_point at;  // of the last count
  };
  Area* Find(const std::string& dir, bool make) const;
  // Walks the area at `dir`: the figure and its time; false, leaving both, when it cannot be
  // walked.
  bool Count(const std::string& dir, Area* a, FileSystem* area, Clock::time_point now);

  InProgress in_progress_;
  mutable std::mutex mu_;
  mutable std::map<std::string, std::unique_ptr<Area>> areas_;
};

// The limit that one upload batch works under: its user's and area's.
struct AreaQuota {
  AreaUsage* usage = nullptr;  // null: nothing is counted or refused
  std::string dir;             // the area's storage directory
  std::string user;            // who uploads (for the log line)
  int64_t limit = 0;           // bytes; 0: none

  // Before the chunk of `len` bytes of the upload of `target` in `area` is written: true, with
  // the bytes counted, when the area stays within the limit. `announced` is the size of the
  // whole file as its first chunk gives it (0 for the other chunks, or when unknown): a file that
  // cannot fit is refused at its first chunk, before any of its data is stored. A refusal logs
  // one line.
  bool Take(FileSystem* area, const std::string& target, int64_t announced, size_t len) const;
  // The caller removed `bytes` it had counted.
  void Freed(int64_t bytes) const;
  // `area`->Rename(from, to), freeing the bytes of the file it replaces.
  FsStatus Rename(FileSystem* area, const std::string& from, const std::string& to) const;
};

// The bytes that removing or replacing the entry at `path` of `area` frees: a regular file's
// length; 0 for anything else, a link in its place included (what it leads to stays).
int64_t OwnFileBytes(FileSystem* area, const std::string& path);

// The limit of `user` (UTF-8), whose area is at `dir`, read through `users` (none when null), for
// a batch counted in `usage`. False, logged, when the limit cannot be read: the batch is refused
// rather than served without it.
bool ReadAreaQuota(UserReader* users, AreaUsage* usage, const std::string& user,
                   const std::string& dir, AreaQuota* quota);

}  // namespace zk

#endif  // ZK_SERVER_AREA_USAGE_H_
