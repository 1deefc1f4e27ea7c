// Reading chunk sequences into an arena.
#include "idl/chunk_wire.h"


#include <algorithm>
#include <cstring>
#include <vector>

#include "idl/omniorb/calls.h"

namespace zk {
namespace {

void ReadData(cdrStream& s, ChunkArena* arena, ZKmd::DataBuffer* data) {
  CORBA::ULong len;
  len <<= s;
  if (!s.checkInputOverrun(1, len)) _CORBA_marshal_sequence_range_check_error(s);
  if (len == 0) {
    data->length(0);
    return;
  }
  CORBA::Octet* buf = arena->Alloc(len);
  s.get_octet_array(buf, static_cast<int>(len), omni::ALIGN_1);
  data->replace(len, len, buf, false);
}

// The fields in the order of the IDL; Number is the type of fileSize and bufPos.
template <class Number, class Chunk>
void ReadChunk(cdrStream& s, ChunkArena* arena, Chunk* c) {
  c->filePath = s.unmarshalString(0);
  c->fileNm = s.unmarshalString(0);
  static_cast<Number&>(c->fileSize) <<= s;
  c->updDt = s.unmarshalString(0);
  c->crtDt = s.unmarshalString(0);
  ReadData(s, arena, &c->fileBuf);
  static_cast<CORBA::Long&>(c->bufNo) <<= s;
  c->nextBuf = s.unmarshalBoolean();
  static_cast<Number&>(c->bufPos) <<= s;
  static_cast<CORBA::Long&>(c->bufUnitSize) <<= s;
}

template <class Number, class Chunks>
void Read(cdrStream& s, ChunkArena* arena, Chunks* chunks) {
  CORBA::ULong n;
  n <<= s;
  if (!s.checkInputOverrun(1, n)) _CORBA_marshal_sequence_range_check_error(s);
  chunks->length(n);
  for (CORBA::ULong i = 0; i < n; ++i) ReadChunk<Number>(s, arena, &(*chunks)[i]);
}

// Reads one chunk of a download reply into `sink`, its data through `piece`.
template <class Number>
void SinkChunk(cdrStream& s, CORBA::ULong i, ChunkSink* sink, uint8_t* piece) {
  CORBA::String_var skip = s.unmarshalString(0);  // filePath
  skip = s.unmarshalString(0);                    // fileNm
  Number file_size;
  file_size <<= s;
  CORBA::String_var upd = s.unmarshalString(0), crt = s.unmarshalString(0);
  CORBA::ULong len;
  len <<= s;
  if (!s.checkInputOverrun(1, len)) _CORBA_marshal_sequence_range_check_error(s);
  bool wanted = sink->ChunkStart(i, file_size, upd.in(), crt.in(), len);
  for (size_t done = 0; done < len;) {
    const size_t n = std::min<size_t>(len - done, kChunkPieceBytes);
    s.get_octet_array(piece, static_cast<int>(n), omni::ALIGN_1);
    if (wanted) wanted = sink->Piece(done, piece, n);
    done += n;
  }
  sink->ChunkEnd();
  CORBA::Long no;
  no <<= s;  // bufNo
  s.unmarshalBoolean();
  Number pos;
  pos <<= s;
  no <<= s;  // bufUnitSize
}

template <class Chunks>
void Feed(CORBA::Long result, const Chunks& chunks, ChunkSink* sink, size_t piece) {
  sink->Begin(result, chunks.length());
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const auto& c = chunks[i];
    const size_t len = c.fileBuf.length();
    bool wanted = sink->ChunkStart(i, c.fileSize, c.updDt.in(), c.crtDt.in(), len);
    for (size_t done = 0; wanted && done < len; done += piece) {
      wanted = sink->Piece(done, c.fileBuf.get_buffer() + done, std::min(piece, len - done));
    }
    sink->ChunkEnd();
  }
}

class Download64Call : public OwnCall {
 public:
  Download64Call(const char* user, const ZKmd::zkSeqFileBuf64& requests, ChunkSink* sink,
                 uint8_t* piece)
      : user_(user), requests_(requests), sink_(sink), piece_(piece) {}

  void WriteArguments(cdrStream& s) override {
    s.marshalString(user_, 0);
    requests_ >>= s;
    index_ >>= s;
  }
  void ReadResults(cdrStream& s) override {
    result_ <<= s;
    CORBA::ULong n;
    n <<= s;
    if (!s.checkInputOverrun(1, n)) _CORBA_marshal_sequence_range_check_error(s);
    sink_->Begin(result_, n);
    for (CORBA::ULong i = 0; i < n; ++i) SinkChunk<CORBA::LongLong>(s, i, sink_, piece_);
    index_ <<= s;
  }
  // A servant in this process: called directly, its reply fed to the sink from memory.
  void Run(_impl_ZKmd* servant) override {
    ZKmd::zkSeqFileBuf64 reply = requests_;
    result_ = servant->zkFileDownload64(user_, reply, index_);
    FeedChunks(result_, reply, sink_);
  }
  CORBA::Long result() const { return result_; }
  CORBA::Long index() const { return index_; }

