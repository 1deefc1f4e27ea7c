// One batch of a bulk transfer as the servant serves it, whichever way it arrives: read off the
// connection by the server's own calls (server/chunk_calls.h), or handed over whole as the
// skeleton's operations take it. Each is the one home of its operation's rules: the texts pass
// the text boundary (server/wire_text.h) here, the caller must be the user logged in on the
// calling connection, and the chunks are stored in, or read from, that user's storage area.
#ifndef ZK_SERVER_TRANSFER_BATCH_H_
#define ZK_SERVER_TRANSFER_BATCH_H_

#include <memory>
#include <string>

#include "idl/orb.h"
#include "platform/fs.h"
#include "server/audit_events.h"
#include "server/transfer.h"
#include "server/wire_text.h"

namespace zk {

class ZKmdImpl;

// A zkFileUpload batch: the chunks are stored one by one as they come (ChunkStore). The first
// chunk that fails fails the batch; the chunks after it are read and dropped. A zkFileUploadVerified
// batch (`verified`) puts its files in place only once Verify has checked the digests that follow
// the chunks.
class UploadBatch {
 public:
  // `wire_user` as it came; a refused one, or a caller who is not that user, fails the batch at
  // its first chunk (20, index 1), even when it has none.
  UploadBatch(ZKmdImpl* servant, const char* wire_user, bool verified = false);
  UploadBatch(const UploadBatch&) = delete;
  UploadBatch& operator=(const UploadBatch&) = delete;

  // The texts of the next chunk as they came: true when its data is to be stored (no chunk
  // failed before it and its texts pass the boundary), false when it is to be dropped.
  bool Next(const char* path, const char* name, const char* upd, const char* crt);
  // That chunk with its data in c.fileBuf; its texts are Next's (those of `c` are replaced).
  void Store(ZKmd::zkStrctFileBuf* c);
  // That chunk with its data streamed: `len` bytes of it announced, then piece by piece, then
  // the chunk's other fields (c.fileBuf is not used; its texts are replaced).
  void Receive(size_t len);
  void Piece(const uint8_t* data, size_t n);
  void Received(ZKmd::zkStrctFileBuf* c);
  // After the chunks of a verified batch: the client's digests of them (ChunkStore::Verify). A
  // chunk whose digest differs, before the one that failed, if any, fails the batch there.
  void Verify(const uint8_t* digests, size_t len);

  // 0, 20 or 21, and the 1-based position of the chunk that failed (0 after success).
  CORBA::Long result() const { return result_; }
  CORBA::Long index() const { return index_; }

 private:
  void TakeTexts(ZKmd::zkStrctFileBuf* c) const;
  void Stored(CORBA::Long stored);
  void Fail(CORBA::Long result);

  WireRequest wire_;
  bool verified_;
  UploadBatchAudit audit_;
  std::unique_ptr<FileSystem> area_;
  std::unique_ptr<ChunkStore> store_;
  bool texts_ = true;  // no chunk's text was refused so far
  CORBA::ULong count_ = 0;
  std::string path_, name_, upd_, crt_;
  CORBA::Long result_ = kTransferOk;
  CORBA::Long index_ = 0;
};

// A zkFileDownload(64) batch: the requests' texts through the boundary (a refused one fails the
// batch), the caller checked, each request checked and its file opened in `source`, which reads
// the data of the chunks (OpenChunks); the reply gives the names back as the client sent them
// and, after a failure, carries no chunk. `operation` names the operation in the log. `audit` is
// opened with the batch (DownloadBatchAudit::Opened); the caller tells it what it serves.
CORBA::Long OpenDownload(ZKmdImpl* servant, const char* operation, const char* wire_user,
                         ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index, ChunkSource* source,
                         DownloadBatchAudit* audit);
CORBA::Long OpenDownload(ZKmdImpl* servant, const char* operation, const char* wire_user,
                         ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index, ChunkSource* source,
                         DownloadBatchAudit* audit);

}  // namespace zk

#endif  // ZK_SERVER_TRANSFER_BATCH_H_
