// The storage limit's bookkeeping on a synthetic clock: an area counted once, kept by the server's
// own writes and removals, counted again before a refusal and after a while; and the chunk store
// refusing the chunk (or the announced file) that would pass the limit, in memory and streamed,
// with nothing of the file left and other areas untouched.
#include "server/area_usage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs_memory.h"
#include "server/transfer.h"
#include "server/uploads.h"

namespace zk {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

TEST(AreaUsageTest, CountedOnceKeptByWritesAndCountedAgainWhenItMayHaveDrifted) {
  MemoryFileSystem root;
  root.AddFile("/u1/a", std::string(100, 'a'));
  root.AddFile("/u1/d/b", std::string(50, 'b'));
  root.AddFile("/u1/d/" + NewUploadTempName(), std::string(25, 't'));  // an upload's, counted
  std::unique_ptr<FileSystem> area = root.Beneath("/u1");
  AreaUsage usage;
  const auto t0 = AreaUsage::Clock::now();

  // No limit: nothing is counted, nothing refused.
  EXPECT_TRUE(usage.Take("/u1/", area.get(), 0, 1 << 30, true, t0));
  EXPECT_EQ(-1, usage.Figure("/u1/"));
  EXPECT_FALSE(usage.Counted("/u1/"));

  // The first take under a limit counts the area, then adds to the figure.
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 1000, 10, true, t0));
  EXPECT_EQ(185, usage.Figure("/u1/"));
  // A file put there behind the server's back is not seen: no walk per request.
  root.AddFile("/u1/behind", std::string(600, 'x'));
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 1000, 5, true, t0 + seconds(1)));
  EXPECT_EQ(190, usage.Figure("/u1/"));
  // Only checking (keep false) adds nothing; a take under no limit still keeps the figure.
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 1000, 700, false, t0 + seconds(1)));
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 0, 10, true, t0 + seconds(1)));
  EXPECT_EQ(200, usage.Figure("/u1/"));

  // A refusal soon after the count trusts the figure...
  EXPECT_FALSE(usage.Take("/u1/", area.get(), 1000, 801, true, t0 + seconds(2)));
  EXPECT_EQ(200, usage.Figure("/u1/"));
  // ...later it counts again first: the file behind the server's back is found, and the bytes
  // the server's own writes counted but never wrote are dropped.
  EXPECT_FALSE(usage.Take("/u1/", area.get(), 1000, 801, true, t0 + seconds(10)));
  EXPECT_EQ(775, usage.Figure("/u1/"));
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 1000, 225, true, t0 + seconds(11)));
  EXPECT_EQ(1000, usage.Figure("/u1/"));
  // Exactly at the limit: nothing more but nothing (an empty file).
  EXPECT_FALSE(usage.Take("/u1/", area.get(), 1000, 1, true, t0 + seconds(12)));
  EXPECT_TRUE(usage.Take("/u1/", area.get(), 1000, 0, true, t0 + seconds(12)));

  // The server's own removal frees its bytes at once; a removal behind its back is seen by the
  // count after kRecountAfter.
  usage.Freed("/u1/", 600);
  EXPECT_EQ(400, usage.Figure("/u1/"));
  ASSERT_TRUE(root.RemoveFile("/u1/a"));
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 1000, 1, true, t0 + seconds(13)));
  EXPECT_EQ(401, usage.Figure("/u1/"));
  ASSERT_TRUE(usage.Take("/u1/", area.get(), 1000, 1, true, t0 + seconds(13) + kRecountAfter));
  EXPECT_EQ(676, usage.Figure("/u1/"));
  usage.Freed("/u1/", 10000);
  EXPECT_EQ(0, usage.Figure("/u1/"));

  // A limit lowered below the figure refuses every byte; the largest limit and sizes do not wrap.
  root.AddFile("/u2/big", std::string(300, 'b'));
  std::unique_ptr<FileSystem> area2 = root.Beneath("/u2");
  EXPECT_FALSE(usage.Take("/u2/", area2.get(), 200, 1, true, t0));
  EXPECT_TRUE(usage.Take("/u2/", area2.get(), INT64_MAX, INT64_MAX - 300, true, t0));
  EXPECT_FALSE(usage.Take("/u2/", area2.get(), INT64_MAX, 1, true, t0));
  EXPECT_EQ(0, usage.Figure("/u1/"));  // the other area is its own
}

