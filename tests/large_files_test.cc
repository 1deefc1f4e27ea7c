// Files of any size through a real naming service and zksvr: a sparse file of 5 GiB on the server
// comes down with its size, its marks beyond 2 and 4 GiB and its time, and one of 3 GiB goes up;
// zkls shows their true sizes. The files are sparse (only their marks take disk space), and so
// are their copies: chunks of zeros travel, but are not written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/timetext.h"
#include "tests/server_fixture.h"
#include "tests/shared_server.h"

namespace zk {
namespace test {
namespace {

const char kPass[] = "pw1";
const int64_t kGiB = 1LL << 30;
const int64_t kMtime = 1500000000;

// Marks at offsets a short or misplaced copy would lose: the first bytes, each side of 2 GiB and
// of 4 GiB (where 32-bit sizes and offsets end), a few bytes past 4 GiB, and the last bytes.
std::vector<std::pair<int64_t, std::string>> Marks(int64_t size) {
  std::vector<std::pair<int64_t, std::string>> marks = {{0, "HEAD"}, {size - 4, "TAIL"}};
  for (int64_t at : {2 * kGiB - 3, 4 * kGiB - 3, 4 * kGiB + 100}) {
    if (at + 8 < size) marks.emplace_back(at, "mark@" + std::to_string(at));
  }
  return marks;
}

// A sparse file of `size` bytes holding only its marks, last written at kMtime.
void MakeSparse(const std::string& path, int64_t size) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(0, ftruncate(fd, size));
  for (const auto& m : Marks(size)) {
    ASSERT_EQ(static_cast<ssize_t>(m.second.size()),
              pwrite(fd, m.second.data(), m.second.size(), m.first));
  }
  close(fd);
  ASSERT_TRUE(FileSystem::Default()->SetWriteTime(path, kMtime));
}

std::string ReadAt(int fd, int64_t at, size_t len) {
  std::string buf(len, '\0');
  ssize_t got = pread(fd, &buf[0], len, at);
  buf.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return buf;
}

// The copy has the size, the time and the marks of the original, and zeros between them (compared
// in samples of 64 KiB around each mark and at a few places in between).
::testing::AssertionResult SameSparse(const std::string& original, const std::string& copy) {
  struct stat a, b;
  if (stat(original.c_str(), &a) != 0 || stat(copy.c_str(), &b) != 0) {
    return ::testing::AssertionFailure() << copy << " missing";
  }
  if (a.st_size != b.st_size) {
    return ::testing::AssertionFailure() << "size " << b.st_size << ", want " << a.st_size;
  }
  if (a.st_mtime != b.st_mtime) {
    return ::testing::AssertionFailure() << "time " << b.st_mtime << ", want " << a.st_mtime;
  }
  int fa = open(original.c_str(), O_RDONLY), fb = open(copy.c_str(), O_RDONLY);
  std::vector<int64_t> samples = {a.st_size / 3, a.st_size / 2, 3 * kGiB};
  for (const auto& m : Marks(a.st_size)) samples.push_back(m.first - 30000);
  std::string failure;
  for (int64_t at : samples) {
    if (at < 0) at = 0;
    std::string x = ReadAt(fa, at, 65536), y = ReadAt(fb, at, 65536);
    if (x != y) failure = "differs in the 64 KiB at " + std::to_string(at);
  }
  for (const auto& m : Marks(a.st_size)) {
    if (ReadAt(fb, m.first, m.second.size()) != m.second) failure = "no mark at " + m.second;
  }
  close(fa);
  close(fb);
  if (!failure.empty()) return ::testing::AssertionFailure() << failure;
  return ::testing::AssertionSuccess();
}

// Bytes of disk that `path` takes.
int64_t Allocated(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
}

// A unit of 8 MiB: 5 GiB is 640 requests.
class LargeFilesTest : public SharedServerTest<LargeFilesTest> {
 protected:
  static void SetUpTestSuite() { StartSuite("8192", kPass); }
  static RunResult Tool(const std::string& tool, std::vector<std::string> args) {
    return RunTool(tool, std::move(args), 600);
  }
};

const char kCopied1[] = "                 1 個のファイルをコピーしました。\n";

TEST_F(LargeFilesTest, AFileOfFiveGibibytesComesDownWhole) {
  ASSERT_EQ(0, mkdir((Store() + "/down").c_str(), 0700));
  const std::string original = Store() + "/down/five.bin";
  MakeSparse(original, 5 * kGiB);

  RunResult r = Tool("zkls", {"::down\\"});
  EXPECT_TRUE(Ended(r, 0,
                    "\n down\\のディレクトリ\n\n" + FormatLocalTime(kMtime) +
                        "     5,368,709,120 five.bin\n"
                        "                 1 個のファイル             5,368,709,120 バイト\n"
                        "                 0 個のディレクトリ  \n",
                    ""));

  // The 32-bit listing of this server says -1: no size that looks like a small file's.
  ZKmd_var server = ResolveServer(fixture_->ns_port());
  ASSERT_EQ(-1, server->zkExistsUser("u1", kPass));
  ZKmd::zkSeqFileLst narrow;
  narrow.length(1);
  server->zkFileList("u1", "down\\", "*", "", narrow);
  EXPECT_EQ(-1, narrow[0].fileSize);

  r = Tool("zkcp", {"::down\\five.bin", "local"});
  EXPECT_TRUE(Ended(r, 0, std::string("down\\five.bin\n") + kCopied1, ""));
  EXPECT_TRUE(SameSparse(original, Client() + "/local/five.bin"));
  EXPECT_LT(Allocated(Client() + "/local/five.bin"), 512LL << 20) << "zeros were written";
}

TEST_F(LargeFilesTest, AFileOfThreeGibibytesGoesUpWholeAndListsWithItsSize) {
  const std::string original = Client() + "/three.bin";
  MakeSparse(original, 3 * kGiB);
  RunResult r = Tool("zkcp", {"three.bin", "::up"});
  EXPECT_TRUE(Ended(r, 0, original + "\n" + kCopied1, ""));
  EXPECT_TRUE(SameSparse(original, Store() + "/up/three.bin"));
  EXPECT_LT(Allocated(Store() + "/up/three.bin"), 512LL << 20) << "zeros were written";

  r = Tool("zkls", {"::up\\"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("     3,221,225,472 three.bin\n")) << r.out;
  // Same size and time: the update mode leaves it, where a 32-bit comparison would not know.
  r = Tool("zkcp", {"three.bin", "::up", "-u"});
  EXPECT_TRUE(Ended(r, 0, "                 0 個のファイルをコピーしました。\n", ""));
}

}  // namespace
}  // namespace test
}  // namespace zk
