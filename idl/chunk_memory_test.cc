#include "idl/chunk_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "idl/chunk_wire.h"
#include "idl/omniorb/streams.h"

namespace zk {
namespace {

constexpr size_t kMiB = 1024 * 1024;

// Texts go through the ORB's code set converters, which the ORB sets up.
void InitOrb() {
  int argc = 1;
  char name[] = "chunk_memory_test";
  char* argv[] = {name, nullptr};
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
}

TEST(ChunkArenaTest, SlicesAreDisjointAlignedAndComeBackForTheNextBatch) {
  BlockPool pool(64 * kMiB);
  uint8_t* first = nullptr;
  {
    ChunkArena arena(&pool);
    EXPECT_EQ(arena.Alloc(0), nullptr);
    first = arena.Alloc(100);
    uint8_t* second = arena.Alloc(5000);
    uint8_t* big = arena.Alloc(3 * kMiB);  // beyond what is left of the first block
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 64, 0u);
    EXPECT_GE(second, first + 100);
    // Every byte of each slice is its own: writing one leaves the others alone.
    std::memset(first, 1, 100);
    std::memset(second, 2, 5000);
    std::memset(big, 3, 3 * kMiB);
    EXPECT_EQ(first[99], 1);
    EXPECT_EQ(second[0], 2);
    EXPECT_EQ(second[4999], 2);
    EXPECT_EQ(pool.free_bytes(), 0u);
  }
  const size_t held = pool.held_bytes();
  EXPECT_EQ(pool.free_bytes(), held);
  EXPECT_GE(held, 2 * kMinArenaBlock + 3 * kMiB - kMinArenaBlock);
  {
    // The next batch of the same size finds its memory in place: nothing new is held.
    ChunkArena arena(&pool);
    arena.Alloc(100);
    arena.Alloc(3 * kMiB);
    EXPECT_EQ(pool.held_bytes(), held);
  }
  EXPECT_EQ(pool.held_bytes(), held);
}

TEST(ChunkArenaTest, ResetGivesEverythingBack) {
  BlockPool pool(64 * kMiB);
  ChunkArena arena(&pool);
  uint8_t* a = arena.Alloc(10);
  arena.Reset();
  EXPECT_EQ(pool.free_bytes(), pool.held_bytes());
  EXPECT_EQ(arena.Alloc(10), a);  // the same block, from its start
}

TEST(BlockPoolTest, KeepsNoMoreThanItsShareAndTheBlockThatFitsFirst) {
  BlockPool pool(8 * kMiB);
  BlockPool::Block small = pool.Take(2 * kMiB);
  BlockPool::Block large = pool.Take(8 * kMiB);
  ASSERT_NE(small.data, nullptr);
  ASSERT_NE(large.data, nullptr);
  EXPECT_EQ(pool.held_bytes(), 10 * kMiB);
  pool.Give(large);
  pool.Give(small);  // beyond the 8 MiB to keep: the smaller block goes
  EXPECT_EQ(pool.held_bytes(), 8 * kMiB);
  EXPECT_EQ(pool.free_bytes(), 8 * kMiB);
  // A request the kept block fits takes it, however much smaller it is.
  BlockPool::Block again = pool.Take(1);
  EXPECT_EQ(again.data, large.data);
  pool.Give(again);
}

TEST(BlockPoolTest, ReleasesOnlyBlocksIdleLongEnough) {
  BlockPool pool(64 * kMiB);
  BlockPool::Block a = pool.Take(kMiB);
  pool.Give(a);
  const auto given = BlockPool::Clock::now();
  pool.ReleaseIdle(given, std::chrono::seconds(10));
  EXPECT_EQ(pool.held_bytes(), 2 * kMiB);
  pool.ReleaseIdle(given + std::chrono::seconds(11), std::chrono::seconds(10));
  EXPECT_EQ(pool.held_bytes(), 0u);
  EXPECT_EQ(pool.free_bytes(), 0u);
}

// What the generated code writes, read back by ReadChunks: every field in its place.
TEST(ReadChunksTest, ReadsWhatTheOrbWrites) {
  InitOrb();
  ZKmd::zkSeqFileBuf64 sent;
  sent.length(3);
  for (CORBA::ULong i = 0; i < sent.length(); ++i) {
    ZKmd::zkStrctFileBuf64& c = sent[i];
    c.filePath = ("dir\\" + std::to_string(i)).c_str();
    c.fileNm = ("name" + std::to_string(i)).c_str();
    c.fileSize = (5LL << 32) + i;
    c.updDt = "2024/01/02 03:04:05";
    c.crtDt = "2023/01/02 03:04:05";
    c.fileBuf.length(i == 1 ? 0 : 70000 + i);
    for (CORBA::ULong k = 0; k < c.fileBuf.length(); ++k) {
      c.fileBuf[k] = static_cast<CORBA::Octet>(k * 7 + i);
    }
    c.bufNo = static_cast<CORBA::Long>(i + 1);
    c.nextBuf = i != 2;
    c.bufPos = (3LL << 32) + 11 * i;
    c.bufUnitSize = static_cast<CORBA::Long>(1000 + i);
  }
  cdrMemoryStream stream;
  sent >>= stream;
  BlockPool pool(16 * kMiB);
  ChunkArena arena(&pool);
  ZKmd::zkSeqFileBuf64 got;
  ReadChunks(stream, &arena, &got);
  ASSERT_EQ(got.length(), sent.length());
  for (CORBA::ULong i = 0; i < got.length(); ++i) {
    const ZKmd::zkStrctFileBuf64& a = sent[i];
    const ZKmd::zkStrctFileBuf64& b = got[i];
    EXPECT_STREQ(b.filePath.in(), a.filePath.in());
    EXPECT_STREQ(b.fileNm.in(), a.fileNm.in());
    EXPECT_EQ(b.fileSize, a.fileSize);
    EXPECT_STREQ(b.updDt.in(), a.updDt.in());
    EXPECT_STREQ(b.crtDt.in(), a.crtDt.in());
    ASSERT_EQ(b.fileBuf.length(), a.fileBuf.length());
    if (a.fileBuf.length() > 0) {
      EXPECT_EQ(std::memcmp(b.fileBuf.get_buffer(), a.fileBuf.get_buffer(), a.fileBuf.length()), 0);
      EXPECT_FALSE(b.fileBuf.release());  // the arena's, not the sequence's
    }
    EXPECT_EQ(b.bufNo, a.bufNo);
    EXPECT_EQ(b.nextBuf, a.nextBuf);
    EXPECT_EQ(b.bufPos, a.bufPos);
    EXPECT_EQ(b.bufUnitSize, a.bufUnitSize);
  }

  // The 32-bit kind, whose fields have other sizes and alignments.
  ZKmd::zkSeqFileBuf narrow;
  narrow.length(1);
  narrow[0].filePath = "p";
  narrow[0].fileNm = "n";
  narrow[0].fileSize = 12345;
  narrow[0].updDt = "u";
  narrow[0].crtDt = "c";
  narrow[0].fileBuf.length(3);
  narrow[0].fileBuf[2] = 9;
  narrow[0].bufNo = 4;
  narrow[0].nextBuf = true;
  narrow[0].bufPos = 77;
  narrow[0].bufUnitSize = 3;
  cdrMemoryStream narrow_stream;
  narrow >>= narrow_stream;
  ZKmd::zkSeqFileBuf narrow_got;
  ReadChunks(narrow_stream, &arena, &narrow_got);
  ASSERT_EQ(narrow_got.length(), 1u);
  EXPECT_EQ(narrow_got[0].fileSize, 12345);
  EXPECT_EQ(narrow_got[0].fileBuf[2], 9);
  EXPECT_EQ(narrow_got[0].bufNo, 4);
  EXPECT_TRUE(narrow_got[0].nextBuf);
  EXPECT_EQ(narrow_got[0].bufPos, 77);
  EXPECT_EQ(narrow_got[0].bufUnitSize, 3);
}

// A length that the message cannot hold is refused before any memory is taken for it.
TEST(ReadChunksTest, RefusesLengthsBeyondTheMessage) {
  InitOrb();
  cdrMemoryStream stream;
  CORBA::ULong(1) >>= stream;  // one chunk
  stream.marshalString("p");
  stream.marshalString("n");
  CORBA::Long(0) >>= stream;
  stream.marshalString("u");
  stream.marshalString("c");
  CORBA::ULong(0x7fffffff) >>= stream;  // its data: 2 GiB announced, nothing follows
  BlockPool pool(16 * kMiB);
  ChunkArena arena(&pool);
  ZKmd::zkSeqFileBuf got;
  EXPECT_THROW(ReadChunks(stream, &arena, &got), CORBA::MARSHAL);
  EXPECT_EQ(pool.held_bytes(), 0u);
}

}  // namespace
}  // namespace zk
