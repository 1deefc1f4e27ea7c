// Reading chunk sequences into an arena.
#include "idl/chunk_wire.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/callDescriptor.h>

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

class Download64Call : public omniCallDescriptor {
 public:
  Download64Call(const char* user, ZKmd::zkSeqFileBuf64* batch, CORBA::Long* index,
                 ChunkArena* arena)
      : omniCallDescriptor(LocalCall, "zkFileDownload64", sizeof("zkFileDownload64"), 0, nullptr, 0,
                           0),
        user_(user),
        batch_(batch),
        index_(index),
        arena_(arena) {}

  void marshalArguments(cdrStream& s) override {
    s.marshalString(user_, 0);
    *batch_ >>= s;
    *index_ >>= s;
  }
  void unmarshalReturnedValues(cdrStream& s) override {
    result_ <<= s;
    ReadChunks(s, arena_, batch_);
    *index_ <<= s;
  }
  CORBA::Long result() const { return result_; }

 private:
  // A servant in this process: called directly, the data stays where the servant put it.
  static void LocalCall(omniCallDescriptor* cd, omniServant* servant) {
    Download64Call* call = static_cast<Download64Call*>(cd);
    _impl_ZKmd* impl = static_cast<_impl_ZKmd*>(servant->_ptrToInterface(ZKmd::_PD_repoId));
    call->result_ = impl->zkFileDownload64(call->user_, *call->batch_, *call->index_);
  }

  const char* user_;
  ZKmd::zkSeqFileBuf64* batch_;
  CORBA::Long* index_;
  ChunkArena* arena_;
  CORBA::Long result_ = 0;
};

}  // namespace

CORBA::Long DownloadInto(ZKmd_ptr server, const char* user, ZKmd::zkSeqFileBuf64* batch,
                         CORBA::Long* index, ChunkArena* arena) {
  Download64Call call(user, batch, index, arena);
  server->_invoke(call);
  return call.result();
}

void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf* chunks) {
  Read<CORBA::Long>(s, arena, chunks);
}

void ReadChunks(cdrStream& s, ChunkArena* arena, ZKmd::zkSeqFileBuf64* chunks) {
  Read<CORBA::LongLong>(s, arena, chunks);
}

}  // namespace zk
