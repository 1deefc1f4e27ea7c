// The walk from a local tree to the user's server area: each level's files cut into chunks and
// sent in batches of the unit, a chunk larger than a piece read from its file while it is sent.
#ifndef ZK_CLIENTS_UPLOAD_WALK_H_
#define ZK_CLIENTS_UPLOAD_WALK_H_

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "clients/pending_batch.h"
#include "clients/walk_part.h"

namespace zk {

class UploadWalk : private WalkPart {
 public:
  explicit UploadWalk(WalkState* state) : WalkPart(state) {}
  // CopyWalk::ToServer.
  int Run(const std::string& local_dir, const std::string& mask, const std::string& server_dir);

 private:
  class UploadReader;
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
  // the file that chunk belongs to). The batch is empty afterwards.
  bool SendUpload(UploadBatch* pending);
  // The request of SendUpload and what its reply says; throws what the request throws.
  bool Upload(const UploadBatch& pending);
  void ReportRefused(CORBA::Long result, const std::string& name);
  // After the server refused chunk `refused` of `pending` because its file could not be read or
  // its data differed from its digest: sends the chunks after it of other files; true when the
  // last chunk of `pending` was stored.
  bool UploadRestAfter(const UploadBatch& pending, CORBA::ULong refused);
  // The server found chunk `c`'s data differing from its digest, and has no upload of its file:
  // the first time, the file is queued to be sent once more (RetryCorrupt); the second time,
  // reported.
  void Corrupt(const ZKmd::zkStrctFileBuf& c);
  // Sends each file queued by Corrupt once more, in server directory `server_dir`, through
  // `pending` (empty).
  void RetryCorrupt(const std::string& server_dir, UploadBatch* pending);

  // The chunk data of the pending upload batch, in memory used again from batch to batch.
  BlockPool chunk_pool_{static_cast<size_t>(kMaxMessageBytes)};
  ChunkArena upload_arena_{&chunk_pool_};
  SourceFile source_;
  std::string local_dir_;              // of the level being walked, whose batches are sent
  std::vector<std::string> retries_;   // names of its files to be sent once more
  std::set<std::string> resent_;       // local paths sent a second time
};

}  // namespace zk

#endif  // ZK_CLIENTS_UPLOAD_WALK_H_
