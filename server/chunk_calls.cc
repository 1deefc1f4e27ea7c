// Chunk calls with their data in pooled memory.
#include "server/chunk_calls.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "idl/chunk_wire.h"
#include "idl/omniorb/calls.h"
#include "server/transfer.h"
#include "server/transfer_batch.h"
#include "server/server_state.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

// zkFileUpload with each chunk stored as it comes off the connection: the data of a large chunk
// is written into its file piece by piece (through one piece of pooled memory, so that receiving
// overlaps writing and the data stays in the processor's cache), a small one is read into the
// arena first. Each chunk is stored (ChunkStore) once its last field is read, so all the work is
// done here and the upcall only gives the result.
class UploadCall : public OwnCall {
 public:
  UploadCall(ZKmdImpl* impl, ChunkArena* arena) : impl_(impl), arena_(arena) {}

  void ReadArguments(cdrStream& s) override {
    CORBA::String_var wire_user = s.unmarshalString(0);
    batch_.reset(new UploadBatch(impl_, wire_user.in()));
    CORBA::ULong n;
    n <<= s;
    if (!s.checkInputOverrun(1, n)) _CORBA_marshal_sequence_range_check_error(s);
    for (CORBA::ULong i = 0; i < n; ++i) ReadChunk(s);
    CORBA::Long sent_index;  // the request's bufIndex is not used
    sent_index <<= s;
  }
  void Run(_impl_ZKmd*) override {
    // The data is stored: its blocks go back before the reply lets the client send the next
    // batch, which another thread of the connection may read at once (and would otherwise get
    // blocks of its own).
    arena_->Reset();
  }
  void WriteResults(cdrStream& s) override {
    batch_->result() >>= s;
    batch_->index() >>= s;
  }
  CORBA::Long result() const { return batch_->result(); }
  CORBA::Long index() const { return batch_->index(); }

 private:
  // One chunk, stored once its last field is read (or read and dropped).
  void ReadChunk(cdrStream& s) {
    CORBA::String_var path = s.unmarshalString(0), name = s.unmarshalString(0);
    CORBA::Long size;
    size <<= s;
    CORBA::String_var upd = s.unmarshalString(0), crt = s.unmarshalString(0);
    const bool store_it = batch_->Next(path.in(), name.in(), upd.in(), crt.in());
    CORBA::ULong len;
    len <<= s;
    if (!s.checkInputOverrun(1, len)) _CORBA_marshal_sequence_range_check_error(s);
    const bool streamed = len > kChunkPieceBytes;
    if (store_it && streamed) {
      batch_->Receive(len);
      ReadPieces(s, len, batch_.get());
    } else if (store_it && len > 0) {
      CORBA::Octet* data = arena_->Alloc(len);
      s.get_octet_array(data, static_cast<int>(len), omni::ALIGN_1);
      c_.fileBuf.replace(len, len, data, false);
    } else {
      ReadPieces(s, len, nullptr);
      c_.fileBuf.length(0);
    }
    static_cast<CORBA::Long&>(c_.bufNo) <<= s;
    c_.nextBuf = s.unmarshalBoolean();
    static_cast<CORBA::Long&>(c_.bufPos) <<= s;
    static_cast<CORBA::Long&>(c_.bufUnitSize) <<= s;
    c_.fileSize = size;
    if (!store_it) return;
    if (streamed) {
      batch_->Received(&c_);
    } else {
      batch_->Store(&c_);
    }
    c_.fileBuf.length(0);
  }

  // Reads `len` bytes of data piece by piece, into `batch` (dropped when null).
  void ReadPieces(cdrStream& s, size_t len, UploadBatch* batch) {
    if (len > 0 && !piece_) piece_ = arena_->Alloc(kChunkPieceBytes);
    for (size_t at = 0; at < len; at += kChunkPieceBytes) {
      const size_t k = std::min(kChunkPieceBytes, len - at);
      s.get_octet_array(piece_, static_cast<int>(k), omni::ALIGN_1);
      if (batch) batch->Piece(piece_, k);
    }
  }

  ZKmdImpl* impl_;
  ChunkArena* arena_;
  CORBA::Octet* piece_ = nullptr;
  std::unique_ptr<UploadBatch> batch_;
  ZKmd::zkStrctFileBuf c_;
};

// The fields of a download reply's chunk as the generated code marshals them, its data from
// `source` (chunk `i`) or, for a chunk the source does not describe, its own.
template <class Number, class Chunk>
void WriteChunk(cdrStream& s, const Chunk& c, ChunkSource* source, CORBA::ULong i,
                CORBA::Octet* piece, bool counting, ChunkArena* whole) {
  s.marshalString(c.filePath.in(), 0);
  s.marshalString(c.fileNm.in(), 0);
  static_cast<Number>(c.fileSize) >>= s;
  s.marshalString(c.updDt.in(), 0);
  s.marshalString(c.crtDt.in(), 0);
  if (i >= source->size()) {
    c.fileBuf >>= s;
  } else {
    const size_t len = source->Length(i);
    static_cast<CORBA::ULong>(len) >>= s;
    const uint8_t* data = source->Data(i);
    if (!data && whole && !counting && len > 0) {
      uint8_t* all = whole->Alloc(len);
      if (!source->Read(i, 0, len, all)) throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_YES);
      data = all;
    }
    if (data) {
      if (len > 0) s.put_octet_array(data, static_cast<int>(len));
    } else {
      for (size_t at = 0; at < len; at += kChunkPieceBytes) {
        const size_t n = std::min(kChunkPieceBytes, len - at);
        // A counting pass (GIOP 1.0 sizes a message before writing it) only adds up lengths.
        // A read that fails here cannot change the result, which is on its way already: the
        // reply must not complete as a success with data that is not the file's. The exception
        // makes the ORB close the connection; the client's call fails, and it gives the
        // download up (its temporary file removed).
        if (!counting && !source->Read(i, at, n, piece)) {
          throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_YES);
        }
        s.put_octet_array(piece, static_cast<int>(n));
      }
    }
  }
  static_cast<CORBA::Long>(c.bufNo) >>= s;
  s.marshalBoolean(c.nextBuf);
  static_cast<Number>(c.bufPos) >>= s;
  static_cast<CORBA::Long>(c.bufUnitSize) >>= s;
}