 private:
  const char* user_;
  const ZKmd::zkSeqFileBuf64& requests_;
  ChunkSink* sink_;
  uint8_t* piece_;
  CORBA::Long result_ = 0;
  CORBA::Long index_ = 0;
};

// Reads all `len` bytes of chunk `i` of `source` into `buf`, piece by piece; after a read that
// fails, the rest is zeros and the result false.
bool ReadWhole(UploadSource* source, CORBA::ULong i, size_t len, uint8_t* buf) {
  for (size_t done = 0; done < len; done += kChunkPieceBytes) {
    const size_t n = std::min(len - done, kChunkPieceBytes);
    if (!source->Read(i, done, buf + done, n)) {
      std::memset(buf + done, 0, len - done);
      return false;
    }
  }
  return true;
}

// Writes `c`, whose `len` bytes of data `source` reads, as the ORB would write the chunk with that
// data. A counting stream (GIOP 1.0 sizes a request before sending it) only counts: nothing is
// read for it, and it counts the same bytes as the sending pass.
void PutStreamedChunk(cdrStream& s, const ZKmd::zkStrctFileBuf& c, CORBA::ULong i, size_t len,
                      UploadSource* source, uint8_t* piece) {
  const bool counting = IsCountingStream(s);
  s.marshalString(c.filePath.in(), 0);
  s.marshalString(c.fileNm.in(), 0);
  c.fileSize >>= s;
  s.marshalString(c.updDt.in(), 0);
  s.marshalString(c.crtDt.in(), 0);
  static_cast<CORBA::ULong>(len) >>= s;
  bool readable = true;
  if (!counting && SizedBeforeSending(s)) {
    // The data with one call (idl/omniorb/streams.h), read whole first.
    std::vector<uint8_t> whole(len);
    readable = ReadWhole(source, i, len, whole.data());
    s.put_octet_array(whole.data(), static_cast<int>(len), omni::ALIGN_1);
  } else {
    for (size_t done = 0; done < len;) {
      const size_t n = std::min(len - done, kChunkPieceBytes);
      if (!counting && readable) readable = source->Read(i, done, piece, n);
      if (!counting && !readable) std::memset(piece, 0, n);
      s.put_octet_array(piece, static_cast<int>(n), omni::ALIGN_1);
      done += n;
    }
  }
  // The number follows the data: a chunk whose file failed mid-way is marked as one no server
  // takes.
  (readable ? c.bufNo : CORBA::Long{0}) >>= s;
  s.marshalBoolean(c.nextBuf);
  c.bufPos >>= s;
  c.bufUnitSize >>= s;
}

class UploadCall : public OwnCall {
 public:
  UploadCall(const char* user, const ZKmd::zkSeqFileBuf& batch, CORBA::Long index,
             UploadSource* source, uint8_t* piece)
      : user_(user), batch_(batch), index_(index), source_(source), piece_(piece) {}

  void WriteArguments(cdrStream& s) override {
    WriteUploadRequest(s, user_, batch_, index_, source_, piece_);
  }
  void ReadResults(cdrStream& s) override {
    result_ <<= s;
    index_ <<= s;
  }
  // A servant in this process: called directly with every chunk's data in memory.
  void Run(_impl_ZKmd* servant) override {
    const ZKmd::zkSeqFileBuf& batch = batch_;
    ZKmd::zkSeqFileBuf whole(batch.length());
    whole.length(batch.length());
    for (CORBA::ULong i = 0; i < batch.length(); ++i) {
      ZKmd::zkStrctFileBuf& c = whole[i];
      BorrowChunk(batch[i], &c);
      const size_t len = source_->StreamedLength(i);
      if (len == 0) continue;
      // A streamed chunk: its data is read here.
      const CORBA::ULong n32 = static_cast<CORBA::ULong>(len);
      c.fileBuf.length(n32);
      if (!ReadWhole(source_, i, len, c.fileBuf.get_buffer())) c.bufNo = 0;
    }
    result_ = servant->zkFileUpload(user_, whole, index_);
  }
  CORBA::Long result() const { return result_; }
  CORBA::Long index() const { return index_; }

 private:

  const char* user_;
  const ZKmd::zkSeqFileBuf& batch_;
  CORBA::Long index_;
  UploadSource* source_;
  uint8_t* piece_;
  CORBA::Long result_ = 0;
};

}  // namespace

void WriteUploadRequest(cdrStream& s, const char* user, const ZKmd::zkSeqFileBuf& batch,
                        CORBA::Long index, UploadSource* source, uint8_t* piece) {
  s.marshalString(user, 0);
  const CORBA::ULong n = batch.length();
  n >>= s;
  for (CORBA::ULong i = 0; i < n; ++i) {
    const size_t len = source->StreamedLength(i);
    if (len == 0) {
      batch[i] >>= s;
    } else {
      PutStreamedChunk(s, batch[i], i, len, source, piece);
    }
  }
  index >>= s;
}

CORBA::Long UploadFrom(ZKmd_ptr server, const char* user, const ZKmd::zkSeqFileBuf& batch,
                       CORBA::Long* index, UploadSource* source, uint8_t* piece) {
  UploadCall call(user, batch, *index, source, piece);
  Invoke(server, "zkFileUpload", call);
  *index = call.index();
  return call.result();
}

void FeedChunks(CORBA::Long result, const ZKmd::zkSeqFileBuf64& chunks, ChunkSink* sink,
                size_t piece) {
  Feed(result, chunks, sink, piece);
}

void FeedChunks(CORBA::Long result, const ZKmd::zkSeqFileBuf& chunks, ChunkSink* sink,
                size_t piece) {
  Feed(result, chunks, sink, piece);
}

CORBA::Long DownloadTo(ZKmd_ptr server, const char* user, const ZKmd::zkSeqFileBuf64& requests,
                       CORBA::Long* index, ChunkSink* sink, uint8_t* piece) {
  Download64Call call(user, requests, sink, piece);
  Invoke(server, "zkFileDownload64", call);
  *index = call.index();
  return call.result();
}

void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf* chunks) {
  Read<CORBA::Long>(s, arena, chunks);
}

void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf64* chunks) {
  Read<CORBA::LongLong>(s, arena, chunks);
}

}  // namespace zk
