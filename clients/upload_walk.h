// The walk from a local tree to the user's server area: each level's files cut into chunks and
// sent in batches of the unit, a chunk larger than a piece read from its file while it is sent.
// A batch of whole files goes out on a second connection, where the server has one for us, while
// the walk reads the files of the next: the server checks and renames one batch's files while the
// next is being read.
#ifndef ZK_CLIENTS_UPLOAD_WALK_H_
#define ZK_CLIENTS_UPLOAD_WALK_H_

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "clients/pending_batch.h"
#include "clients/walk_part.h"

namespace zk {

class CallLane;

class UploadWalk : private WalkPart {
 public:
  explicit UploadWalk(WalkState* state);
  ~UploadWalk();
  // CopyWalk::ToServer.
  int Run(const std::string& local_dir, const std::string& mask, const std::string& server_dir);

 private:
  class UploadReader;
  struct Ahead;
  // A file to be sent once more: where it is read, its name, and the server directory it goes to.
  struct Retry {
    std::string path;
    std::string name;
    std::string server_dir;
  };
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

  int UploadLevel(const std::string& local_dir, const std::string& mask,
                  const std::string& server_dir);
  // False for an entry that is never uploaded (reported when it is not just passed over).
  bool CanUpload(const std::string& local_dir, const DirEntry& e);
  // Sends what is pending and walks subdirectory `name`; false when its walk failed or stopped.
  bool UploadSubdirectory(const std::string& local_dir, const std::string& name,
                          const std::string& server_dir, UploadBatch* pending);
  // Queues local file `e` when the mode copies it over what `names` lists, and reports it.
  void UploadFile(const std::string& local_dir, const DirEntry& e, const std::string& server_dir,
                  const NameIndex& names, UploadBatch* pending);
  // Queues the chunks of one local file; false when it could not be read.
  bool QueueUpload(const std::string& path, const DirEntry& file, const std::string& server_dir,
                   UploadBatch* pending);
  // Where the upload of the file at `path` continues: after what the server kept of an earlier
  // upload of it, as far as that agrees with the file, taken up by the server; else 0.
  int64_t ResumeFrom(const std::string& path, const UploadHead& head);
  // The number of the first chunk sent of a file that continues a kept upload.
  static constexpr int32_t kResumedChunkNo = 2;
  // Reads chunk `span` of the file at `path`, or its first piece when it is larger, into memory
  // of the batch being filled (*data, null for an empty chunk); false when it cannot be read.
  bool ReadChunk(const std::string& path, const ChunkSpan& span, uint8_t** data);
  // Sends the pending batch; true when the server stored its last chunk (and so every chunk of
  // the file that chunk belongs to). The batch is empty afterwards. With `ahead`, a batch of
  // whole files may still be on its way when this returns (true then); its reply is taken by the
  // next send or by FinishAhead.
  bool SendUpload(UploadBatch* pending, bool ahead = true);
  // The request for `batch` on the walk's own connection, its streamed chunks read through
  // `source`, and what its reply says.
  bool SendNow(const UploadBatch& batch, SourceFile* source);
  // What the server's reply to `batch` (result `r`, failing chunk `index`) says, read through
  // `reader`; the chunks of other files after a refused one are sent again through `source`.
  bool Settle(const UploadBatch& batch, CORBA::Long r, CORBA::Long index,
              const UploadReader& reader, SourceFile* source);
  // True when `pending` may go ahead on the second connection (opened now, the first time).
  bool CanGoAhead(const UploadBatch& pending);
  // Sends `pending` ahead, after taking the reply to the batch ahead before it.
  void SendAhead(UploadBatch* pending);
  // Waits for the batch sent ahead, if any, and takes its reply.
  void FinishAhead();
  void ReportRefused(CORBA::Long result, const std::string& name);
  // After the server refused chunk `refused` of `pending` because its file could not be read or
  // its data differed from its digest: sends the chunks after it of other files; true when the
  // last chunk of `pending` was stored.
  bool UploadRestAfter(const UploadBatch& pending, CORBA::ULong refused, SourceFile* source);
  // The server found chunk `c`'s data, read from local file `path`, differing from its digest,
  // and has no upload of its file: the first time, the file is queued to be sent once more
  // (RetryCorrupt); the second time, reported.
  void Corrupt(const ZKmd::zkStrctFileBuf& c, const std::string& path);
  // Sends each file queued by Corrupt once more through `pending` (empty).
  void RetryCorrupt(UploadBatch* pending);

  // The chunk data of the pending upload batch and of the batch ahead, in memory used again from
  // batch to batch; the pending batch's is in *filling_.
  BlockPool chunk_pool_{static_cast<size_t>(kMaxMessageBytes)};
  ChunkArena arena_a_{&chunk_pool_};
  ChunkArena arena_b_{&chunk_pool_};
  ChunkArena* filling_ = &arena_a_;
  SourceFile source_;
  std::vector<Retry> retries_;
  std::set<std::string> resent_;  // local paths sent a second time
  int batches_ = 0;               // sent in this walk; the second connection waits for a third
  bool lane_tried_ = false;       // the second connection was asked for
  CopyServer* second_ = nullptr;  // that connection, while the lane calls through it
  std::unique_ptr<CallLane> lane_;
  std::unique_ptr<Ahead> ahead_;  // the batch on its way there
};

}  // namespace zk

#endif  // ZK_CLIENTS_UPLOAD_WALK_H_
