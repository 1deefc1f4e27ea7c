// Reading and writing a chunk's fields other than its data.
#include "idl/chunk_layout.h"

#include "idl/omniorb/calls.h"

namespace zk {

CORBA::ULong ReadDataLength(cdrStream& s) {
  CORBA::ULong len;
  len <<= s;
  if (!s.checkInputOverrun(1, len)) _CORBA_marshal_sequence_range_check_error(s);
  return len;
}

void ChunkFieldReader::Text(ChunkField, CORBA::String_member& t) { t = s_.unmarshalString(0); }
void ChunkFieldReader::Integer(ChunkField, CORBA::Long& v) { v <<= s_; }
void ChunkFieldReader::Integer(ChunkField, CORBA::LongLong& v) { v <<= s_; }
void ChunkFieldReader::Boolean(ChunkField, CORBA::Boolean& b) { b = s_.unmarshalBoolean(); }

void ChunkFieldWriter::Text(ChunkField, const CORBA::String_member& t) {
  s_.marshalString(t.in(), 0);
}
void ChunkFieldWriter::Integer(ChunkField, CORBA::Long v) { v >>= s_; }
void ChunkFieldWriter::Integer(ChunkField, CORBA::LongLong v) { v >>= s_; }
void ChunkFieldWriter::Boolean(ChunkField, CORBA::Boolean b) { s_.marshalBoolean(b); }

}  // namespace zk
