// The batch a walk level is filling: its chunks, and for an upload the data of each, with the
// bytes they take on the wire kept by the batch itself, so that whether the next chunk still
// fits is always a question of what the batch holds.
#ifndef ZK_CLIENTS_PENDING_BATCH_H_
#define ZK_CLIENTS_PENDING_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "clients/copy_plan.h"
#include "idl/chunk_memory.h"
#include "idl/orb.h"

namespace zk {

// What every upload chunk of one file says of it.
struct UploadHead {
  std::string dir;  // the server directory, wire form, ending in "\"
  std::string name;
  std::string upd;  // its times, as time texts
  std::string crt;
  int64_t size = 0;
};

// The chunks of an upload batch and their data. A chunk's data is either in its fileBuf or, for
// a chunk larger than a piece, streamed: read from its file while the batch is sent, its first
// piece read already. The data is not the batch's: it must stay until the batch is cleared.
class UploadBatch {
 public:
  // Where a chunk's data comes from: kept for every chunk; a chunk is streamed when its data is
  // larger than a piece.
  struct Streamed {
    std::string path;                // the local file it is read from
    int64_t pos = 0;                 // of the chunk in its file
    size_t len = 0;                  // of the chunk's data
    const uint8_t* first = nullptr;  // a streamed chunk's first piece (kChunkPieceBytes)
    bool streamed() const { return len > kChunkPieceBytes; }
  };

  explicit UploadBatch(int64_t unit) : budget_(unit) {}
  UploadBatch(const UploadBatch&) = delete;
  UploadBatch& operator=(const UploadBatch&) = delete;

  // True when the batch must be sent before chunk `span` of `file` is added.
  bool MustSendBefore(const UploadHead& file, const ChunkSpan& span) const {
    return budget_.MustSendBefore(span.len, HeaderBytes(file.dir, file.name, file.upd, file.crt));
  }
  // Adds chunk `span` of `file`, read from local `path`: `data` holds all of it, or its first
  // piece when it is larger than one (null for an empty chunk).
  void Add(const UploadHead& file, const ChunkSpan& span, uint8_t* data, const std::string& path);
  // Adds chunk `i` of `other`, as it is, its data borrowed from there.
  void AddFrom(const UploadBatch& other, CORBA::ULong i);
  // Drops the chunks from position `first` on.
  void DropFrom(CORBA::ULong first);
  void Clear() { DropFrom(0); }

  const ZKmd::zkSeqFileBuf& chunks() const { return chunks_; }
  CORBA::ULong length() const { return chunks_.length(); }
  const Streamed& streamed(CORBA::ULong i) const { return streamed_[i]; }
  // True when every chunk is the whole of its file: no upload continues from a batch before or
  // into one after, so the batch may go on any connection.
  bool WholeFiles() const;
  // Data bytes of chunk `i`, and of them those that are streamed (0 when it is not).
  size_t DataLength(CORBA::ULong i) const;
  size_t StreamedLength(CORBA::ULong i) const;
  int64_t data_bytes() const { return budget_.data_bytes(); }

 private:
  static int64_t HeaderBytes(const std::string& dir, const std::string& name,
                             const std::string& upd, const std::string& crt) {
    return ChunkHeaderBytes(dir, name, upd, crt);
  }
  // Counts chunk `i`, just added, in the budget.
  void Count(CORBA::ULong i);

  ZKmd::zkSeqFileBuf chunks_;
  std::vector<Streamed> streamed_;  // one per chunk
  BatchBudget budget_;
};

// The chunks a download batch asks for.
class DownloadBatch {
 public:
  explicit DownloadBatch(int64_t unit) : budget_(unit) {}
  DownloadBatch(const DownloadBatch&) = delete;
  DownloadBatch& operator=(const DownloadBatch&) = delete;

  // True when the batch must be sent before chunk `span` of file `name` in server directory
  // `dir` is added.
  bool MustSendBefore(const std::string& dir, const std::string& name,
                      const ChunkSpan& span) const {
    return budget_.MustSendBefore(span.len, HeaderBytes(dir, name));
  }
  void Add(const std::string& dir, const std::string& name, const ChunkSpan& span);
  void Clear();

  const ZKmd::zkSeqFileBuf64& chunks() const { return chunks_; }
  bool empty() const { return chunks_.length() == 0; }
  int64_t data_bytes() const { return budget_.data_bytes(); }

 private:
  // A request carries no times, but its reply does, and the file's size: they count as well.
  static int64_t HeaderBytes(const std::string& dir, const std::string& name);

  ZKmd::zkSeqFileBuf64 chunks_;
  BatchBudget budget_;
};

}  // namespace zk

#endif  // ZK_CLIENTS_PENDING_BATCH_H_
