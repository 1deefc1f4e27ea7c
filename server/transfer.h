// The server's side of the chunk protocol: storing uploaded chunks and filling download requests
// inside one user's storage area. The servant opens the area as a confined file system
// (server/storage.h); these functions do the rest through it, so tests can run them on a scratch
// directory.
#ifndef ZK_SERVER_TRANSFER_H_
#define ZK_SERVER_TRANSFER_H_

#include <memory>
#include <string>
#include <vector>

#include "idl/chunk_memory.h"
#include "idl/orb.h"
#include "idl/wire.h"
#include "platform/fs.h"
#include "server/uploads.h"

namespace zk {

// Who uploads: the connection the chunks came on (its id and socket), the storage directory of
// the area they go to, and the file system the areas are opened from (the servant's), through
// which uploads of other areas that the table gives up are removed (none when null).
struct UploadCaller {
  uint64_t conn = 0;
  Socket socket;
  std::string area_dir;
  FileSystem* root = nullptr;
};

// Stores `chunks` in order in `area` (the storage area's own file system, FileSystem::Beneath;
// null when the caller has none, which fails the first chunk). A chunk with bufNo 1 begins an
// upload of its file: into a temporary file beside it, invisible to every request. Each further
// chunk of the file continues that upload, from the same connection and with the next number.
// The last chunk of a file (nextBuf FALSE) gives the temporary file the file's last-write time
// and then puts it in the file's place, so the file is there whole or not at all.
// Returns 0, 20 (file not created, opened or written; not a regular file or a directory in the
// way; path refused; a chunk that continues no upload of this connection) or 21 (directory not
// created). *index is 0 after success, else the 1-based position of the failing chunk; the chunks
// before it are stored. An upload that fails is given up, its temporary file removed: its later
// chunks fail as continuing none.
CORBA::Long StoreChunks(FileSystem* area, UploadTable* uploads, const UploadCaller& caller,
                        const ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index);

// What a download reply takes besides its chunks, at most: the GIOP and reply headers (with room
// for service contexts), the result, the sequence length and bufIndex.
constexpr int64_t kReplyEnvelopeBytes = 1024;
// What the chunk `c` takes in a download reply once filled, at most: its bufUnitSize bytes of
// data, its texts (the times as the server writes them) and its fixed fields.
int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf& c);
int64_t ChunkReplyBytes(const ZKmd::zkStrctFileBuf64& c);

// The data of a download's chunks. A chunk of more than `stream_above` bytes is read while the
// reply is written, piece by piece, from its file kept open (one for consecutive chunks of one
// file; at most kMaxHeldFiles are kept); the others are read at once, when they are added.
class ChunkSource {
 public:
  static constexpr size_t kMaxHeldFiles = 16;

  // Data read at once lies in `arena` (in memory of the source's own when null).
  ChunkSource(ChunkArena* arena, size_t stream_above)
      : arena_(arena), stream_above_(stream_above) {}
  // Keeps the area the files were opened in for as long as the source lives.
  void Keep(std::unique_ptr<FileSystem> area) { area_ = std::move(area); }
  // Adds the next chunk: `len` bytes from `pos` of the regular file at `path` of `area`, and
  // gives the file's properties. False when it cannot be opened, looked at or read.
  bool Add(FileSystem* area, const std::string& path, int64_t pos, size_t len, DirEntry* entry);

  size_t size() const { return parts_.size(); }
  // The bytes of chunk `i`'s data.
  size_t Length(size_t i) const { return parts_[i].length; }
  // Chunk `i`'s data when it was read at once; null when it is streamed (or empty).
  const uint8_t* Data(size_t i) const { return parts_[i].data; }
  // Reads `len` bytes of chunk `i`'s data, from `at` bytes into it, into `buf`: zero bytes past
  // the end of its file. False when the file cannot be read.
  bool Read(size_t i, size_t at, size_t len, void* buf);

 private:
  struct Part {
    FileSystem::File* file;  // null when read at once
    int64_t pos;
    size_t length;
    const uint8_t* data;
  };
  bool ReadFrom(FileSystem::File* file, int64_t pos, size_t len, void* buf);

  ChunkArena* arena_;
  size_t stream_above_;
  std::unique_ptr<FileSystem> area_;
  std::vector<std::unique_ptr<FileSystem::File>> files_;
  std::string last_path_;
  bool last_held_ = false;  // a streamed chunk needs files_.back()
  size_t held_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> owned_;
  std::vector<Part> parts_;
};

// Checks each request of `chunks` as FillChunks does and fills its fields, with each file opened
// in `source` (which reads the data of small chunks at once): fileBuf stays empty;
// source->Length(i) is the data's length.
// Returns 0 or 20 with *index as FillChunks.
CORBA::Long OpenChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index,
                       ChunkSource* source);
CORBA::Long OpenChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index,
                       ChunkSource* source);

// Fills each request of `chunks` from the file in `area`: fileSize, updDt, crtDt and bufUnitSize
// bytes from bufPos (zero bytes past the end of the file). Refuses (20) a missing, unreadable or
// not regular file, a refused path, a negative position or length, and lengths that would not
// fit in one reply with their headers (kMaxMessageBytes). Returns 0 or 20 with *index as in
// StoreChunks. The 32-bit fileSize of zkFileDownload is NarrowSize of the size (-1 for a file
// of 2 GiB or more); zkFileDownload64 gives it whole and reads at any 64-bit position.
// With an `arena`, the data lies there (the chunks must end before it); else each chunk owns its
// own.
CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index,
                       ChunkArena* arena = nullptr);
CORBA::Long FillChunks(FileSystem* area, ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index,
                       ChunkArena* arena = nullptr);

}  // namespace zk

#endif  // ZK_SERVER_TRANSFER_H_
