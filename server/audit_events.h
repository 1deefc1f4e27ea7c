// What the server writes into its audit trail (server/audit.h), and when. The servant's
// operations that end in one call make their record where their result is known (CallRecord).
// A file's upload and download span calls, and TransferAudit follows each file until it ends:
//
// - an upload from its first chunk (bufNo 1) on its connection: one record when its last chunk
//   landed (result 0) or a chunk of it failed (that chunk's result), or when it is given up: its
//   connection closed, or it was not continued for kUploadIdleLimit, as the table of uploads gives
//   it up (reason "connection-closed", "idle"), or the connection began it again ("begun-again");
// - a download from the first request for the file by the user, on any of the user's connections
//   (the tools ask for later parts ahead over a second one, so the parts may come in any order):
//   one record once every byte of the file has been served (bytes: the file's size), or when a
//   request for it failed (that result), or, when nothing more was asked for kDownloadIdle,
//   result 20 with reason "incomplete" and the bytes served.
//
// The record of a file that landed, or of a download served whole, carries the file's digest
// (server/file_digest.h): of the bytes stored, or of those served, in file order. It is empty
// where they were not all seen in order: a download that skipped, asked for a part again or began
// mid-file; an upload whose chunks did not follow on.
//
// Nothing here is done while the audit trail is off.
#ifndef ZK_SERVER_AUDIT_EVENTS_H_
#define ZK_SERVER_AUDIT_EVENTS_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "idl/orb.h"
#include "server/audit.h"
#include "server/connection_limits.h"
#include "server/file_digest.h"

namespace zk {

// A download that nothing more was asked of for this long is recorded as incomplete.
constexpr std::chrono::minutes kDownloadIdle(10);
// Files followed at most, each way; beyond that the oldest is recorded as it stands and forgotten.
constexpr size_t kMaxFollowedFiles = 4096;
// Bytes that the digests of all downloads hold ahead together, at most (FileDigest).
constexpr int64_t kMaxAheadBytes = 256 * 1024 * 1024;

// The peer of a record: host and port of the ORB's address ("giop:tcp:[::ffff:10.0.0.5]:40000"
// gives "10.0.0.5:40000", "giop:ssl:[::1]:40000" gives "[::1]:40000"); another form is kept whole.
std::string AuditPeer(const std::string& address);
// A record of the request this thread is serving, by `user` (as log lines write it), from the
// calling peer, taking the time since `started`.
AuditRecord CallRecord(AuditEvent event, const std::string& user,
                       std::chrono::steady_clock::time_point started);
// The record of a call on one path of `user`'s area (`wire_path` as it came), with its result.
void AuditPathCall(AuditLog* log, AuditEvent event, const char* user, const char* wire_path,
                   int64_t result, std::chrono::steady_clock::time_point started);
// A connection refused or closed: the peer and why.
void AuditConnection(AuditLog* log, AuditEvent event, const std::string& peer, const char* reason);

class TransferAudit {
 public:
  using Clock = std::chrono::steady_clock;
  using OpenFn = std::function<bool(const Socket&)>;

  // Records go to `log`; `open` says whether an upload's connection is still open.
  explicit TransferAudit(AuditLog* log, OpenFn open = SocketStillOpen)
      : log_(log), open_(std::move(open)) {}
  // Records what is still followed (reason "server-stopped") and ends the sweep.
  ~TransferAudit();
  TransferAudit(const TransferAudit&) = delete;
  TransferAudit& operator=(const TransferAudit&) = delete;

  // Sweeps every second from now on (Sweep), in a thread of its own. After the log's Start.
  void Start();
  bool on() const { return log_->on(); }

  // The upload chunk number `no` (`last` when nextBuf is FALSE) of the file at `rel` in the area
  // (as it came, when the path was refused) by `user` on connection `conn` was stored, `len`
  // bytes, with `result`. `digest`: the file's, where its last chunk carries one.
  void UploadChunk(uint64_t conn, const Socket& socket, const std::string& user,
                   const std::string& peer, const std::string& rel, int32_t no, bool last,
                   size_t len, int64_t result, Clock::time_point now,
                   const std::string& digest = std::string());
  // One upload chunk as UploadChunk takes it.
  struct Uploaded {
    std::string rel;
    int32_t no;
    bool last;
    size_t len;
    int64_t result;
    std::string digest;
  };
  // The chunks of one batch, in order, as so many calls of UploadChunk would record them.
  void UploadChunks(uint64_t conn, const Socket& socket, const std::string& user,
                    const std::string& peer, std::vector<Uploaded>* chunks, Clock::time_point now);
  // The digest of the download of the file at `rel` in the area of `user`: every byte served of
  // it goes there, before DownloadChunk says that it was served. Begins following the download.
  std::shared_ptr<FileDigest> DownloadDigest(const std::string& user, const std::string& peer,
                                             const std::string& rel, Clock::time_point now);
  // A download of the whole file at `rel` in one chunk needs no following across calls: a digest
  // of its own for it, or null when the file is followed already (then DownloadDigest, as for any
  // part). DownloadServedWhole records it once served, `size` bytes, begun at `started`.
  std::shared_ptr<FileDigest> DownloadWholeDigest(const std::string& user, const std::string& rel);
  void DownloadServedWhole(const std::string& user, const std::string& peer, const std::string& rel,
                           int64_t size, const FileDigest& digest, Clock::time_point started,
                           Clock::time_point now);
  // `len` bytes from `pos` of the file at `rel` in the area of `user`, of `size` bytes (-1: not
  // known), were served.
  void DownloadChunk(const std::string& user, const std::string& peer, const std::string& rel,
                     int64_t pos, int64_t len, int64_t size, Clock::time_point now);
  // A request for the file at `rel` failed with `result`.
  void DownloadFailed(const std::string& user, const std::string& peer, const std::string& rel,
                      int64_t result, Clock::time_point now);
  // Records and forgets the uploads whose connection closed or that were idle for
  // kUploadIdleLimit, and the downloads idle for kDownloadIdle.
  void Sweep(Clock::time_point now);