template <class Number, class Chunks>
void WriteReply(cdrStream& s, CORBA::Long result, const Chunks& chunks, CORBA::Long index,
                ChunkSource* source, CORBA::Octet* piece, ChunkArena* whole) {
  const bool counting = IsCountingStream(s);
  result >>= s;
  const CORBA::ULong n = chunks.length();
  n >>= s;
  for (CORBA::ULong i = 0; i < n; ++i)
    WriteChunk<Number>(s, chunks[i], source, i, piece, counting, whole);
  index >>= s;
}

// zkFileDownload / zkFileDownload64 with the data of its large chunks read from their files
// piece by piece while the reply is written: the reading overlaps the sending, and the data
// passes through one piece of memory that stays in the processor's cache.
template <class Number, class Chunks>
class DownloadCall : public OwnCall {
 public:
  DownloadCall(ZKmdImpl* impl, ChunkArena* arena)
      : impl_(impl), arena_(arena), source_(arena, kChunkPieceBytes) {}

  void ReadArguments(cdrStream& s) override {
    user_ = s.unmarshalString(0);
    ReadChunks(s, arena_, &chunks_);
    index_ <<= s;
  }
  void Run(_impl_ZKmd*) override { result_ = Open(); }
  void WriteResults(cdrStream& s) override {
    const bool counting = IsCountingStream(s);
    if (!piece_ && !counting) piece_ = arena_->Alloc(kChunkPieceBytes);
    // A message sized before it is sent takes each chunk's data whole (SizedBeforeSending).
    WriteDownloadReply(s, result_, chunks_, index_, &source_, piece_,
                       SizedBeforeSending(s) ? arena_ : nullptr);
  }

 private:
  CORBA::Long Open();

  ZKmdImpl* impl_;
  ChunkArena* arena_;
  ChunkSource source_;
  CORBA::Octet* piece_ = nullptr;
  CORBA::String_var user_;
  Chunks chunks_;
  CORBA::Long index_ = 0;
  CORBA::Long result_ = 0;
};

template <>
CORBA::Long DownloadCall<CORBA::Long, ZKmd::zkSeqFileBuf>::Open() {
  return OpenDownload(impl_, "zkFileDownload", user_.in(), chunks_, &index_, &source_);
}

template <>
CORBA::Long DownloadCall<CORBA::LongLong, ZKmd::zkSeqFileBuf64>::Open() {
  return OpenDownload(impl_, "zkFileDownload64", user_.in(), chunks_, &index_, &source_);
}

}  // namespace

void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece,
                        ChunkArena* whole) {
  WriteReply<CORBA::Long>(s, result, chunks, index, source, piece, whole);
}

void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece,
                        ChunkArena* whole) {
  WriteReply<CORBA::LongLong>(s, result, chunks, index, source, piece, whole);
}

CORBA::Long StoreUploadRequest(cdrStream& s, ZKmdImpl* servant, CORBA::Long* index) {
  ChunkArena arena(&servant->state()->chunk_pool);
  UploadCall call(servant, &arena);
  call.ReadArguments(s);
  call.Run(servant);
  *index = call.index();
  return call.result();
}

bool IsChunkCall(const char* operation) {
  return std::strcmp(operation, "zkFileUpload") == 0 ||
         std::strcmp(operation, "zkFileDownload") == 0 ||
         std::strcmp(operation, "zkFileDownload64") == 0;
}

CORBA::Boolean ServeChunkCall(IncomingRequest& request, ZKmdImpl* servant) {
  const char* operation = request.Operation();
  // The arena outlives the call descriptor, whose sequences point into it, and the reply, which
  // is written before the upcall returns.
  ChunkArena arena(&servant->state()->chunk_pool);
  if (std::strcmp(operation, "zkFileUpload") == 0) {
    UploadCall call(servant, &arena);
    request.Serve(call);
    return true;
  }
  if (std::strcmp(operation, "zkFileDownload") == 0) {
    DownloadCall<CORBA::Long, ZKmd::zkSeqFileBuf> call(servant, &arena);
    request.Serve(call);
    return true;
  }
  if (std::strcmp(operation, "zkFileDownload64") == 0) {
    DownloadCall<CORBA::LongLong, ZKmd::zkSeqFileBuf64> call(servant, &arena);
    request.Serve(call);
    return true;
  }
  return request.ServeAsGenerated();
}

}  // namespace zk
