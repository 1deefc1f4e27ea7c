// Uploads that are whole or absent. The server writes an upload into a temporary file in its
// target's directory and renames it over the target once its last chunk is stored and its times
// are set: nobody ever sees a part of an upload under the real name, and of two uploads of one
// name the one that finishes last is the file, whole.
//
//   UploadTable table;                                  // the uploads in progress
//   table.Begin(key, "dir/" + NewUploadTempName(), socket, now);
//   UploadTable::Progress at;
//   table.Next(key, chunk_no, now, &at, &drop);         // where chunk chunk_no goes
//   ... write it at at.length, then table.Stored(key, at.length + len);
//   table.End(key);                                     // renamed, or given up
//
// Temporary names begin with a byte that no UTF-8 text holds, so no request can name one: the
// text boundary refuses such a string, and AreaRelativePath refuses a path with such a component
// anyway. Counts and listings leave them out.
//
// An upload belongs to the connection that began it (by the connection's id, which is never
// reused), and is continued only there. The table bounds what one connection can hold open
// (kMaxUploadsPerConnection) and gives up uploads whose connection has closed or that were not
// continued for kUploadIdleLimit (Expired); their temporary files are removed then (UploadSweeper),
// and those of an earlier server process when the server starts. An upload with a record
// (server/kept_uploads.h) is kept instead, and one of an earlier process taken over as kept.
#ifndef ZK_SERVER_UPLOADS_H_
#define ZK_SERVER_UPLOADS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "idl/chunk_memory.h"
#include "platform/fs.h"
#include "server/connection_limits.h"
#include "server/file_digest.h"
#include "server/freed_memory.h"
#include "server/kept_uploads.h"

namespace zk {

// Uploads one connection may have in progress; beginning one more gives up its oldest. The tools
// have one at a time.
constexpr size_t kMaxUploadsPerConnection = 8;
// An upload that was not continued for this long is given up.
constexpr std::chrono::hours kUploadIdleLimit(1);

// True for a name that is a temporary file of an upload (of this server process or another).
bool IsUploadTempName(const std::string& name);
// A fresh temporary name: the mark of temporary files, one of this process, a serial number.
std::string NewUploadTempName();
// True for a temporary name that this process made.
bool IsOwnUploadTempName(const std::string& name);

// One upload: the connection, the storage directory of the area, the target's path in the area.
struct UploadKey {
  uint64_t conn = 0;
  std::string area;
  std::string target;
  bool operator<(const UploadKey& o) const;
};

// A temporary file to remove: the storage directory of its area and its path there.
struct UploadLeftover {
  std::string area;
  std::string temp;
};

class UploadTable {
 public:
  using Clock = std::chrono::steady_clock;
  // Where an upload stands: its temporary file and the bytes stored so far, and whether it has
  // a record (Recorded). `digest`: of the bytes stored so far, while the audit trail is on.
  struct Progress {
    std::string temp;
    int64_t length = 0;
    bool recorded = false;
    std::shared_ptr<FileDigest> digest;
  };

  explicit UploadTable(size_t max_per_connection = kMaxUploadsPerConnection)
      : max_per_connection_(max_per_connection) {}