  // Files followed now (tests).
  size_t uploads() const;
  size_t downloads() const;

 private:
  struct File {
    std::string peer;
    Socket socket;
    Clock::time_point started, used;
    int64_t bytes = 0;
    std::shared_ptr<FileDigest> digest;  // a download's
  };
  using UploadKey = std::tuple<uint64_t, std::string, std::string>;  // conn, user, rel
  using DownloadKey = std::tuple<std::string, std::string>;          // user, rel

  // UploadChunk under mu_, the ended files' records into `ended`.
  void Upload(uint64_t conn, const Socket& socket, const std::string& user,
              const std::string& peer, Uploaded* chunk, Clock::time_point now,
              std::vector<AuditRecord>* ended);

  // Records the file's transfer as ended now and forgets it; the record goes into `ended` where
  // one is given.
  template <class Map>
  void End(Map* files, typename Map::iterator it, AuditEvent event, int64_t result,
           const char* reason, Clock::time_point now, int64_t bytes,
           const std::string& digest = std::string(), std::vector<AuditRecord>* ended = nullptr);
  // Makes room for one more file in `files` by ending its oldest.
  template <class Map>
  void Bound(Map* files, AuditEvent event, Clock::time_point now);
  // The download of `rel` by `user` followed, begun now when it was not.
  std::map<DownloadKey, File, std::less<>>::iterator FollowDownload(const std::string& user,
                                                                     const std::string& rel,
                                                                     const std::string& peer,
                                                                     Clock::time_point now);
  void Loop();

  AuditLog* log_;
  OpenFn open_;
  mutable std::mutex mu_;
  std::map<UploadKey, File, std::less<>> uploads_;
  std::map<DownloadKey, File, std::less<>> downloads_;
  AheadBudget ahead_{kMaxAheadBytes};  // for the downloads' digests

  std::mutex sweep_mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// The audit of one upload batch (server/transfer_batch.h): the caller once, then the outcome of
// each chunk the batch stored. A default one records nothing.
class UploadBatchAudit {
 public:
  UploadBatchAudit() = default;
  UploadBatchAudit(TransferAudit* audit, const std::string& user, uint64_t conn,
                   const Socket& socket);
  // The data of the next chunk is streamed: `len` bytes.
  void Receiving(size_t len) { len_ = len; }
  // The chunk `c` (texts in UTF-8) was stored with `result`: `len` bytes of data, or those given
  // to Receiving when it was streamed. `digest`: the file's (ChunkStore::landed_digest).
  void Stored(const ZKmd::zkStrctFileBuf& c, size_t len, CORBA::Long result,
              const std::string& digest);
  void Received(const ZKmd::zkStrctFileBuf& c, CORBA::Long result, const std::string& digest) {
    Stored(c, len_, result, digest);
  }
  // A verified batch: its chunks are recorded by Checked, once the batch's digests are compared
  // (a file whose chunk differed never landed).
  void Defer() { defer_ = true; }
  // The batch ended with `result`, failed at the 1-based chunk `index` (0 after success): the
  // chunks from there on are recorded with it.
  void Checked(CORBA::Long result, CORBA::Long index);

 private:

  TransferAudit* audit_ = nullptr;
  std::string user_;
  std::string peer_;
  uint64_t conn_ = 0;
  Socket socket_;
  size_t len_ = 0;
  bool defer_ = false;
  std::vector<TransferAudit::Uploaded> deferred_;
};

// The audit of one download batch: each chunk's data into its file's digest as it goes into the
// reply, then the chunk as served. A default one, or one opened while the audit trail is off,
// records and digests nothing.
class DownloadBatchAudit {
 public:
  // The batch as the servant checked it (its texts in UTF-8, each file opened), with `result` and
  // the failing request's 1-based `index`: a failed batch is recorded now (the request that
  // failed); the chunks of one that succeeded are followed while they are served.
  void Opened(TransferAudit* audit, const std::string& user, const ZKmd::zkSeqFileBuf& chunks,
              CORBA::Long result, CORBA::Long index);
  void Opened(TransferAudit* audit, const std::string& user, const ZKmd::zkSeqFileBuf64& chunks,
              CORBA::Long result, CORBA::Long index);
  // `n` bytes of chunk `i`'s data, from `at` bytes into it, went into the reply.
  void Data(size_t i, size_t at, const void* data, size_t n);
  // Chunk `i` went into the reply whole.
  void Served(size_t i);

 private:
  struct Chunk {
    std::string rel;
    int64_t pos, len, size;
    std::shared_ptr<FileDigest> digest;
    bool whole;  // the whole file, not followed across calls (DownloadWholeDigest)
  };
  template <class Chunks>
  void Open(TransferAudit* audit, const std::string& user, const Chunks& chunks, CORBA::Long result,
            CORBA::Long index);

  TransferAudit* audit_ = nullptr;
  std::string user_, peer_;
  TransferAudit::Clock::time_point started_;
  std::vector<Chunk> chunks_;
};

}  // namespace zk

#endif  // ZK_SERVER_AUDIT_EVENTS_H_
