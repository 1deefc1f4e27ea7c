// Download requests that no client can send as a whole: a batch whose parts each fit but together
// would not fit one reply, behind other refusals at their position; reads beyond 4 GiB and the
// sizes either download gives for such a file; and the reply size reckoned for either kind of
// chunk; an upload of another area that the table gives up is removed where it is. Single refusals
// and upload escapes are checked over the wire in tests/copy_test.cc.
#include "server/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "idl/omniorb/streams.h"
#include "platform/fs_memory.h"

namespace zk {
namespace {

// A download request of either kind for `len` bytes at `pos` of `name` in the wire folder `dir`.
template <class Chunk>
Chunk Request(const std::string& dir, const std::string& name, int64_t pos, long len) {
  Chunk c;
  c.filePath = dir.c_str();
  c.fileNm = name.c_str();
  c.fileSize = 0;
  c.updDt = "";
  c.crtDt = "";
  c.bufNo = 1;
  c.nextBuf = false;
  c.bufPos = static_cast<decltype(c.bufPos)>(pos);
  c.bufUnitSize = len;
  return c;
}

ZKmd::zkStrctFileBuf Down(const std::string& dir, const std::string& name, long pos, long len) {
  return Request<ZKmd::zkStrctFileBuf>(dir, name, pos, len);
}

// A 64-bit request for `name` in the area's root.
ZKmd::zkStrctFileBuf64 Down64(const std::string& name, int64_t pos, long len) {
  return Request<ZKmd::zkStrctFileBuf64>("\\", name, pos, len);
}

ZKmd::zkSeqFileBuf Seq(std::initializer_list<ZKmd::zkStrctFileBuf> chunks) {
  ZKmd::zkSeqFileBuf s;
  s.length(static_cast<CORBA::ULong>(chunks.size()));
  CORBA::ULong i = 0;
  for (const auto& c : chunks) s[i++] = c;
  return s;
}

TEST(TransferTest, DownloadRefusesBadRequestsAtTheirPosition) {
  char tmpl[] = "/tmp/zk-transfer-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string root = tmpl, area = root + "/area/";
  ASSERT_EQ(0, mkdir(area.c_str(), 0700));
  ASSERT_EQ(0, mkdir((area + "d").c_str(), 0700));
  std::ofstream(area + "f") << "abc";
  std::ofstream(root + "/secret") << "s";
  std::unique_ptr<FileSystem> fs = FileSystem::Default()->Beneath(area);
  ASSERT_NE(nullptr, fs);

  const long half = kMaxMessageBytes / 2 + 1;
  struct Case {
    ZKmd::zkSeqFileBuf batch;
    CORBA::Long index;
    const char* what;
  } cases[] = {
      {Seq({Down("\\", "f", 0, 3), Down("\\", "missing", 0, 3)}), 2, "missing file"},
      {Seq({Down("\\", "f", 0, 3), Down("\\", "d", 0, 3)}), 2, "directory"},
      {Seq({Down("\\", "f", 0, 3), Down("..\\", "secret", 0, 1)}), 2, "outside the area"},
      // The first two are filled (about half the limit), the third is refused before allocation.
      {Seq({Down("\\", "f", 0, 3), Down("\\", "f", 0, half), Down("\\", "f", 0, half)}), 3,
       "together over the limit"},
      // The data alone would fit; with the reply's headers it does not.
      {Seq({Down("\\", "f", 0, kMaxMessageBytes - 64)}), 1, "over the limit with headers"},
  };
  for (Case& c : cases) {
    CORBA::Long index = -1;
    EXPECT_EQ(kTransferFileFailed, FillChunks(fs.get(), c.batch, &index)) << c.what;
    EXPECT_EQ(c.index, index) << c.what;
  }
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf batch = Seq({Down("\\", "f", 0, 3)});
  EXPECT_EQ(kTransferFileFailed, FillChunks(nullptr, batch, &index));  // no storage area
  EXPECT_EQ(1, index);
  EXPECT_EQ(0, system(("rm -rf '" + root + "'").c_str()));
}

TEST(TransferTest, ReadsBeyondFourGibibytesAndSaysWhatTheNarrowSizeCannotCarry) {
  char tmpl[] = "/tmp/zk-transfer-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string root = tmpl;
  // A sparse file of 5 GiB with marks just below and beyond 4 GiB.
  const int64_t size = 5LL << 30, four = 4LL << 30;
  int fd = open((root + "/big").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, size));
  ASSERT_EQ(4, pwrite(fd, "LOW!", 4, four - 2));
  ASSERT_EQ(4, pwrite(fd, "END!", 4, size - 4));
  close(fd);
  std::unique_ptr<FileSystem> fs = FileSystem::Default()->Beneath(root);
  ASSERT_NE(nullptr, fs);

