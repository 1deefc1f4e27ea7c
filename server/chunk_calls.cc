// Chunk calls with their data in pooled memory.
#include "server/chunk_calls.h"

#include <algorithm>
#include <cstring>

#include "idl/chunk_wire.h"
#include "idl/omniorb/calls.h"
#include "server/transfer.h"
#include "server/uploads.h"
#include "server/server_state.h"
#include "server/wire_text.h"
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

// zkFileUpload with each chunk stored as it comes off the connection: the data of a large chunk
// is written into its file piece by piece (through one piece of pooled memory, so that receiving
// overlaps writing and the data stays in the processor's cache), a small one is read into the
// arena first. Each chunk is stored (ChunkStore) once its last field is read, so all the work is
// done here and the upcall only gives the result.
class UploadCall : public OwnCall {
 public:
  UploadCall(ZKmdImpl* impl, ChunkArena* arena) : impl_(impl), arena_(arena) {}

  void ReadArguments(cdrStream& s) override {
    // Every string passes the text boundary; the user id is checked before anything is written.
    WireRequest w("zkFileUpload");
    CORBA::String_var wire_user = s.unmarshalString(0);
    std::string user;
    UploadCaller caller;
    std::unique_ptr<FileSystem> area;
    bool texts = w.In("userId", wire_user.in(), &user);  // no string refused so far
    if (!texts || !impl_->OpenUploadArea(user.c_str(), &caller, &area)) Fail(0);
    ChunkStore store(area.get(), &impl_->state()->uploads, caller);
    CORBA::ULong n;
    n <<= s;
    if (!s.checkInputOverrun(1, n)) _CORBA_marshal_sequence_range_check_error(s);
    ZKmd::zkStrctFileBuf c;
    std::string path, name, upd, crt;
    for (CORBA::ULong i = 0; i < n; ++i) {
      CORBA::String_var wire_path = s.unmarshalString(0), wire_name = s.unmarshalString(0);
      CORBA::Long size;
      size <<= s;
      CORBA::String_var wire_upd = s.unmarshalString(0), wire_crt = s.unmarshalString(0);
      // The texts of each chunk up to the first one refused; a chunk after one that failed is
      // read and dropped.
      if (texts &&
          (!w.In("filePath", wire_path.in(), &path) || !w.In("fileNm", wire_name.in(), &name) ||
           !w.In("updDt", wire_upd.in(), &upd) || !w.In("crtDt", wire_crt.in(), &crt))) {
        texts = false;
        if (result_ == kTransferOk) Fail(i);
      }
      const bool store_it = result_ == kTransferOk;
      CORBA::ULong len;
      len <<= s;
      if (!s.checkInputOverrun(1, len)) _CORBA_marshal_sequence_range_check_error(s);
      const bool streamed = len > kChunkPieceBytes;
      if (store_it && streamed) {
        store.Receive(path.c_str(), name.c_str(), len);
        ReadPieces(s, len, &store);
      } else if (store_it && len > 0) {
        CORBA::Octet* data = arena_->Alloc(len);
        s.get_octet_array(data, static_cast<int>(len), omni::ALIGN_1);
        c.fileBuf.replace(len, len, data, false);
      } else {
        ReadPieces(s, len, nullptr);
        c.fileBuf.length(0);
      }
      static_cast<CORBA::Long&>(c.bufNo) <<= s;
      c.nextBuf = s.unmarshalBoolean();
      static_cast<CORBA::Long&>(c.bufPos) <<= s;
      static_cast<CORBA::Long&>(c.bufUnitSize) <<= s;
      if (!store_it) continue;
      c.filePath = path.c_str();
      c.fileNm = name.c_str();
      c.fileSize = size;
      c.updDt = upd.c_str();
      c.crtDt = crt.c_str();
      const CORBA::Long stored = streamed ? store.Received(c) : store.Store(c);
      c.fileBuf.length(0);
      if (stored != kTransferOk) {
        result_ = stored;
        index_ = static_cast<CORBA::Long>(i + 1);
      }
    }
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
    result_ >>= s;
    index_ >>= s;
  }
  CORBA::Long result() const { return result_; }
  CORBA::Long index() const { return index_; }

 private:

  // The chunk at position `i` (from 0) fails the batch: 20 there.
  void Fail(CORBA::ULong i) {
    result_ = kTransferFileFailed;
    index_ = static_cast<CORBA::Long>(i + 1);
  }

  // Reads `len` bytes of data piece by piece, into `store` (dropped when null).
  void ReadPieces(cdrStream& s, size_t len, ChunkStore* store) {
    if (len > 0 && !piece_) piece_ = arena_->Alloc(kChunkPieceBytes);
    for (size_t at = 0; at < len; at += kChunkPieceBytes) {
      const size_t k = std::min(kChunkPieceBytes, len - at);
      s.get_octet_array(piece_, static_cast<int>(k), omni::ALIGN_1);
      if (store) store->Piece(piece_, k);
    }
  }

  ZKmdImpl* impl_;
  ChunkArena* arena_;
  CORBA::Octet* piece_ = nullptr;
  CORBA::Long index_ = 0;
  CORBA::Long result_ = kTransferOk;
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
  return impl_->zkFileDownloadOpen(user_.in(), chunks_, index_, &source_);
}

template <>
CORBA::Long DownloadCall<CORBA::LongLong, ZKmd::zkSeqFileBuf64>::Open() {
  return impl_->zkFileDownload64Open(user_.in(), chunks_, index_, &source_);
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
  ArenaScope scope(&arena);
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

ChunkArena* CurrentChunkArena() { return current_arena; }

}  // namespace zk
