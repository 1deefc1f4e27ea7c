// The one description of a chunk against what omniidl's generated code does with the same
// values: its sizes wherever a chunk starts, and the hand-written readers, which must take every
// field from its place in either byte order and at any alignment of the message body (GIOP 1.0
// bodies start anywhere, GIOP 1.2 bodies on 8 bytes).
#include "idl/chunk_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idl/chunk_wire.h"
#include "idl/omniorb/streams.h"

namespace zk {
namespace {

void InitOrb() {  // texts go through the ORB's code set converters
  int argc = 1;
  char name[] = "chunk_layout_test";
  char* argv[] = {name, nullptr};
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
}

// A chunk whose fields all differ, so that one read from another's place shows.
template <class Chunk>
Chunk Sample(size_t text, size_t data, int seed) {
  Chunk c;
  c.filePath = std::string(text, 'p').c_str();
  c.fileNm = (std::string(text + 1, 'n') + std::to_string(seed)).c_str();
  c.fileSize =
      static_cast<decltype(c.fileSize)>(sizeof(c.fileSize) == 8 ? (5LL << 33) + seed : 77 + seed);
  c.updDt = std::string(text % 3, 'u').c_str();
  c.crtDt = "2023/01/02 03:04:05";
  c.fileBuf.length(static_cast<CORBA::ULong>(data));
  for (size_t i = 0; i < data; ++i)
    c.fileBuf[static_cast<CORBA::ULong>(i)] = static_cast<CORBA::Octet>(i * 13 + seed);
  c.bufNo = 3 + seed;
  c.nextBuf = seed % 2;
  c.bufPos =
      static_cast<decltype(c.bufPos)>(sizeof(c.bufPos) == 8 ? (3LL << 32) + seed : 4096 + seed);
  c.bufUnitSize = 1000 + seed;
  return c;
}

template <class Chunks>
Chunks Batch(int seed) {
  Chunks chunks;
  const size_t texts[] = {0, 1, 2, 3, 6};
  const size_t datas[] = {0, 1, 5, 4, 3};
  chunks.length(5);
  for (CORBA::ULong i = 0; i < 5; ++i) {
    chunks[i] = Sample<std::remove_reference_t<decltype(chunks[i])>>(texts[i], datas[i],
                                                                     seed + static_cast<int>(i));
  }
  return chunks;
}

// A stream in one byte order with `start` bytes before what is written, zeroed so that two
// streams compare byte for byte.
struct Stream {
  Stream(bool little, int start) : s(64 * 1024, 1) {
    s.setByteSwapFlag(little);
    for (int k = 0; k < start; ++k) s.marshalOctet(0);
  }
  std::string bytes() { return std::string(static_cast<const char*>(s.bufPtr()), s.bufSize()); }
  cdrMemoryStream s;
};

template <class Chunk>
void ExpectSizesAtEveryStart() {
  for (int start = 0; start < 8; ++start) {
    for (size_t text : {0, 1, 2, 3, 4, 7}) {
      for (size_t data : {0, 1, 2, 3, 4, 9}) {
        const Chunk c = Sample<Chunk>(text, data, 1);
        Stream out(true, start);
        c >>= out.s;
        const int64_t written = out.s.bufSize() - start;
        EXPECT_EQ(written, ChunkBytesAt(ShapeOf(c), start)) << start << " " << text << " " << data;
        EXPECT_LE(written, MaxChunkBytes(ShapeOf(c)));
      }
    }
  }
}

TEST(ChunkLayoutTest, SizesAreWhatTheGeneratedCodeWritesWhereverAChunkStarts) {
  InitOrb();
  ExpectSizesAtEveryStart<ZKmd::zkStrctFileBuf>();
  ExpectSizesAtEveryStart<ZKmd::zkStrctFileBuf64>();
  // The bound is reached at some start: it is no larger than it must be.
  const auto c = Sample<ZKmd::zkStrctFileBuf64>(2, 3, 0);
  int64_t most = 0;
  for (int start = 0; start < 8; ++start) {
    Stream out(false, start);
    c >>= out.s;
    most = std::max<int64_t>(most, out.s.bufSize() - start);
  }
  EXPECT_EQ(most, MaxChunkBytes(ShapeOf(c)));
}

template <class Chunks>
void ExpectChunksReadBack() {
  for (bool little : {true, false}) {
    for (int start = 0; start < 8; ++start) {
      const Chunks sent = Batch<Chunks>(start);
      Stream in(little, start);
      sent >>= in.s;
      in.s.rewindInputPtr();
      for (int k = 0; k < start; ++k) in.s.unmarshalOctet();
      BlockPool pool(1 << 20);
      ChunkArena arena(&pool);
      Chunks read;
      ReadChunks(in.s, &arena, &read);
      EXPECT_FALSE(in.s.checkInputOverrun(1, 1)) << "all of it read";
      Stream again(little, start);
      read >>= again.s;
      EXPECT_TRUE(in.bytes() == again.bytes()) << little << " " << start;
    }
  }
}

TEST(ChunkLayoutTest, ChunkSequencesReadIntoAnArenaAreTheChunksSent) {
  InitOrb();
  ExpectChunksReadBack<ZKmd::zkSeqFileBuf>();
  ExpectChunksReadBack<ZKmd::zkSeqFileBuf64>();
}

// Writes down what a sink is given, in order.
class RecordingSink : public ChunkSink {
 public:
  void Begin(CORBA::Long result, CORBA::ULong count) override {
    log += "begin " + std::to_string(result) + " " + std::to_string(count) + "\n";
  }
  bool ChunkStart(CORBA::ULong i, int64_t file_size, const char* upd, const char* crt,
                  size_t len) override {
    log += "chunk " + std::to_string(i) + " " + std::to_string(file_size) + " " + upd + " " + crt +
           " " + std::to_string(len) + "\n";
    return true;
  }
  bool Piece(size_t offset, const uint8_t* data, size_t len) override {
    log += "piece " + std::to_string(offset) + " " +
           std::string(reinterpret_cast<const char*>(data), len) + "\n";
    return true;
  }
  void ChunkEnd() override { log += "end\n"; }
  std::string log;
};

TEST(ChunkLayoutTest, ADownloadReplyReadAsItComesIsTheReplyTheGeneratedCodeWrote) {
  InitOrb();
  for (bool little : {true, false}) {
    for (int start = 0; start < 8; ++start) {
      const auto chunks = Batch<ZKmd::zkSeqFileBuf64>(start);
      Stream in(little, start);
      CORBA::Long(20) >>= in.s;
      chunks >>= in.s;
      CORBA::Long(4) >>= in.s;
      in.s.rewindInputPtr();
      for (int k = 0; k < start; ++k) in.s.unmarshalOctet();
      RecordingSink read, fed;
      std::vector<uint8_t> piece(kChunkPieceBytes);
      CORBA::Long index = 0;
      EXPECT_EQ(20, ReadDownloadReply(in.s, &read, piece.data(), &index));
      EXPECT_EQ(4, index) << little << " " << start;
      FeedChunks(20, chunks, &fed);
      EXPECT_EQ(fed.log, read.log) << little << " " << start;
    }
  }
}

}  // namespace
}  // namespace zk
