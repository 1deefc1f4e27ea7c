// The two directory walks of zkcp: local tree to the user's server area, and server tree to a
// local directory. They reach the server through CopyServer and the disk through FileSystem, so
// tests can run them against fakes; zkcp's main passes the ORB-backed server and the real disk.
#ifndef ZK_CLIENTS_COPY_WALK_H_
#define ZK_CLIENTS_COPY_WALK_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "clients/copy_plan.h"
#include "clients/server_list.h"
#include "clients/server_text.h"
#include "idl/chunk_memory.h"
#include "idl/chunk_wire.h"
#include "idl/orb.h"
#include "platform/exit_status.h"
#include "platform/fs.h"

namespace zk {

// The requests the walks make. Failures of a request itself are thrown (CORBA exceptions from
// the real server).
class CopyServer {
 public:
  virtual ~CopyServer() = default;
  // Entries of server directory `dir` matching `mask`, sorted by name (zkFileCount, then the
  // listing with kSortByName when the count is at least 1).
  virtual std::vector<ListEntry> List(const std::string& dir, const std::string& mask) = 0;
  // zkFileUpload / the download: result code, *index the failing chunk's 1-based position. The
  // data of an upload's chunks that `source` streams is read from it while the request is sent.
  // A download's reply goes to `sink` while it arrives (result, then each chunk's properties and
  // data); when the request fails before any reply, `sink` hears nothing.
  virtual CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index,
                             UploadSource* source) = 0;
  virtual CORBA::Long Download(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                               ChunkSink* sink) = 0;
  // The same server for the same user over a second connection, opened on the first call (null
  // when there is none): a download may run on it while one runs here, on another thread.
  virtual CopyServer* Second() { return nullptr; }
};

// CopyServer over a ZKmd reference for one authenticated user (`user` in its wire form). Lists
// and downloads with the 64-bit operations, or with zkFileList and zkFileDownload on a server
// without them (decided once, by the first listing). Names travel in the wire code of `text`: a
// listed name that cannot be read is left out; a directory or mask that cannot be written fails
// the listing; a chunk whose names cannot be written fails as the server's 20 would, after the
// chunks before it were sent.
// Second() is the reference that `open_second` gives (a connection of its own, logged in), when
// it gives one and the server has the 64-bit operations (a download in memory, as the older one
// is read, would hold two batches at once).
class ZKmdCopyServer : public CopyServer {
 public:
  ZKmdCopyServer(ZKmd_ptr server, const std::string& user, const ServerText& text = ServerText(),
                 std::function<ZKmd_ptr()> open_second = nullptr)
      : server_(server), user_(user), text_(text), open_second_(std::move(open_second)) {}
  std::vector<ListEntry> List(const std::string& dir, const std::string& mask) override;
  CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index,
                     UploadSource* source) override;
  CORBA::Long Download(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                       ChunkSink* sink) override;
  CopyServer* Second() override;

 private:
  // zkFileDownload for `requests`, whose positions fit 32 bits; its whole reply, in memory, is
  // then fed to `sink`.
  CORBA::Long DownloadNarrow(const ZKmd::zkSeqFileBuf64& requests, CORBA::Long* index,
                             ChunkSink* sink);

  ZKmd_ptr server_;
  std::string user_;
  ServerText text_;
  WideOps ops_;
  std::function<ZKmd_ptr()> open_second_;  // null once called
  ZKmd_var second_ref_;
  std::unique_ptr<ZKmdCopyServer> second_;
  // Where each piece of a download's data is received, or of an upload's read, used again for
  // every piece.
  std::unique_ptr<uint8_t[]> piece_{new uint8_t[kChunkPieceBytes]};
};

// Where the walks print: lines to `out`, messages to `err`, and, when set, the progress of the
// file being copied (its name as printed, bytes done, its size) to `progress`.
struct CopyConsole {
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
  std::function<void(const std::string&, int64_t, int64_t)> progress;
  // PrintOut / PrintErr, and the progress line when standard error is a terminal.
  static CopyConsole Standard();
};

// The walks return kExitOk, or kExitFail when a listing failed at some level or the walk stopped.

// The temporary name of a download in progress, beside the file it becomes: ".zkcp-PID-N.part".
// A file of that form whose process is gone is a leftover of an interrupted download; the walk
// removes those it meets in the directories it writes to.
std::string DownloadTempName(int pid, uint64_t serial);
// True for a name of that form; *pid is the process that made it.
bool IsDownloadTempName(const std::string& name, int* pid);

class CopyWalk {
 public:
  // `unit` in bytes, already checked (ParseUnit).
  CopyWalk(FileSystem* fs, CopyServer* server, CopyMode mode, int64_t unit, CopyConsole console);
  ~CopyWalk();

  // Copies the entries of local directory `local_dir` (ending in "/") that match `mask` to server
  // directory `server_dir` (wire form, ending in "\"), subdirectories with all they hold.
  int ToServer(const std::string& local_dir, const std::string& mask,
               const std::string& server_dir);
  // Copies the entries of server directory `server_dir` matching `mask` into `local_dir`. Each
  // file is written into a temporary file beside it, which takes its place, with its time, once
  // the last chunk is written: a file is there whole or not at all.
  int FromServer(const std::string& server_dir, const std::string& mask,
                 const std::string& local_dir);

  int32_t copied() const { return copied_; }
  int32_t unreadable() const { return unreadable_; }
  // True when any file could not be read, sent, stored or written, or a request failed.
  bool failed() const { return failed_; }
  // True when the connection to the server was lost: the walk stopped there.
  bool stopped() const { return stopped_; }

