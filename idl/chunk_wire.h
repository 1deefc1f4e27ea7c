// Chunk sequences read from the wire with their data in a ChunkArena instead of a fresh buffer
// per chunk (what the generated code does). Used by the call descriptors of the bulk operations
// on both sides.
#ifndef ZK_IDL_CHUNK_WIRE_H_
#define ZK_IDL_CHUNK_WIRE_H_

#include <vector>

#include "idl/chunk_memory.h"
#include "idl/orb.h"
#include "platform/digest.h"

class cdrStream;

namespace zk {

// Reads a zkSeqFileBuf / zkSeqFileBuf64 as the ORB marshals it into `chunks`; each chunk's data
// lies in `arena` and is not owned by its sequence, so `chunks` must end before the arena.
// Throws the ORB's MARSHAL exception for a length the rest of the message cannot hold.
void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf* chunks);
void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf64* chunks);

// Takes a download reply as it is read: the result first, then each chunk's properties before
// its data, then the data piece by piece. The calls come in that order, for every chunk of the
// reply; the chunks' other fields (numbers, position) are read and dropped.
class ChunkSink {
 public:
  virtual ~ChunkSink() = default;
  // The result and the count of chunks in the reply, before any chunk.
  virtual void Begin(CORBA::Long result, CORBA::ULong count) = 0;
  // Chunk `i` (from 0) of `len` data bytes, with the reply's fileSize, updDt and crtDt. False
  // when its data is not wanted: it is read and dropped.
  virtual bool ChunkStart(CORBA::ULong i, int64_t file_size, const char* upd, const char* crt,
                          size_t len) = 0;
  // The `len` bytes at `offset` of the data of the chunk last started (only when it was
  // wanted). False when the rest of its data is not wanted.
  virtual bool Piece(size_t offset, const uint8_t* data, size_t len) = 0;
  // After the data of the chunk last started, whether it was wanted or not.
  virtual void ChunkEnd() = 0;
  // After the last chunk of a verified reply (zkFileDownloadVerified): the digest of each chunk's
  // data as the server read it (platform/digest.h), in the order of the chunks; fewer or more
  // than the chunks when the server sent that. Not called for other replies.
  virtual void Digests(const std::vector<Digest128>& /*digests*/) {}
};

// Hands the chunks of a reply that is already in memory to `sink` as if they came off the
// wire, in pieces of at most `piece` bytes.
void FeedChunks(CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks, ChunkSink* sink,
                size_t piece = kChunkPieceBytes);
void FeedChunks(CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks, ChunkSink* sink,
                size_t piece = kChunkPieceBytes);

// zkFileDownload64 of `server` as the generated stub makes it, but with the reply handed to
// `sink` while it is read, each chunk's data in pieces of at most kChunkPieceBytes received
// into `piece` (which holds that many). `requests` is sent and not changed; the reply's index
// is returned in *index. With a servant in this process, the reply is fed to `sink` the same way.
// With `verified`, zkFileDownloadVerified instead: the reply's digests go to sink->Digests.
CORBA::Long DownloadTo(ZKmd_ptr server, const char* user, const ZKmd::zkSeqFileBuf64& requests,
                       CORBA::Long* index, ChunkSink* sink, uint8_t* piece, bool verified = false);

// The results of a zkFileDownload64 reply read from `s` as DownloadTo reads them: each chunk to
// `sink`, its data through `piece` (kChunkPieceBytes). Returns the result, the index in *index.
CORBA::Long ReadDownloadReply(cdrStream& s, ChunkSink* sink, uint8_t* piece, CORBA::Long* index);
// The digests that end a zkFileDownloadVerified reply, read from `s` and handed to `sink`.
void ReadReplyDigests(cdrStream& s, ChunkSink* sink);

// Digests of 16 bytes each, in order, as a DataBuffer carries them; a last part of fewer bytes is
// not one.
std::vector<Digest128> SplitDigests(const uint8_t* bytes, size_t len);
// The other way: `digests` one after the other into *out.
void JoinDigests(const std::vector<Digest128>& digests, ZKmd::DataBuffer* out);

// The data of upload chunks that are read from their files while they are sent.
class UploadSource {
 public:
  virtual ~UploadSource() = default;
  // The length of chunk `i`'s data when it is read while sent; 0 when its data is the chunk's
  // fileBuf.
  virtual size_t StreamedLength(CORBA::ULong i) const = 0;
  // Where chunk `i`'s data lies in its file (the request's 32-bit bufPos cannot say it).
  virtual int64_t Position(CORBA::ULong i) const = 0;
  // Fills `buf` with the `len` bytes at `offset` of chunk `i`'s data (zeros past the end of a
  // file that shrank). False when the file could not be read: the rest of the chunk is then sent
  // as zeros with the chunk number 0, which no server takes, so that the file is not stored.
  virtual bool Read(CORBA::ULong i, size_t offset, uint8_t* buf, size_t len) = 0;
};

// The arguments of a zkFileUpload request as the generated stub writes them, but with the data of
// the chunks that `source` streams read from it piece by piece into `piece` (kChunkPieceBytes)
// while they are written; a counting stream reads nothing. With `verified`, those of
// zkFileUploadVerified: each chunk's digest (platform/digest.h, at source->Position) is taken
// from the bytes as they are written, and the digests follow the chunks.
void WriteUploadRequest(cdrStream& s, const char* user, const ZKmd::zkSeqFileBuf& batch,
                        CORBA::Long index, UploadSource* source, uint8_t* piece,
                        bool verified = false);

// zkFileUpload of `server` as the generated stub makes it, but with the data of the chunks that
// `source` streams read from it piece by piece into `piece` (which holds kChunkPieceBytes) while
// the request is sent. With a servant in this process, each such chunk is read whole first.
// With `verified`, zkFileUploadVerified instead.
CORBA::Long UploadFrom(ZKmd_ptr server, const char* user, const ZKmd::zkSeqFileBuf& batch,
                       CORBA::Long* index, UploadSource* source, uint8_t* piece,
                       bool verified = false);

}  // namespace zk

#endif  // ZK_IDL_CHUNK_WIRE_H_
