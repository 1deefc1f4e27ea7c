// The download reply written while its large chunks are read from their files: byte for byte the
// reply the generated code writes for the same chunks filled whole, whatever the sizes; a
// counting pass reads nothing and counts what is written; a read that fails once the reply has
// begun does not let it complete.
#include "server/chunk_calls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "idl/omniorb/streams.h"
#include "platform/fs_memory.h"
#include "server/transfer.h"

namespace zk {
namespace {

// A file system in memory whose reads can be made to fail, and that counts them.
class FlakyFileSystem : public MemoryFileSystem {
 public:
  using MemoryFileSystem::Open;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode, FsStatus* status) override {
    std::unique_ptr<File> file = MemoryFileSystem::Open(path, mode, status);
    return file ? std::unique_ptr<File>(new FlakyFile(this, std::move(file))) : nullptr;
  }
  bool fail = false;
  int reads = 0;

 private:
  class FlakyFile : public File {
   public:
    FlakyFile(FlakyFileSystem* fs, std::unique_ptr<File> file) : fs_(fs), file_(std::move(file)) {}
    FsStatus Stat(DirEntry* out) override { return file_->Stat(out); }
    FsStatus ReadAt(int64_t offset, size_t len, void* buf, size_t* got) override {
      ++fs_->reads;
      if (fs_->fail) return FsStatus::Failed(FsError::kOther);
      return file_->ReadAt(offset, len, buf, got);
    }
    FsStatus WriteAt(int64_t offset, const void* data, size_t len) override {
      return file_->WriteAt(offset, data, len);
    }
    FsStatus Close() override { return file_->Close(); }
    FsStatus Lock() override { return file_->Lock(); }

   private:
    FlakyFileSystem* fs_;
    std::unique_ptr<File> file_;
  };
};

void InitOrb() {
  int argc = 1;
  char name[] = "chunk_calls_test";
  char* argv[] = {name, nullptr};
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
}

// `len` bytes that differ from piece to piece and from place to place.
std::string Pattern(size_t len) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
  return s;
}

template <class Chunk>
Chunk Request(const std::string& name, int64_t pos, long len) {
  Chunk c;
  c.filePath = "\\";
  c.fileNm = name.c_str();
  c.fileSize = 0;
  c.updDt = "";
  c.crtDt = "";
  c.bufNo = 3;
  c.nextBuf = true;
  c.bufPos = static_cast<decltype(c.bufPos)>(pos);
  c.bufUnitSize = len;
  return c;
}

// A reply read back from `s` as the client's generated code reads it, as one text.
template <class Chunks>
std::string Decoded(cdrMemoryStream& s) {
  s.rewindInputPtr();
  CORBA::Long result, index;
  Chunks chunks;
  result <<= s;
  chunks <<= s;
  index <<= s;
  std::string text = std::to_string(result) + " " + std::to_string(index) + "\n";
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const auto& c = chunks[i];
    text += std::string(c.filePath.in()) + "|" + c.fileNm.in() + "|" + std::to_string(c.fileSize) +
            "|" + c.updDt.in() + "|" + c.crtDt.in() + "|" + std::to_string(c.bufNo) + "|" +
            std::to_string(c.nextBuf) + "|" + std::to_string(c.bufPos) + "|" +
            std::to_string(c.bufUnitSize) + "|" +
            std::string(reinterpret_cast<const char*>(c.fileBuf.get_buffer()), c.fileBuf.length()) +
            "\n";
  }
  return text;
}

// Requests across the piece size: a small one, one over several pieces, one that reaches past the
// end of its file (zeros there), one of another file, one of nothing.
template <class Chunks>
Chunks Batch(size_t big) {
  using Chunk = typename std::remove_reference<decltype(Chunks()[0])>::type;
  Chunks chunks;
  chunks.length(5);
  chunks[0] = Request<Chunk>("a.bin", 5, 100);
  chunks[1] = Request<Chunk>("a.bin", 105, static_cast<long>(2 * kChunkPieceBytes + 17));
  chunks[2] = Request<Chunk>("a.bin", static_cast<int64_t>(big - 1000),
                             static_cast<long>(kChunkPieceBytes + 3));
  chunks[3] = Request<Chunk>("b.bin", 0, static_cast<long>(kChunkPieceBytes + 1));
  chunks[4] = Request<Chunk>("b.bin", 0, 0);
  return chunks;
}

