// The chunk structs of ZKmd, zkStrctFileBuf and zkStrctFileBuf64, field by field in the order of
// the IDL. Every reader, writer and size bound of a chunk written by hand walks this one list, so
// none of them can put a field out of its place or count it differently:
//
//   struct Printer {  // any visitor has these four
//     void Text(ChunkField f, const CORBA::String_member& t);
//     template <class T> void Integer(ChunkField f, const T& v);  // CORBA::Long or LongLong
//     void Boolean(ChunkField f, CORBA::Boolean b);
//     void Data(ChunkField f, const ZKmd::DataBuffer& d);
//   };
//   VisitChunk(chunk, printer);
//
// The same walk over a ChunkShape (the texts and data as their lengths) gives a chunk's size on
// the wire.
#ifndef ZK_IDL_CHUNK_LAYOUT_H_
#define ZK_IDL_CHUNK_LAYOUT_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "idl/orb.h"

class cdrStream;

namespace zk {

enum class ChunkField {
  kFilePath,
  kFileNm,
  kFileSize,
  kUpdDt,
  kCrtDt,
  kFileBuf,
  kBufNo,
  kNextBuf,
  kBufPos,
  kBufUnitSize,
};

// Calls `v` for each field of `c` in the order of the IDL. An integer's C++ type is its wire
// type: fileSize and bufPos are 4 bytes in zkStrctFileBuf and 8 in zkStrctFileBuf64.
template <class Chunk, class Visitor>
void VisitChunk(Chunk& c, Visitor& v) {
  v.Text(ChunkField::kFilePath, c.filePath);
  v.Text(ChunkField::kFileNm, c.fileNm);
  v.Integer(ChunkField::kFileSize, c.fileSize);
  v.Text(ChunkField::kUpdDt, c.updDt);
  v.Text(ChunkField::kCrtDt, c.crtDt);
  v.Data(ChunkField::kFileBuf, c.fileBuf);
  v.Integer(ChunkField::kBufNo, c.bufNo);
  v.Boolean(ChunkField::kNextBuf, c.nextBuf);
  v.Integer(ChunkField::kBufPos, c.bufPos);
  v.Integer(ChunkField::kBufUnitSize, c.bufUnitSize);
}

// A chunk as its size on the wire sees it: each text as its length in bytes (without the
// terminator), the data as its length. `Number` is the type of fileSize and bufPos.
template <class Number>
struct ChunkShape {
  size_t filePath = 0;
  size_t fileNm = 0;
  Number fileSize = 0;
  size_t updDt = 0;
  size_t crtDt = 0;
  size_t fileBuf = 0;
  CORBA::Long bufNo = 0;
  CORBA::Boolean nextBuf = 0;
  Number bufPos = 0;
  CORBA::Long bufUnitSize = 0;
};

// The shape of a chunk of either struct, its texts and data as they are now.
template <class Chunk>
ChunkShape<std::remove_cv_t<decltype(Chunk::fileSize)>> ShapeOf(const Chunk& c) {
  ChunkShape<std::remove_cv_t<decltype(Chunk::fileSize)>> shape;
  shape.filePath = std::strlen(c.filePath.in());
  shape.fileNm = std::strlen(c.fileNm.in());
  shape.updDt = std::strlen(c.updDt.in());
  shape.crtDt = std::strlen(c.crtDt.in());
  shape.fileBuf = c.fileBuf.length();
  return shape;
}

namespace layout_detail {

// Where CDR puts each field, counted from an 8-byte boundary: a text or the data is a 4-byte
// length (aligned to 4) then its bytes (a text's with its terminator), an integer is aligned to
// its own size.
class Counter {
 public:
  explicit Counter(int64_t start) : at_(start) {}
  void Text(ChunkField, size_t len) { Length(len + 1); }
  template <class T>
  void Integer(ChunkField, T) {
    Align(sizeof(T));
    at_ += sizeof(T);
  }
  void Boolean(ChunkField, CORBA::Boolean) { at_ += 1; }
  void Data(ChunkField, size_t len) { Length(len); }
  int64_t at() const { return at_; }

 private:
  void Align(int64_t n) { at_ = (at_ + n - 1) / n * n; }
  void Length(size_t len) {
    Align(4);
    at_ += 4 + static_cast<int64_t>(len);
  }
  int64_t at_;
};

}  // namespace layout_detail

// The bytes a chunk of `shape` takes on the wire when it starts `start` bytes past an 8-byte
// boundary of the message (alignment within the chunk included).
template <class Number>
int64_t ChunkBytesAt(const ChunkShape<Number>& shape, int start) {
  layout_detail::Counter counter(start);
  VisitChunk(shape, counter);
  return counter.at() - start;
}

// The most a chunk of `shape` takes wherever it starts: its bound in a message of many chunks.
template <class Number>
int64_t MaxChunkBytes(const ChunkShape<Number>& shape) {
  int64_t most = 0;
  for (int start = 0; start < 8; ++start) most = std::max(most, ChunkBytesAt(shape, start));
  return most;
}

// Reads a data length from `s`: the ORB's MARSHAL exception for one the rest of the message
// cannot hold.
CORBA::ULong ReadDataLength(cdrStream& s);

// The fields other than the data, read from a stream into a chunk of either struct; a reader
// derives from it and reads the data its own way.
class ChunkFieldReader {
 public:
  explicit ChunkFieldReader(cdrStream& s) : s_(s) {}
  void Text(ChunkField, CORBA::String_member& t);
  void Integer(ChunkField, CORBA::Long& v);
  void Integer(ChunkField, CORBA::LongLong& v);
  void Boolean(ChunkField, CORBA::Boolean& b);

 protected:
  cdrStream& s_;
};

// The fields other than the data, written to a stream from a chunk of either struct.
class ChunkFieldWriter {
 public:
  explicit ChunkFieldWriter(cdrStream& s) : s_(s) {}
  void Text(ChunkField, const CORBA::String_member& t);
  void Integer(ChunkField, CORBA::Long v);
  void Integer(ChunkField, CORBA::LongLong v);
  void Boolean(ChunkField, CORBA::Boolean b);

 protected:
  cdrStream& s_;
};

}  // namespace zk

#endif  // ZK_IDL_CHUNK_LAYOUT_H_