  // Begins the upload `key` into the temporary file `temp` (still to be created), by the
  // connection whose socket is `socket`; its next chunk is number 1. The connection's upload of
  // the same target, and its oldest one when it has the maximum in progress, are given up: their
  // temporary files are returned for removal. `digest` (none when null) takes its bytes as they
  // are stored (Progress).
  std::vector<UploadLeftover> Begin(const UploadKey& key, const std::string& temp,
                                    const Socket& socket, Clock::time_point now,
                                    std::shared_ptr<FileDigest> digest = nullptr);
  // The upload `key` when chunk number `no` is its next one: true, with where it stands. False
  // when there is no such upload; when there is one that expects another chunk, or one that
  // another call has claimed (unless `claim` is that claim), it is given up and its temporary file
  // put into *drop.
  bool Next(const UploadKey& key, int32_t no, Clock::time_point now, Progress* at,
            std::vector<UploadLeftover>* drop, uint64_t claim = 0);
  // Claims the upload `key` for a call that writes a chunk's data into its temporary file before
  // it knows the chunk's number: true, with where it stands and the claim's id in *claim, when
  // there is such an upload and no other call has claimed it. While it is claimed, Next of any
  // other call gives it up, so that no two calls write into one temporary file.
  bool Claim(const UploadKey& key, Progress* at, uint64_t* claim);
  // Ends the claim `claim` of the upload `key` (nothing when the upload has ended or changed).
  void Unclaim(const UploadKey& key, uint64_t claim);
  // The next chunk of `key` was stored: `length` bytes are stored now.
  void Stored(const UploadKey& key, int64_t length);
  // The last chunk of `key` was stored: no chunk continues it (one that tries gives it up).
  void Finished(const UploadKey& key);
  // The chunks of `key` from number `no` on did not count: it stands at `length` again, its next
  // chunk number `no`. False when there is no such upload.
  bool Rewind(const UploadKey& key, int64_t length, int32_t no);
  // The record of the upload `key` was written: it is kept, not removed, when it stops.
  void Recorded(const UploadKey& key, const KeptPart& record);
  // Continues the kept upload `part` as the upload `key` by the connection whose socket is
  // `socket`, at `length` bytes, its next chunk number `no`; `digest` as Begin takes it, holding
  // the kept bytes already. What is given up as Begin gives up is returned for removal.
  std::vector<UploadLeftover> Adopt(const UploadKey& key, const KeptPart& part,
                                    const Socket& socket, Clock::time_point now, int64_t length,
                                    int32_t no, std::shared_ptr<FileDigest> digest = nullptr);
  // The upload `key` is over: renamed into place, or given up with its file removed.
  void End(const UploadKey& key);
  // Gives up the uploads that were not continued since `now` - `idle`, and those whose socket
  // `open` says is closed, unless a call is writing into them; their temporary files are returned
  // for removal, or, for those with a record, their records put into *keep.
  std::vector<UploadLeftover> Expired(Clock::time_point now, Clock::duration idle,
                                      const std::function<bool(const Socket&)>& open,
                                      std::vector<KeptPart>* keep = nullptr);
  size_t size() const;
  // The bytes stored so far by the uploads in progress into the area at `area` (its storage
  // directory), holes they have not written yet included.
  int64_t BytesIn(const std::string& area) const;

 private:
  struct Upload {
    std::string temp;
    int32_t next_no = 1;
    int64_t length = 0;
    Socket socket;
    Clock::time_point used;
    uint64_t serial = 0;  // order of beginning, for giving up the oldest; the id of a claim
    bool claimed = false;
    bool recorded = false;
    KeptPart record;  // when recorded
    std::shared_ptr<FileDigest> digest;
  };
  // Begin's bookkeeping, with mu_ held.
  Upload& Place(const UploadKey& key, const std::string& temp, const Socket& socket,
                Clock::time_point now, std::vector<UploadLeftover>* drop);

  mutable std::mutex mu_;
  size_t max_per_connection_;
  uint64_t serial_ = 0;
  // Removes `it`, and counts it out of its connection's unfinished uploads when it was one.
  std::map<UploadKey, Upload>::iterator Erase(std::map<UploadKey, Upload>::iterator it);
  // Gives `it` the next number `no`, counting it in or out of the unfinished uploads.
  void Number(std::map<UploadKey, Upload>::iterator it, int32_t no);

  std::map<UploadKey, Upload> uploads_;
  // By connection, how many of its uploads are not finished: finished ones wait for their batch's
  // check in uploads_, beside them, and a batch of small files has many.
  std::map<uint64_t, size_t> unfinished_;
};

// Removes the temporary file `temp` of an upload in `area`, and its record when it has one.
void RemoveUploadFiles(FileSystem* area, const std::string& temp);
// Removes the temporary file of `leftover` (`fs` opens its area).
void RemoveLeftover(FileSystem* fs, const UploadLeftover& leftover);

// Takes over what an earlier server process left in the storage areas of the users registered
// in `env_file`, below every directory of each area: its kept uploads go into `kept`
// (TakeOverEarlierUploads), its other temporary files are removed, whatever their age. Returns how
// many files it removed.
int RemoveEarlierLeftovers(FileSystem* fs, const std::string& env_file, KeptUploads* kept);

// Cleans up in the background for as long as it lives: first the earlier process's leftovers,
// then, every second, the uploads of `uploads` that are given up (connection closed, idle for
// kUploadIdleLimit) or kept, the kept uploads of `kept` whose time is up or whose owner is no
// longer registered, the memory of `chunk_pool` that no call used lately (server/chunk_calls.h),
// and the memory the calls freed (`freed`).
class UploadSweeper {
 public:
  // `fs` is the file system the storage areas are opened from.
  UploadSweeper(FileSystem* fs, const std::string& env_file, UploadTable* uploads,
                KeptUploads* kept, BlockPool* chunk_pool, FreedMemory* freed);
  ~UploadSweeper();
  UploadSweeper(const UploadSweeper&) = delete;
  UploadSweeper& operator=(const UploadSweeper&) = delete;

 private:
  void Loop();

  FileSystem* fs_;
  std::string env_file_;
  UploadTable* uploads_;
  KeptUploads* kept_;
  BlockPool* chunk_pool_;
  FreedMemory* freed_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is set up
};

}  // namespace zk

#endif  // ZK_SERVER_UPLOADS_H_