 private:
  // One level's pending batch.
  template <class Chunks>
  struct Pending {
    explicit Pending(int64_t unit) : budget(unit) {}
    Chunks chunks;
    BatchBudget budget;
  };
  // A chunk larger than a piece is read while it is sent: its data is not in its fileBuf but
  // in its file, whose first piece was read when it was queued.
  struct Streamed {
    std::string path;                // local; "" for a chunk whose data is in its fileBuf
    int64_t pos = 0;                 // of the chunk in its file
    size_t len = 0;                  // of the chunk's data
    const uint8_t* first = nullptr;  // its first piece (kChunkPieceBytes), read at queue time
  };
  struct UploadBatch : Pending<ZKmd::zkSeqFileBuf> {
    using Pending::Pending;
    std::vector<Streamed> streamed;  // one per chunk
  };
  class UploadReader;
  using DownloadBatch = Pending<ZKmd::zkSeqFileBuf64>;
  // The local file being read for an upload, kept open from the read of a chunk's first piece
  // to the reads while its batches are sent, and from one batch of it to the next.
  class SourceFile {
   public:
    // The file at `path` (opened now unless it is the one open already); null when it cannot be
    // opened.
    FileSystem::File* Get(FileSystem* fs, const std::string& path);
    void Close() { file_.reset(); }

   private:
    std::string path_;
    std::unique_ptr<FileSystem::File> file_;
  };

  // A download in progress: its temporary file, what the server said of the file when the first
  // chunk came (a later chunk of another size or time is of another file), and where the bytes
  // written so far end (zeros are left as holes, so the file may be shorter than what came).
  struct Incoming {
    std::string temp;
    int64_t size = 0;
    std::string upd;
    int64_t written_end = 0;
  };
  class ReplyWriter;
  // A thread that makes the download calls of one connection, each reply held back until the
  // walk lets it be written.
  class DownloadLane;
  // A download whose request went out on a lane while the walk went on.
  struct Ahead;

  int UploadLevel(const std::string& local_dir, const std::string& mask,
                  const std::string& server_dir);
  int DownloadLevel(const std::string& server_dir, const std::string& mask,
                    const std::string& local_dir);
  // Queues the chunks of one local file; false when it could not be read.
  bool QueueUpload(const std::string& path, const DirEntry& file, const std::string& server_dir,
                   UploadBatch* pending);
  void QueueDownload(const ListEntry& file, const std::string& server_dir, DownloadBatch* pending,
                     const std::string& local_dir);
  // Sends the pending batch; true when the server stored its last chunk (and so every chunk of
  // the file that chunk belongs to).
  bool SendUpload(UploadBatch* pending);
  // Data bytes of chunk `i` of `pending`.
  static size_t DataLength(const UploadBatch& pending, CORBA::ULong i);
  void SendDownload(DownloadBatch* pending, const std::string& local_dir);
  // Sends the pending batch on the lane that is free, and then writes the reply to the batch sent
  // ahead before it (FinishAhead): while that reply is written, the server is already reading
  // the next one. Only while the walk goes on with the chunks of one file, so that nothing is
  // printed or asked between the two. Without a second connection, SendDownload.
  void SendDownloadAhead(DownloadBatch* pending, const std::string& local_dir);
  // Writes the reply to the batch sent ahead, if any, and reports it as SendDownload does.
  void FinishAhead();
  // True while the walk asks for more of the file at local `path` (`name` on the server): it has
  // not stopped, and the file's chunks so far were written or its first chunk is in the batch
  // sent ahead (a batch never spans levels, so the name is enough there).
  bool FileGoesOn(const std::string& path, const std::string& name) const;
  // Runs `call`, the download of `requests` into `writer`, and reports the reply: its failures,
  // the files it completed, or the exception of the request.
  void CompleteDownload(const ZKmd::zkSeqFileBuf64& requests, ReplyWriter* writer,
                        const std::string& local_dir,
                        const std::function<void(CORBA::Long*)>& call);
  // After a reply that ReplyWriter wrote: reports its failures, finishes the files it completed.
  void FinishDownloaded(const ZKmd::zkSeqFileBuf64& chunks, const ReplyWriter& writer,
                        const std::string& local_dir);
  // Gives up the downloads in progress that chunks from position `from` of `chunks` continue.
  void GiveUpDownloads(const ZKmd::zkSeqFileBuf64& chunks, CORBA::ULong from,
                       const std::string& local_dir);
  void GiveUpDownload(const std::string& path);
  // The chunk data of the pending upload batch, in memory used again from batch to batch.
  BlockPool chunk_pool_{static_cast<size_t>(kMaxMessageBytes)};
  ChunkArena upload_arena_{&chunk_pool_};
  SourceFile source_;
  // Reports a CORBA exception of a transfer request; a lost connection stops the walk.
  void TransferException(const CORBA::Exception& e);
  // Removes leftovers of interrupted downloads among `entries` of `local_dir`, and drops them.
  void RemoveDownloadLeftovers(const std::string& local_dir, std::vector<DirEntry>* entries);
  void Progress(const std::string& name, int64_t done, int64_t total);

  FileSystem* fs_;
  CopyServer* server_;
  CopyMode mode_;
  int64_t unit_;
  CopyConsole console_;
  int32_t copied_ = 0;
  int32_t unreadable_ = 0;
  bool failed_ = false;
  bool stopped_ = false;
  std::vector<std::string> walking_;          // real paths of the local directories being walked
  std::map<std::string, Incoming> incoming_;  // downloads in progress, by local path
  uint64_t temp_serial_ = 0;
  bool lanes_tried_ = false;
  std::unique_ptr<DownloadLane> lanes_[2];  // this connection and the second one, when there is one
  int next_lane_ = 0;
  std::unique_ptr<Ahead> ahead_;  // sent, its reply not yet written
};

}  // namespace zk

#endif  // ZK_CLIENTS_COPY_WALK_H_
