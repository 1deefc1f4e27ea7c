// zkcp with chunks of several pieces against a real naming service and server (a unit of 2 MiB):
// a file whose read fails in the middle of a chunk that is already on its way counts as
// unreadable, leaves nothing on the server and does not hold back the files after it; and files
// travel whole both ways when the client speaks GIOP 1.0 (set in its ORB configuration), which
// sizes each request before it sends it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "tests/server_fixture.h"
#include "tests/shared_server.h"

namespace zk {
namespace test {
namespace {

const char kPass[] = "pw1";
const char kCopied[] = "個のファイルをコピーしました。\n";
const char kNotCopied[] = "個のファイルがコピーできませんでした。\n";

std::string Count(int n) {
  std::string num = std::to_string(n);
  return std::string(18 - num.size(), ' ') + num + " ";
}

// Bytes that differ at every offset, so that a piece out of place shows.
std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
  return s;
}

// The names in server directory `dir`, the temporary files of uploads (byte 0xFF first) too.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<DirEntry> entries;
  FileSystem::Default()->Search(dir, "*", &entries);
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  return names;
}

class StreamedCopyTest : public SharedServerTest<StreamedCopyTest> {
 protected:
  static void SetUpTestSuite() { StartSuite("2048", kPass); }
  // zkcp in u1's folder, through a shell that may set things up first (`prefix`).
  static RunResult Zkcp(const std::string& prefix, const std::string& args) {
    return test::Run({"/bin/sh", "-c", prefix + Program("zkcp") + " " + args + " -p " + kPass},
                     Options());
  }
  static RunOptions Options() {
    RunOptions o;
    o.cwd = Client();
    o.timeout_seconds = 120;
    return o;
  }
};

TEST_F(StreamedCopyTest, AReadFailingMidChunkMakesItsFileUnreadableAndTheBatchGoesOn) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string src = Client() + "/eio";
  ASSERT_TRUE(FileSystem::Default()->MakeDirs(src));
  // One batch: b's chunk is six pieces, of which the first is read before the request is sent;
  // its third read (the third piece) fails while the request is on its way.
  const std::string a = Bytes(10000, 1), b = Bytes(1500000, 2), c = Bytes(300000, 3);
  WriteFile(src + "/a", a);
  WriteFile(src + "/b", b);
  WriteFile(src + "/c", c);
  // A traced program cannot be searched for leaks at its exit: that needs ptrace as well.
  RunResult r = Zkcp(
      "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" exec /usr/bin/strace -f -qq -o /dev/null -P " +
          src + "/b -e trace=pread64 -e inject=pread64:error=EIO:when=3 ",
      "eio/ ::eio");
  EXPECT_TRUE(
      Ended(r, 20,
            src + "/a\n" + src + "/b\n" + src + "/c\n" + Count(2) + kCopied + Count(1) + kNotCopied,
            "WARNING:ファイルを開けませんでした。\n"));
  EXPECT_EQ((std::vector<std::string>{"a", "c"}), Names(Store() + "/eio"));
  EXPECT_EQ(a, ReadFile(Store() + "/eio/a"));
  EXPECT_EQ(c, ReadFile(Store() + "/eio/c"));

  // Without the failure, b goes up whole and replaces nothing but itself.
  r = Zkcp("", "eio/b ::eio");
  EXPECT_TRUE(Ended(r, 0, src + "/b\n" + Count(1) + kCopied, ""));
  EXPECT_EQ(b, ReadFile(Store() + "/eio/b"));
}

TEST_F(StreamedCopyTest, FilesTravelWholeBothWaysOverGiop10) {
  const std::string src = Client() + "/old";
  ASSERT_TRUE(FileSystem::Default()->MakeDirs(src));
  // A chunk of many pieces, one ending mid-piece, one below a piece, and one of exactly a unit.
  std::vector<std::pair<std::string, std::string>> files = {{"big", Bytes(5000000, 4)},
                                                            {"odd", Bytes(2097152 + 777, 5)},
                                                            {"small", Bytes(1000, 6)},
                                                            {"unit", Bytes(2097152, 7)}};
  std::string listed;
  for (const auto& f : files) {
    WriteFile(src + "/" + f.first, f.second);
    listed += src + "/" + f.first + "\n";
  }
  // The client's ORB configuration: GIOP 1.0 at most.
  WriteFile(Client() + "/client.conf", "maxGIOPVersion = 1.0\n");
  RunResult r = Zkcp("", "old/ ::old");
  EXPECT_TRUE(Ended(r, 0, listed + Count(4) + kCopied, ""));
  for (const auto& f : files) {
    EXPECT_TRUE(f.second == ReadFile(Store() + "/old/" + f.first)) << "differs up: " << f.first;
  }

  r = Zkcp("", "::old back");
  EXPECT_TRUE(Ended(
      r, 0, ".\\old\\big\n.\\old\\odd\n.\\old\\small\n.\\old\\unit\n" + Count(4) + kCopied, ""));
  for (const auto& f : files) {
    EXPECT_TRUE(f.second == ReadFile(Client() + "/back/old/" + f.first))
        << "differs down: " << f.first;
  }
  unlink((Client() + "/client.conf").c_str());
}

}  // namespace
}  // namespace test
}  // namespace zk