template <class Chunks>
void ExpectSameReplyAsFilledWhole() {
  InitOrb();
  const size_t big = 3 * kChunkPieceBytes + 500;
  MemoryFileSystem fs;
  fs.AddFile("/a.bin", Pattern(big), 1700000000);
  fs.AddFile("/b.bin", Pattern(kChunkPieceBytes * 2).substr(9), 1700000100);

  Chunks filled = Batch<Chunks>(big);
  CORBA::Long index = -1;
  ASSERT_EQ(kTransferOk, FillChunks(&fs, filled, &index));
  cdrMemoryStream expected;
  CORBA::Long(kTransferOk) >>= expected;
  filled >>= expected;
  index >>= expected;

  BlockPool pool(0);
  ChunkArena arena(&pool);
  ChunkSource source(&arena, kChunkPieceBytes);
  Chunks opened = Batch<Chunks>(big);
  ASSERT_EQ(kTransferOk, OpenChunks(&fs, opened, &index, &source));
  EXPECT_EQ(nullptr, source.Data(1));  // streamed
  EXPECT_NE(nullptr, source.Data(0));  // read at once
  cdrMemoryStream streamed;
  WriteDownloadReply(streamed, kTransferOk, opened, index, &source, arena.Alloc(kChunkPieceBytes));
  // The same length, and the same values read back (alignment bytes are whatever the memory
  // held, so the streams are not compared byte for byte).
  EXPECT_EQ(Decoded<Chunks>(expected), Decoded<Chunks>(streamed));
  EXPECT_EQ(expected.bufSize(), streamed.bufSize());

  cdrCountingStream counted(streamed.TCS_C(), streamed.TCS_W(), 0);
  WriteDownloadReply(counted, kTransferOk, opened, index, &source, nullptr);
  EXPECT_EQ(streamed.bufSize(), counted.total());

  // Byte for byte in either byte order and wherever the body starts, in streams zeroed first so
  // that alignment bytes compare too.
  for (bool little : {true, false}) {
    for (int start : {0, 1, 4, 7}) {
      auto stream = [&](cdrMemoryStream& s) {
        s.setByteSwapFlag(little);
        for (int k = 0; k < start; ++k) s.marshalOctet(0);
      };
      cdrMemoryStream whole(8 * 1024 * 1024, 1), pieces(8 * 1024 * 1024, 1);
      stream(whole);
      CORBA::Long(kTransferOk) >>= whole;
      filled >>= whole;
      index >>= whole;
      stream(pieces);
      ChunkSource again(&arena, kChunkPieceBytes);
      Chunks reopened = Batch<Chunks>(big);
      ASSERT_EQ(kTransferOk, OpenChunks(&fs, reopened, &index, &again));
      WriteDownloadReply(pieces, kTransferOk, reopened, index, &again,
                         arena.Alloc(kChunkPieceBytes));
      EXPECT_EQ(whole.bufSize(), pieces.bufSize());
      EXPECT_EQ(0, std::memcmp(whole.bufPtr(), pieces.bufPtr(), whole.bufSize()))
          << little << " " << start;
    }
  }
}

TEST(ChunkCallsTest, StreamedReplyIsTheReplyOfTheChunksFilledWhole) {
  ExpectSameReplyAsFilledWhole<ZKmd::zkSeqFileBuf>();
  ExpectSameReplyAsFilledWhole<ZKmd::zkSeqFileBuf64>();
}

TEST(ChunkCallsTest, AFailedReadStopsTheReplyAndACountingPassReadsNothing) {
  InitOrb();
  FlakyFileSystem fs;
  fs.AddFile("/a.bin", Pattern(3 * kChunkPieceBytes));
  BlockPool pool(0);
  ChunkArena arena(&pool);
  ChunkSource source(&arena, kChunkPieceBytes);
  ZKmd::zkSeqFileBuf64 chunks;
  chunks.length(1);
  chunks[0] = Request<ZKmd::zkStrctFileBuf64>("a.bin", 0, 3 * kChunkPieceBytes);
  CORBA::Long index = -1;
  ASSERT_EQ(kTransferOk, OpenChunks(&fs, chunks, &index, &source));
  const int reads = fs.reads;

  cdrMemoryStream tcs;
  cdrCountingStream counted(tcs.TCS_C(), tcs.TCS_W(), 0);
  WriteDownloadReply(counted, kTransferOk, chunks, index, &source, nullptr);
  EXPECT_EQ(reads, fs.reads);

  fs.fail = true;
  cdrMemoryStream s;
  EXPECT_THROW(
      WriteDownloadReply(s, kTransferOk, chunks, index, &source, arena.Alloc(kChunkPieceBytes)),
      CORBA::PERSIST_STORE);
}

// A batch of many files holds a few open and reads the others at once.
TEST(ChunkCallsTest, ABatchOfManyLargeFilesKeepsFewOpen) {
  InitOrb();
  MemoryFileSystem fs;
  const size_t n = ChunkSource::kMaxHeldFiles + 4, len = kChunkPieceBytes + 10;
  ZKmd::zkSeqFileBuf chunks;
  chunks.length(static_cast<CORBA::ULong>(n));
  for (size_t i = 0; i < n; ++i) {
    const std::string name = "f" + std::to_string(i);
    fs.AddFile("/" + name, Pattern(len + i));
    chunks[static_cast<CORBA::ULong>(i)] = Request<ZKmd::zkStrctFileBuf>(name, 0, len);
  }
  BlockPool pool(0);
  ChunkArena arena(&pool);
  ChunkSource source(&arena, kChunkPieceBytes);
  CORBA::Long index = -1;
  ASSERT_EQ(kTransferOk, OpenChunks(&fs, chunks, &index, &source));
  size_t streamed = 0;
  std::string data(len, '\0');
  for (size_t i = 0; i < n; ++i) {
    if (!source.Data(i)) ++streamed;
    ASSERT_TRUE(source.Read(i, 0, len, &data[0]));
    EXPECT_TRUE(data == Pattern(len + i).substr(0, len)) << i;
  }
  EXPECT_EQ(ChunkSource::kMaxHeldFiles, streamed);
}

}  // namespace
}  // namespace zk
