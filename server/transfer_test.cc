// The server's chunk protocol on a scratch storage directory.
#include "server/transfer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/timetext.h"

namespace zk {
namespace {

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-transfer-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    area_ = root_ + "/area/";
    ASSERT_EQ(mkdir(area_.c_str(), 0700), 0);
  }
  void TearDown() override { system(("rm -rf '" + root_ + "'").c_str()); }

  static std::string Bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) & 0xff);
    return s;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  static int64_t MTime(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
  }
  // An upload chunk.
  static ZKmd::zkStrctFileBuf Up(const std::string& dir, const std::string& name,
                                 const std::string& data, int no, bool next,
                                 const std::string& upd = "2021/03/04 05:06:07") {
    ZKmd::zkStrctFileBuf c;
    c.filePath = dir.c_str();
    c.fileNm = name.c_str();
    c.fileSize = 0;
    c.updDt = upd.c_str();
    c.crtDt = upd.c_str();
    c.fileBuf.length(static_cast<CORBA::ULong>(data.size()));
    if (!data.empty()) memcpy(c.fileBuf.get_buffer(), data.data(), data.size());
    c.bufNo = no;
    c.nextBuf = next;
    c.bufPos = 0;
    c.bufUnitSize = 0;
    return c;
  }
  // A download request.
  static ZKmd::zkStrctFileBuf Down(const std::string& dir, const std::string& name, long pos,
                                   long len, int no = 1, bool next = false) {
    ZKmd::zkStrctFileBuf c = Up(dir, name, "", no, next, "");
    c.bufPos = pos;
    c.bufUnitSize = len;
    return c;
  }
  static ZKmd::zkSeqFileBuf Seq(std::initializer_list<ZKmd::zkStrctFileBuf> chunks) {
    ZKmd::zkSeqFileBuf s;
    s.length(static_cast<CORBA::ULong>(chunks.size()));
    CORBA::ULong i = 0;
    for (const auto& c : chunks) s[i++] = c;
    return s;
  }

  FileSystem* fs_ = FileSystem::Default();
  std::string root_, area_;
};

