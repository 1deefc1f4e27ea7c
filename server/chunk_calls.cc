// Chunk calls with their data in pooled memory.
#include "server/chunk_calls.h"

#include <omniORB4/callDescriptor.h>
#include <omniORB4/callHandle.h>

#include <algorithm>
#include <cstring>

#include "idl/chunk_wire.h"
#include "server/transfer.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

thread_local ChunkArena* current_arena = nullptr;

// The arena of the call on this thread for as long as it lives.
class ArenaScope {
 public:
  explicit ArenaScope(ChunkArena* arena) : previous_(current_arena) { current_arena = arena; }
  ~ArenaScope() { current_arena = previous_; }
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;

 private:
  ChunkArena* previous_;
};

// zkFileUpload with its chunks' data read into the arena.
class UploadCall : public omniCallDescriptor {
 public:
  explicit UploadCall(ChunkArena* arena)
      : omniCallDescriptor(Upcall, "zkFileUpload", sizeof("zkFileUpload"), 0, nullptr, 0, 1),
        arena_(arena) {}

  void unmarshalArguments(cdrStream& s) override {
    user_ = s.unmarshalString(0);
    ReadChunks(s, arena_, &chunks_);
    index_ <<= s;
  }
  void marshalReturnedValues(cdrStream& s) override {
    result_ >>= s;
    index_ >>= s;
  }

 private:
  static void Upcall(omniCallDescriptor* cd, omniServant* servant) {
    UploadCall* call = static_cast<UploadCall*>(cd);
    _impl_ZKmd* impl = static_cast<_impl_ZKmd*>(servant->_ptrToInterface(ZKmd::_PD_repoId));
    call->result_ = impl->zkFileUpload(call->user_.in(), call->chunks_, call->index_);
    // The data is stored: its blocks go back before the reply lets the client send the next
    // batch, which another thread of the connection may read at once (and would otherwise get
    // blocks of its own).
    call->arena_->Reset();
  }

  ChunkArena* arena_;
  CORBA::String_var user_;
  ZKmd::zkSeqFileBuf chunks_;
  CORBA::Long index_ = 0;
  CORBA::Long result_ = 0;
};

// The fields of a download reply's chunk as the generated code marshals them, its data from
// `source` (chunk `i`) or, for a chunk the source does not describe, its own.
template <class Number, class Chunk>
void WriteChunk(cdrStream& s, const Chunk& c, ChunkSource* source, CORBA::ULong i,
                CORBA::Octet* piece, bool counting) {
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
    if (const uint8_t* data = source->Data(i)) {
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
                ChunkSource* source, CORBA::Octet* piece) {
  const bool counting = cdrCountingStream::downcast(&s) != nullptr;
  result >>= s;
  const CORBA::ULong n = chunks.length();
  n >>= s;
  for (CORBA::ULong i = 0; i < n; ++i) WriteChunk<Number>(s, chunks[i], source, i, piece, counting);
  index >>= s;
}

// zkFileDownload / zkFileDownload64 with the data of its large chunks read from their files
// piece by piece while the reply is written: the reading overlaps the sending, and the data
// passes through one piece of memory that stays in the processor's cache.
template <class Number, class Chunks>
class DownloadCall : public omniCallDescriptor {
 public:
  DownloadCall(const char* operation, ZKmdImpl* impl, ChunkArena* arena)
      : omniCallDescriptor(Upcall, operation, static_cast<int>(std::strlen(operation) + 1), 0,
                           nullptr, 0, 1),
        impl_(impl),
        arena_(arena),
        source_(arena, kChunkPieceBytes) {}

  void unmarshalArguments(cdrStream& s) override {
    user_ = s.unmarshalString(0);
    ReadChunks(s, arena_, &chunks_);
    index_ <<= s;
  }
  void marshalReturnedValues(cdrStream& s) override {
    if (!piece_ && !cdrCountingStream::downcast(&s)) piece_ = arena_->Alloc(kChunkPieceBytes);
    WriteDownloadReply(s, result_, chunks_, index_, &source_, piece_);
  }

 private:
  static void Upcall(omniCallDescriptor* cd, omniServant*) {
    DownloadCall* call = static_cast<DownloadCall*>(cd);
    call->result_ = call->Open();
  }
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
  return impl_->zkFileDownloadOpen(user_.in(), chunks_, index_, &source_);
}

template <>
CORBA::Long DownloadCall<CORBA::LongLong, ZKmd::zkSeqFileBuf64>::Open() {
  return impl_->zkFileDownload64Open(user_.in(), chunks_, index_, &source_);
}

}  // namespace

void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece) {
  WriteReply<CORBA::Long>(s, result, chunks, index, source, piece);
}

void WriteDownloadReply(cdrStream& s, CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks,
                        CORBA::Long index, ChunkSource* source, CORBA::Octet* piece) {
  WriteReply<CORBA::LongLong>(s, result, chunks, index, source, piece);
}

BlockPool& ServerChunkPool() {
  static BlockPool* pool = new BlockPool(kKeptChunkBytes);  // outlives the ORB's last thread
  return *pool;
}

bool IsChunkCall(const char* operation) {
  return std::strcmp(operation, "zkFileUpload") == 0 ||
         std::strcmp(operation, "zkFileDownload") == 0 ||
         std::strcmp(operation, "zkFileDownload64") == 0;
}

CORBA::Boolean ServeChunkCall(omniCallHandle& handle, ZKmdImpl* servant, const char* operation) {
  // The arena outlives the call descriptor, whose sequences point into it, and the reply, which
  // is written before the upcall returns.
  ChunkArena arena(&ServerChunkPool());
  ArenaScope scope(&arena);
  if (std::strcmp(operation, "zkFileUpload") == 0) {
    UploadCall call(&arena);
    handle.upcall(servant, call);
    return true;
  }
  if (std::strcmp(operation, "zkFileDownload") == 0) {
    DownloadCall<CORBA::Long, ZKmd::zkSeqFileBuf> call("zkFileDownload", servant, &arena);
    handle.upcall(servant, call);
    return true;
  }
  if (std::strcmp(operation, "zkFileDownload64") == 0) {
    DownloadCall<CORBA::LongLong, ZKmd::zkSeqFileBuf64> call("zkFileDownload64", servant, &arena);
    handle.upcall(servant, call);
    return true;
  }
  return servant->POA_ZKmd::_dispatch(handle);
}

ChunkArena* CurrentChunkArena() { return current_arena; }

}  // namespace zk
