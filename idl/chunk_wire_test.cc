// The arguments of an upload request, written with the data of large chunks read from their
// source while they are written: byte for byte what the generated stub writes for the same chunks
// with their data in memory, in both byte orders; the counting pass counts the same bytes and
// reads nothing; a chunk whose source fails mid-way goes as zeros with the number 0.
#include "idl/chunk_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "idl/omniorb/streams.h"

namespace zk {
namespace {

void InitOrb() {
  int argc = 1;
  char name[] = "chunk_wire_test";
  char* argv[] = {name, nullptr};
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
}

// `len` bytes that differ from piece to piece and from place to place, for chunk `seed`.
std::string Pattern(size_t len, int seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 7 + i / 4093 + seed * 31) & 0xFF);
  return s;
}

// Streams the chunks whose lengths it holds (0: the data is in the chunk), failing reads of the
// chunks in `broken` from the second piece on; counts its reads.
class PatternSource : public UploadSource {
 public:
  explicit PatternSource(std::vector<size_t> lengths) : lengths_(std::move(lengths)) {}
  size_t StreamedLength(CORBA::ULong i) const override { return lengths_[i]; }
  int64_t Position(CORBA::ULong) const override { return 0; }
  bool Read(CORBA::ULong i, size_t offset, uint8_t* buf, size_t len) override {
    ++reads;
    if (broken.count(i) > 0 && offset > 0) return false;
    std::memcpy(buf, Pattern(lengths_[i], static_cast<int>(i)).data() + offset, len);
    return true;
  }
  std::set<CORBA::ULong> broken;
  int reads = 0;

 private:
  std::vector<size_t> lengths_;
};

ZKmd::zkStrctFileBuf Chunk(const char* name, CORBA::Long no, bool next, CORBA::Long pos) {
  ZKmd::zkStrctFileBuf c;
  c.filePath = "docs\\";
  c.fileNm = name;
  c.fileSize = 123456;
  c.updDt = "2024/05/06 07:08:09";
  c.crtDt = "2023/01/02 03:04:05";
  c.bufNo = no;
  c.nextBuf = next;
  c.bufPos = pos;
  c.bufUnitSize = 1000;
  return c;
}

// Streams zeroed before use, large enough never to grow, so that alignment bytes are zeros in
// both and the streams compare byte for byte.
constexpr CORBA::ULong kStreamBytes = 8 * 1024 * 1024;

std::string Bytes(cdrMemoryStream& s) {
  return std::string(static_cast<const char*>(s.bufPtr()), s.bufSize());
}

TEST(UploadRequestTest, IsWhatTheGeneratedStubWritesInBothByteOrders) {
  InitOrb();
  // A small chunk in memory, two streamed across the piece size, one streamed of exactly one
  // piece, an empty one, and one whose source fails after its first piece.
  const std::vector<size_t> streamed = {
      0, 2 * kChunkPieceBytes + 17, kChunkPieceBytes + 1, kChunkPieceBytes,
      0, kChunkPieceBytes + 5};
  ZKmd::zkSeqFileBuf batch;
  batch.length(static_cast<CORBA::ULong>(streamed.size()));
  const char* names[] = {"a.txt", "b.bin", "c.bin", "d.bin", "e.txt", "f.bin"};
  for (CORBA::ULong i = 0; i < batch.length(); ++i) {
    batch[i] = Chunk(names[i], static_cast<CORBA::Long>(i + 1), i % 2 == 0, 1000 * i);
  }
  const std::string small = "small data";
  batch[0].fileBuf.length(static_cast<CORBA::ULong>(small.size()));
  std::memcpy(batch[0].fileBuf.get_buffer(), small.data(), small.size());

  // What the generated stub writes for the chunks filled whole; the broken chunk as zeros after
  // its first piece, numbered 0.
  ZKmd::zkSeqFileBuf whole = batch;
  for (CORBA::ULong i = 1; i < whole.length(); ++i) {
    const std::string data = Pattern(streamed[i], static_cast<int>(i));
    whole[i].fileBuf.length(static_cast<CORBA::ULong>(data.size()));
    if (!data.empty()) std::memcpy(whole[i].fileBuf.get_buffer(), data.data(), data.size());
  }
  std::memset(whole[5].fileBuf.get_buffer() + kChunkPieceBytes, 0, 5);
  whole[5].bufNo = 0;

  std::set<std::string> orders;  // the request in each byte order
  for (bool little : {true, false}) {
    for (int start : {0, 3, 4}) {  // where the body starts past an 8-byte boundary
      cdrMemoryStream expected(kStreamBytes, 1);
      expected.setByteSwapFlag(little);
      for (int k = 0; k < start; ++k) expected.marshalOctet(0);
      expected.marshalString("user1", 0);
      whole >>= expected;
      CORBA::Long(7) >>= expected;

      PatternSource source(streamed);
      source.broken.insert(5);
      std::vector<uint8_t> piece(kChunkPieceBytes);
      cdrMemoryStream written(kStreamBytes, 1);
      written.setByteSwapFlag(little);
      for (int k = 0; k < start; ++k) written.marshalOctet(0);
      WriteUploadRequest(written, "user1", batch, 7, &source, piece.data());
      EXPECT_EQ(expected.bufSize(), written.bufSize()) << little;
      EXPECT_TRUE(Bytes(expected) == Bytes(written)) << "little endian: " << little << " " << start;
      if (start != 0) continue;
      orders.insert(Bytes(written));

      const int reads = source.reads;
      cdrCountingStream counted(written.TCS_C(), written.TCS_W(), 0);
      WriteUploadRequest(counted, "user1", batch, 7, &source, nullptr);
      EXPECT_EQ(written.bufSize(), counted.total());
      EXPECT_EQ(reads, source.reads);
    }
  }
  EXPECT_EQ(2u, orders.size());
}

}  // namespace
}  // namespace zk