// A count takes this server's uploads in progress by what they stored, not by their temporary
// files, whose tails of zeros are holes until the file is whole: an upload of zeros cannot pass the
// limit by waiting for a count. Temporary files of another process count by their length.
TEST(AreaUsageTest, ACountTakesUploadsInProgressFromTheirTable) {
  MemoryFileSystem root;
  root.AddFile("/u1/a", std::string(100, 'a'));
  root.AddFile("/u1/\xFFzk-upload.0123456789abcdef.1", std::string(40, 't'));  // another process's
  const std::string temp = NewUploadTempName();
  root.AddFile("/u1/" + temp, "");  // chunks of zeros so far: nothing written
  UploadTable table;
  const UploadKey key{1, "/u1/", "zeros"};
  table.Begin(key, temp, Socket(), UploadTable::Clock::now());
  table.Stored(key, 5000);
  std::unique_ptr<FileSystem> area = root.Beneath("/u1");
  AreaUsage usage([&](const std::string& dir) { return table.BytesIn(dir); });
  const auto t0 = AreaUsage::Clock::now();
  EXPECT_FALSE(usage.Take("/u1/", area.get(), 6000, 1000, true, t0));
  EXPECT_EQ(5140, usage.Figure("/u1/"));
  EXPECT_FALSE(usage.Take("/u1/", area.get(), 6000, 1000, true, t0 + minutes(1)));
  EXPECT_EQ(5140, usage.Figure("/u1/"));
  EXPECT_TRUE(usage.Take("/u1/", area.get(), 6000, 860, true, t0 + minutes(1)));
  // Once the upload is over (its file in place), the walk finds its bytes in the file.
  table.End(key);
  ASSERT_TRUE(root.Rename("/u1/" + temp, "/u1/zeros"));
  ASSERT_TRUE(root.Resize("/u1/zeros", 5860));
  EXPECT_TRUE(usage.Take("/u1/", area.get(), 6000, 0, true, t0 + minutes(20)));
  EXPECT_EQ(6000, usage.Figure("/u1/"));
}

// One upload chunk for `name` in the root of the area.
ZKmd::zkStrctFileBuf Chunk(const std::string& name, size_t len, int no, bool next,
                           long file_size = 0) {
  ZKmd::zkStrctFileBuf c;
  c.filePath = "\\";
  c.fileNm = name.c_str();
  c.fileSize = file_size;
  c.updDt = "2024/01/02 03:04:05";
  c.crtDt = "2024/01/02 03:04:05";
  c.bufNo = no;
  c.nextBuf = next;
  c.bufPos = 0;
  c.bufUnitSize = 0;
  c.fileBuf.length(static_cast<CORBA::ULong>(len));
  for (CORBA::ULong i = 0; i < len; ++i) c.fileBuf[i] = static_cast<CORBA::Octet>('a' + i % 26);
  return c;
}

ZKmd::zkSeqFileBuf Batch(const std::vector<ZKmd::zkStrctFileBuf>& chunks) {
  ZKmd::zkSeqFileBuf s;
  s.length(static_cast<CORBA::ULong>(chunks.size()));
  for (CORBA::ULong i = 0; i < s.length(); ++i) s[i] = chunks[i];
  return s;
}

class QuotaStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.AddFile("/u1/old", std::string(1000, 'o'));
    root_.AddDir("/u2");
    area_ = root_.Beneath("/u1");
    caller_.conn = 3;
    caller_.area_dir = "/u1/";
    caller_.root = &root_;
    caller_.quota.usage = &usage_;
    caller_.quota.dir = "/u1/";
    caller_.quota.user = "u1";
    caller_.quota.limit = 2500;
  }

  CORBA::Long Store(const std::vector<ZKmd::zkStrctFileBuf>& chunks, CORBA::Long* index) {
    return StoreChunks(area_.get(), &uploads_, caller_, Batch(chunks), index);
  }
  // The names in the area's root, temporary files included.
  std::vector<std::string> Names() {
    std::vector<DirEntry> found;
    root_.Search("/u1", "*", &found);
    std::vector<std::string> names;
    for (const DirEntry& e : found) names.push_back(IsUploadTempName(e.name) ? "(temp)" : e.name);
    return names;
  }

  MemoryFileSystem root_;
  std::unique_ptr<FileSystem> area_;
  UploadTable uploads_;
  AreaUsage usage_;
  UploadCaller caller_;
};