  ZKmd::zkSeqFileBuf64 wide;
  wide.length(2);
  wide[0] = Down64("big", four - 4, 8);
  wide[1] = Down64("big", size - 6, 10);  // reaches past the end: zeros there
  CORBA::Long index = -1;
  ASSERT_EQ(kTransferOk, FillChunks(fs.get(), wide, &index));
  EXPECT_EQ(size, wide[0].fileSize);
  auto text = [](const ZKmd::DataBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.get_buffer()), b.length());
  };
  EXPECT_EQ(std::string("\0\0LOW!\0\0", 8), text(wide[0].fileBuf));
  EXPECT_EQ(std::string("\0\0END!\0\0\0\0", 10), text(wide[1].fileBuf));

  // The 32-bit download cannot describe the file: -1, never its low 32 bits (which would be the
  // size of a file of 1 GiB).
  ZKmd::zkSeqFileBuf narrow = Seq({Down("\\", "big", 0, 4)});
  ASSERT_EQ(kTransferOk, FillChunks(fs.get(), narrow, &index));
  EXPECT_EQ(-1, narrow[0].fileSize);
  EXPECT_EQ(0, system(("rm -rf '" + root + "'").c_str()));
}

// The reply size that FillChunks reckons with is never less than what a filled chunk of either
// kind takes on the wire, wherever in the reply it starts, and not much more.
TEST(TransferTest, ReplyEstimateCoversAFilledChunk) {
  // Texts are marshalled through the ORB's code set converters.
  int argc = 1;
  char name[] = "transfer_test";
  char* argv[] = {name, nullptr};
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
  // The request `c` filled with `len` bytes and the times, marshalled after `start` bytes: it
  // takes at most ChunkReplyBytes, and at most `slack` bytes less.
  auto check = [](auto c, int start, long len, int64_t slack, const std::string& where) {
    c.fileBuf.length(static_cast<CORBA::ULong>(len));
    c.updDt = "2020/01/02 03:04:05";
    c.crtDt = "2020/01/02 03:04:05";
    cdrMemoryStream s;
    for (int k = 0; k < start; ++k) s.marshalOctet(0);
    const CORBA::ULong before = s.bufSize();
    c >>= s;
    const int64_t actual = s.bufSize() - before;
    EXPECT_LE(actual, ChunkReplyBytes(c)) << where;
    EXPECT_LE(ChunkReplyBytes(c) - actual, slack) << where;
  };
  for (int start = 0; start < 8; ++start) {
    for (size_t path = 0; path < 6; ++path) {
      for (long len = 0; len < 6; ++len) {
        const std::string dir(path, 'p'), name(path + start, 'n');
        const std::string where = std::to_string(start) + " " + dir + " " + std::to_string(len);
        check(Down(dir, name, 0, len), start, len, 24, where);
        check(Request<ZKmd::zkStrctFileBuf64>(dir, name, 1LL << 33, len), start, len, 32, where);
      }
    }
  }
}

TEST(TransferTest, AnUploadOfAnotherAreaThatIsGivenUpIsRemovedThere) {
  // One connection, one upload at a time: beginning one in area b gives up the one in area a.
  MemoryFileSystem root;
  root.AddDir("/a");
  root.AddDir("/b");
  UploadTable table(1);
  UploadCaller caller;
  caller.conn = 7;
  caller.root = &root;
  auto begin = [&](const std::string& area_dir, const char* name) {
    caller.area_dir = area_dir;
    std::unique_ptr<FileSystem> area = root.Beneath(area_dir);
    ZKmd::zkStrctFileBuf c = Down("\\", name, 0, 0);
    c.nextBuf = true;
    c.fileBuf.length(1);
    c.fileBuf[0] = 'x';
    CORBA::Long index = 0;
    return StoreChunks(area.get(), &table, caller, Seq({c}), &index);
  };
  auto entries_in = [&](const std::string& dir) {
    std::vector<DirEntry> found;
    root.Search(dir, "*", &found);
    return found.size();
  };
  ASSERT_EQ(kTransferOk, begin("/a/", "x"));
  ASSERT_EQ(1u, entries_in("/a"));  // its temporary file
  ASSERT_EQ(kTransferOk, begin("/b/", "y"));
  EXPECT_EQ(0u, entries_in("/a"));
  EXPECT_EQ(1u, entries_in("/b"));
}

}  // namespace
}  // namespace zk
