// The server's chunk protocol on a scratch storage directory, where zkcp cannot reach: a first
// chunk that truncates, requests that leave the area, and bad download requests.
#include "server/transfer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>


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

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
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

TEST_F(TransferTest, UploadFirstChunkTruncatesAndEmptyFilesAreCreated) {
  Write(area_ + "old.txt", std::string(5000, 'o'));
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