TEST_F(QuotaStoreTest, TheChunkThatWouldPassTheLimitIsRefusedAndNothingOfItsFileStays) {
  CORBA::Long index = 0;
  // 1000 + 3 * 600 would pass 2500 at the third chunk.
  EXPECT_EQ(kTransferQuotaFull, Store({Chunk("new", 600, 1, true), Chunk("new", 600, 2, true),
                                       Chunk("new", 600, 3, false)},
                                      &index));
  EXPECT_EQ(3, index);
  EXPECT_EQ((std::vector<std::string>{"old"}), Names());
  EXPECT_EQ(1000, usage_.Figure("/u1/"));
  EXPECT_EQ(0u, uploads_.size());

  // A file whose first chunk announces more than fits is refused before anything is written.
  EXPECT_EQ(kTransferQuotaFull, Store({Chunk("big", 100, 1, true, 1600)}, &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ((std::vector<std::string>{"old"}), Names());
  EXPECT_EQ(1000, usage_.Figure("/u1/"));

  // What fits lands; a file replaced frees its bytes once the new one is in its place.
  ASSERT_EQ(kTransferOk,
            Store({Chunk("old", 700, 1, true, 1400), Chunk("old", 700, 2, false)}, &index));
  EXPECT_EQ(1400, usage_.Figure("/u1/"));
  EXPECT_EQ(1400u, root_.Content("/u1/old").size());
  ASSERT_EQ(kTransferOk, Store({Chunk("small", 1100, 1, false)}, &index));
  EXPECT_EQ(2500, usage_.Figure("/u1/"));
  EXPECT_EQ((std::vector<std::string>{"old", "small"}), Names());

  // zkFileUpload's batch has no answer of its own for it: the chunk store's result is 23 for the
  // verified upload to give; StoreChunks gives it as it is.
  EXPECT_EQ(kTransferQuotaFull, Store({Chunk("one-more", 1, 1, false)}, &index));

  // Another area, without a limit, is not held back by this one's.
  UploadCaller other;
  other.conn = 4;
  other.area_dir = "/u2/";
  other.root = &root_;
  std::unique_ptr<FileSystem> area2 = root_.Beneath("/u2");
  EXPECT_EQ(kTransferOk, StoreChunks(area2.get(), &uploads_, other,
                                     Batch({Chunk("free", 4000, 1, false)}), &index));
  EXPECT_EQ(4000u, root_.Content("/u2/free").size());
}

TEST_F(QuotaStoreTest, AStreamedChunkIsRefusedBeforeItsDataIsWritten) {
  CORBA::Long index = 0;
  ASSERT_EQ(kTransferOk, Store({Chunk("s", 1000, 1, true)}, &index));  // 2000 in the area now
  ZKmd::zkStrctFileBuf c = Chunk("s", 0, 2, false);
  {
    ChunkStore store(area_.get(), &uploads_, caller_);
    store.Receive("\\", "s", 600);
    const std::string data(600, 'z');
    store.Piece(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_EQ(kTransferQuotaFull, store.Received(c));
  }
  EXPECT_EQ((std::vector<std::string>{"old"}), Names());
  EXPECT_EQ(1000, usage_.Figure("/u1/"));
  EXPECT_EQ(0u, uploads_.size());

  // A streamed first chunk that fits lands as ever.
  {
    ChunkStore store(area_.get(), &uploads_, caller_);
    store.Receive("\\", "s", 1500);
    const std::string data(1500, 'y');
    store.Piece(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    c.bufNo = 1;
    EXPECT_EQ(kTransferOk, store.Received(c));
  }
  EXPECT_EQ(std::string(1500, 'y'), root_.Content("/u1/s"));
  EXPECT_EQ(2500, usage_.Figure("/u1/"));
}

}  // namespace
}  // namespace zk