TEST_F(TransferTest, UploadAssemblesChunksInOrderAndSetsTimeOnTheLast) {
  std::string data = Bytes(2500, 7);
  int64_t want = 0;
  ASSERT_TRUE(ParseLocalTime("2021/03/04 05:06:07", &want));
  CORBA::Long index = -1;
  // First batch: the first chunk alone, then the other two; times only come with the last.
  ZKmd::zkSeqFileBuf first = Seq({Up(".\\docs\\", "a.bin", data.substr(0, 1024), 1, true)});
  EXPECT_EQ(StoreChunks(fs_, area_, first, &index), 0);
  EXPECT_EQ(index, 0);
  EXPECT_NE(MTime(area_ + "docs/a.bin"), want);
  ZKmd::zkSeqFileBuf rest = Seq({Up(".\\docs\\", "a.bin", data.substr(1024, 1024), 2, true),
                                 Up(".\\docs\\", "a.bin", data.substr(2048), 3, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, rest, &index), 0);
  EXPECT_EQ(Read(area_ + "docs/a.bin"), data);
  EXPECT_EQ(MTime(area_ + "docs/a.bin"), want);
}

TEST_F(TransferTest, UploadFirstChunkTruncatesAndEmptyFilesAreCreated) {
  Write(area_ + "old.txt", Bytes(5000, 1));
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf batch =
      Seq({Up("\\", "old.txt", "short", 1, false), Up("\\", "empty", "", 1, false),
           Up("/deep/er/", "x", "x", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), 0);
  EXPECT_EQ(Read(area_ + "old.txt"), "short");
  struct stat st;
  ASSERT_EQ(stat((area_ + "empty").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(Read(area_ + "deep/er/x"), "x");
}

TEST_F(TransferTest, UploadFailuresNameTheChunkAndKeepEarlierOnes) {
  Write(area_ + "plain", "f");
  CORBA::Long index = -1;
  // A file stands where a directory is needed: 21 at chunk 2, chunk 1 stored.
  ZKmd::zkSeqFileBuf batch =
      Seq({Up("\\", "ok1", "1", 1, false), Up("\\plain\\sub\\", "x", "2", 1, false),
           Up("\\", "never", "3", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), kTransferDirFailed);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(Read(area_ + "ok1"), "1");
  EXPECT_EQ(access((area_ + "never").c_str(), F_OK), -1);

  // Appending to a file that does not exist, and a directory in place of the file.
  mkdir((area_ + "adir").c_str(), 0700);
  batch = Seq({Up("\\", "ok2", "1", 1, false), Up("\\", "missing", "2", 2, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 2);
  batch = Seq({Up("\\", "adir", "1", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 1);
}

TEST_F(TransferTest, UploadRefusesPathsOutsideTheAreaAndUsersWithoutOne) {
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf batch =
      Seq({Up("\\", "in", "1", 1, false), Up("..\\", "escaped", "2", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(access((root_ + "/escaped").c_str(), F_OK), -1);
  // A link inside the area that leads out of it.
  ASSERT_EQ(symlink(root_.c_str(), (area_ + "out").c_str()), 0);
  batch = Seq({Up("out/", "escaped", "2", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), kTransferFileFailed);
  EXPECT_EQ(access((root_ + "/escaped").c_str(), F_OK), -1);
  // A file name that is itself such a link, after a chunk that resolved the same directory.
  Write(root_ + "/secret", "s");
  ASSERT_EQ(symlink((root_ + "/secret").c_str(), (area_ + "link").c_str()), 0);
  batch = Seq({Up("\\", "in", "1", 1, false), Up("\\", "link", "2", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(Read(root_ + "/secret"), "s");
  // No storage directory (unregistered user): the first chunk fails.
  batch = Seq({Up("\\", "x", "1", 1, false)});
  EXPECT_EQ(StoreChunks(fs_, "", batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 1);
}

TEST_F(TransferTest, UploadWithUnreadableTimeKeepsDataAndTimes) {
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf batch = Seq({Up("\\", "t", "data", 1, false, "yesterday")});
  int64_t before = time(nullptr);
  EXPECT_EQ(StoreChunks(fs_, area_, batch, &index), 0);
  EXPECT_EQ(Read(area_ + "t"), "data");
  EXPECT_GE(MTime(area_ + "t"), before - 1);
}

TEST_F(TransferTest, DownloadFillsChunksAndZeroesPastTheEnd) {
  std::string data = Bytes(2500, 3);
  Write(area_ + "a.bin", data);
  ASSERT_TRUE(fs_->SetWriteTime(area_ + "a.bin", 1600000000));
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf batch =
      Seq({Down(".\\", "a.bin", 0, 1024, 1, true), Down(".", "a.bin", 1024, 1024, 2, true),
           Down("", "a.bin", 2048, 1024, 3, false)});
  ASSERT_EQ(FillChunks(fs_, area_, batch, &index), 0);
  EXPECT_EQ(index, 0);
  std::string got;
  for (CORBA::ULong i = 0; i < 3; ++i) {
    EXPECT_EQ(batch[i].fileBuf.length(), 1024u);
    EXPECT_EQ(batch[i].fileSize, 2500);
    EXPECT_STREQ(batch[i].updDt.in(), FormatLocalTime(1600000000).c_str());
    EXPECT_EQ(batch[i].bufNo, static_cast<CORBA::Long>(i + 1));
    got.append(reinterpret_cast<const char*>(batch[i].fileBuf.get_buffer()), 1024);
  }
  EXPECT_EQ(got.substr(0, 2500), data);
  EXPECT_EQ(got.substr(2500), std::string(3072 - 2500, '\0'));
  EXPECT_FALSE(batch[2].nextBuf);

  // An empty file, and a position beyond the end.
  Write(area_ + "empty", "");
  batch = Seq({Down("\\", "empty", 0, 0), Down("\\", "a.bin", 9000, 16)});
  ASSERT_EQ(FillChunks(fs_, area_, batch, &index), 0);
  EXPECT_EQ(batch[0].fileBuf.length(), 0u);
  EXPECT_EQ(batch[0].fileSize, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(batch[1].fileBuf.get_buffer()), 16),
            std::string(16, '\0'));
}

TEST_F(TransferTest, DownloadRefusesBadRequestsAtTheirPosition) {
  Write(area_ + "f", "abc");
  mkdir((area_ + "d").c_str(), 0700);
  Write(root_ + "/secret", "s");
  struct Case {
    ZKmd::zkStrctFileBuf request;
    const char* what;
  };
  std::vector<Case> cases = {
      {Down("\\", "missing", 0, 3), "missing file"},
      {Down("\\", "d", 0, 3), "directory"},
      {Down("..\\", "secret", 0, 1), "outside the area"},
      {Down("\\", "f", -1, 3), "negative offset"},
      {Down("\\", "f", 0, -3), "negative length"},
      {Down("\\", "f", 0, static_cast<long>(kMaxMessageBytes) + 1), "length over the limit"},
  };
  for (const Case& c : cases) {
    CORBA::Long index = -1;
    ZKmd::zkSeqFileBuf batch = Seq({Down("\\", "f", 0, 3), c.request});
    EXPECT_EQ(FillChunks(fs_, area_, batch, &index), kTransferFileFailed) << c.what;
    EXPECT_EQ(index, 2) << c.what;
  }
  // Lengths that each fit but together would not fit one reply.
  long half = static_cast<long>(kMaxMessageBytes / 2) + 1;
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf batch =
      Seq({Down("\\", "f", 0, 3), Down("\\", "f", 0, half), Down("\\", "f", 0, half)});
  // The first two are filled (about half the limit), the third is refused before allocation.
  EXPECT_EQ(FillChunks(fs_, area_, batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 3);
  // No storage directory.
  batch = Seq({Down("\\", "f", 0, 3)});
  EXPECT_EQ(FillChunks(fs_, "", batch, &index), kTransferFileFailed);
  EXPECT_EQ(index, 1);
}

}  // namespace
}  // namespace zk
