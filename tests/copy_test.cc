// zkcp against a real naming service and server: contents byte for byte and times to the second
// in both directions, whole trees and masks, the three transfer modes, destinations that are
// files, unreadable sources, directories the server cannot create, pipes, devices and names that
// cannot travel, local paths with "." and "..", Japanese names, a client killed in the middle of a
// file (nothing of it under its name), and the checks that come before any copying.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "idl/orb.h"
#include "platform/fs.h"
#include "platform/timetext.h"
#include "settings/zkdb.h"
#include "tests/server_fixture.h"
#include "tests/shared_server.h"

namespace zk {
namespace test {
namespace {

const char kCopied[] = "個のファイルをコピーしました。\n";
const char kNotCopied[] = "個のファイルがコピーできませんでした。\n";
const char kPass[] = "pw1";

std::string Count(int n) {
  std::string num = std::to_string(n);
  return std::string(18 - num.size(), ' ') + num + " ";
}
std::string Copied(int n) { return Count(n) + kCopied; }

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
  return s;
}

void MakeDirs(const std::string& path) { FileSystem::Default()->MakeDirs(path); }

void Put(const std::string& path, const std::string& data, int64_t mtime = 1500000000) {
  MakeDirs(path.substr(0, path.find_last_of('/')));
  WriteFile(path, data);
  FileSystem::Default()->SetWriteTime(path, mtime);
}

int64_t MTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// Same bytes and same last-write time, without printing megabytes on failure.
::testing::AssertionResult SameFile(const std::string& a, const std::string& b) {
  if (!Exists(a) || !Exists(b))
    return ::testing::AssertionFailure() << a << " or " << b << " missing";
  std::string x = ReadFile(a), y = ReadFile(b);
  if (x != y) {
    return ::testing::AssertionFailure()
           << a << " (" << x.size() << " bytes) differs from " << b << " (" << y.size() << ")";
  }
  if (MTime(a) != MTime(b)) {
    return ::testing::AssertionFailure() << "times differ: " << MTime(a) << " " << MTime(b);
  }
  return ::testing::AssertionSuccess();
}

// The bytes in the temporary files of uploads in `dir` (their names begin with byte 0xFF), or -1
// when there is none.
long UploadTempBytes(const std::string& dir) {
  std::vector<DirEntry> entries;
  FileSystem::Default()->Search(dir, "*", &entries);
  long bytes = -1;
  for (const DirEntry& e : entries) {
    if (!e.name.empty() && e.name[0] == '\xFF') bytes = std::max(bytes, 0L) + e.size;
  }
  return bytes;
}

// One server for the whole suite, with a unit of 1 KB so that small files already span chunks.
class CopyTest : public SharedServerTest<CopyTest> {
 protected:
  static void SetUpTestSuite() { StartSuite("1", kPass); }
  static RunResult Zkcp(std::vector<std::string> args, int timeout = 60) {
    return RunTool("zkcp", std::move(args), timeout);
  }
};

TEST_F(CopyTest, FilesOfEverySizeGoUpAndComeBackIdentical) {
  const std::string src = Client() + "/sizes";
  Put(src + "/empty", "", 1400000000);
  Put(src + "/one-unit", Bytes(1024, 1), 1400000100);
  Put(src + "/two-units", Bytes(2048, 2), 1400000200);
  Put(src + "/odd", Bytes(2500, 3), 1400000300);
  Put(src + "/many/small1", Bytes(300, 4));
  Put(src + "/many/small2", Bytes(300, 5));
  Put(src + "/many/small3", Bytes(300, 6));

  RunResult r = Zkcp({"sizes", "::up"});
  EXPECT_TRUE(Ended(r, 0,
                    src + "/empty\n" + src + "/many/small1\n" + src + "/many/small2\n" + src +
                        "/many/small3\n" + src + "/odd\n" + src + "/one-unit\n" + src +
                        "/two-units\n" + Copied(7),
                    ""));
  for (const char* f : {"empty", "one-unit", "two-units", "odd", "many/small1", "many/small3"}) {
    EXPECT_TRUE(SameFile(src + "/" + f, Store() + "/up/sizes/" + f)) << f;
  }

  // Back down into a fresh local folder.
  r = Zkcp({"::up/sizes", "down"});
  EXPECT_TRUE(Ended(r, 0,
                    "up\\sizes\\empty\nup\\sizes\\many\\small1\nup\\sizes\\many\\small2\n"
                    "up\\sizes\\many\\small3\nup\\sizes\\odd\nup\\sizes\\one-unit\n"
                    "up\\sizes\\two-units\n" +
                        Copied(7),
                    ""));
  for (const char* f : {"empty", "one-unit", "two-units", "odd", "many/small1", "many/small2"}) {
    EXPECT_TRUE(SameFile(src + "/" + f, Client() + "/down/sizes/" + f)) << f;
  }
}

TEST_F(CopyTest, SourceFormsSelectTheDirectoryItsContentOrMatchingNames) {
  const std::string src = Client() + "/forms";
  Put(src + "/a.txt", "a");
  Put(src + "/b.log", "b");
  Put(src + "/deep/er/c.txt", "c");
  Put(src + "/sub.txt/d.bin", "d");
  ASSERT_EQ(0, symlink(src.c_str(), (src + "/deep/loop").c_str()));  // not followed

  RunResult r = Zkcp({"forms", "::f1"});  // the directory itself
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(Exists(Store() + "/f1/forms/deep/er/c.txt"));
  EXPECT_TRUE(Exists(Store() + "/f1/forms/b.log"));

  r = Zkcp({"forms/", "::f2\\"});  // its content
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(Exists(Store() + "/f2/a.txt"));
  EXPECT_TRUE(Exists(Store() + "/f2/deep/er/c.txt"));
  EXPECT_FALSE(Exists(Store() + "/f2/forms"));

  r = Zkcp({"forms/*.txt", "::f3"});  // matching files and matching directories with all inside
  EXPECT_TRUE(Ended(r, 0, src + "/a.txt\n" + src + "/sub.txt/d.bin\n" + Copied(2), ""));
  EXPECT_TRUE(Exists(Store() + "/f3/sub.txt/d.bin"));
  EXPECT_FALSE(Exists(Store() + "/f3/b.log"));
  EXPECT_FALSE(Exists(Store() + "/f3/deep"));

  r = Zkcp({"forms/b.log"});  // no destination: the root of the area
  EXPECT_TRUE(Ended(r, 0, src + "/b.log\n" + Copied(1), ""));
  EXPECT_TRUE(SameFile(src + "/b.log", Store() + "/b.log"));

  // From the server without a destination: into the starting directory.
  const std::string here = Client() + "/nodest";
  MakeDirs(here);
  r = RunIn(here, {Program("zkcp"), "::f1/forms", "-e", Client() + "/client.zkd", "-p", kPass});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(SameFile(src + "/deep/er/c.txt", here + "/forms/deep/er/c.txt"));
  EXPECT_EQ(
      "f1\\forms\\a.txt\nf1\\forms\\b.log\nf1\\forms\\deep\\er\\c.txt\n"
      "f1\\forms\\sub.txt\\d.bin\n" +
          Copied(4),
      r.out);
  // Server masks, with "/" typed for "\".
  r = Zkcp({"::f2/*.txt", "masked"});
  EXPECT_TRUE(Ended(r, 0, "f2\\a.txt\nf2\\sub.txt\\d.bin\n" + Copied(2), ""));
}

TEST_F(CopyTest, ModesAgainstExistingFilesInOtherLetterCase) {
  const std::string src = Client() + "/modes";
  Put(src + "/same.txt", "new", 1600000000);
  Put(src + "/older.txt", "new", 1600000000);
  Put(src + "/bigger.txt", "newer", 1600000000);
  Put(Store() + "/m/SAME.TXT", "old", 1600000000);    // same size, same time
  Put(Store() + "/m/Older.Txt", "old", 1500000000);   // same size, older
  Put(Store() + "/m/BIGGER.txt", "old", 1700000000);  // other size, newer

  RunResult r = Zkcp({"modes/", "::m"});  // skip: nothing is copied
  EXPECT_TRUE(Ended(r, 0, Copied(0), ""));
  EXPECT_FALSE(Exists(Store() + "/m/same.txt"));

  r = Zkcp({"modes/", "::m", "-u"});  // update: older and other-size files
  EXPECT_TRUE(Ended(r, 0, src + "/bigger.txt\n" + src + "/older.txt\n" + Copied(2), ""));
  EXPECT_TRUE(SameFile(src + "/older.txt", Store() + "/m/older.txt"));

  r = Zkcp({"-r", "modes/", "::m"});  // replace: everything
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(Copied(3), r.out.substr(r.out.find_last_of('\n', r.out.size() - 2) + 1));

  // The later of -u and -r wins; downloads look names up in the local folder.
  Put(Store() + "/m2/only.txt", "server", 1500000000);
  Put(Client() + "/mdown/ONLY.TXT", "loc", 1400000000);
  r = Zkcp({"::m2/only.txt", "mdown"});
  EXPECT_TRUE(Ended(r, 0, Copied(0), ""));
  r = Zkcp({"::m2/only.txt", "mdown", "-r", "-u"});
  EXPECT_TRUE(Ended(r, 0, "m2\\only.txt\n" + Copied(1), ""));
  EXPECT_TRUE(SameFile(Store() + "/m2/only.txt", Client() + "/mdown/only.txt"));
}

TEST_F(CopyTest, DestinationThatIsAFileIsRefused) {
  Put(Store() + "/report", "r");
  Put(Client() + "/one.txt", "1");
  RunResult r = Zkcp({"one.txt", "::report"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:コピー先はディレクトリを指定してください。\n"));
  EXPECT_EQ("r", ReadFile(Store() + "/report"));

  r = Zkcp({"::report", "one.txt"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:コピー先はディレクトリを指定してください。\n"));
  EXPECT_EQ("1", ReadFile(Client() + "/one.txt"));

  // A name that does not exist yet becomes a directory.
  r = Zkcp({"one.txt", "::newdir"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(Exists(Store() + "/newdir/one.txt"));
}

TEST_F(CopyTest, UnreadableSourceAndUncreatableDirectoryAreReportedAndFailTheRun) {
  // Tests run as root, who can read any file: a link to nothing cannot be opened by anyone.
  const std::string src = Client() + "/bad";
  Put(src + "/a.txt", "a");
  Put(src + "/c.txt", "c");
  ASSERT_EQ(0, symlink((src + "/nowhere").c_str(), (src + "/b.txt").c_str()));
  // The other files are copied; the run ends with 20 so that a script can tell.
  RunResult r = Zkcp({"bad/", "::bad"});
  EXPECT_TRUE(Ended(
      r, 20,
      src + "/a.txt\n" + src + "/b.txt\n" + src + "/c.txt\n" + Copied(2) + Count(1) + kNotCopied,
      "WARNING:ファイルを開けませんでした。\n"));

  // A server file stands where a directory would have to be created.
  Put(Store() + "/plain", "p");
  r = Zkcp({"bad/a.txt", "::plain/sub"});
  EXPECT_TRUE(Ended(r, 20, src + "/a.txt\n" + Copied(0),
                    "ERROR:ディレクトリを作成できませんでした。(a.txt)\n"));
}

TEST_F(CopyTest, PipesDevicesAndBackslashNamesAreSkippedWithAMessage) {
  // A named pipe would block the copy for ever, a device would be read as something it is not, and
  // a "\" in a name would turn into a folder on the server: none of them is sent, the rest is.
  const std::string src = Client() + "/special";
  Put(src + "/a.txt", "a");
  ASSERT_EQ(0, mkfifo((src + "/pipe").c_str(), 0600));
  ASSERT_EQ(0, symlink("/dev/zero", (src + "/zero").c_str()));
  Put(src + "/x\\y.txt", "xy");
  MakeDirs(src + "/d\\e");
  // A name that cannot travel is a file that could not be copied (20); a pipe or device is
  // left alone on purpose.
  RunResult r = Zkcp({"special/", "::special"}, 30);
  const std::string not_regular = "WARNING:通常のファイルではないためコピーしません。(" + src;
  const std::string backslash = "ERROR:名前に「\\」を含むためコピーできません。(" + src;
  EXPECT_TRUE(Ended(r, 20, src + "/a.txt\n" + Copied(1),
                    backslash + "/d\\e)\n" + not_regular + "/pipe)\n" + backslash + "/x\\y.txt)\n" +
                        not_regular + "/zero)\n"));
  EXPECT_TRUE(SameFile(src + "/a.txt", Store() + "/special/a.txt"));
  EXPECT_FALSE(Exists(Store() + "/special/pipe"));
  EXPECT_FALSE(Exists(Store() + "/special/zero"));
  EXPECT_FALSE(Exists(Store() + "/special/x"));
  EXPECT_FALSE(Exists(Store() + "/special/d"));

  // Nor is a pipe written to when a downloaded file would replace it.
  Put(Store() + "/tofifo/pipe", "data");
  r = Zkcp({"::tofifo/", "special", "-r"}, 30);
  EXPECT_TRUE(Ended(r, 0, Copied(0), not_regular + "/pipe)\n"));
}

TEST_F(CopyTest, LocalPathsAreCleanedAndEnvironmentFoldersAreNotFiles) {
  Put(Client() + "/data/zero.txt", "0");
  MakeDirs(Client() + "/rel");
  const std::string env = "-e" + Client() + "/client.zkd";
  RunResult r =
      RunIn(Client() + "/rel", {Program("zkcp"), "../data/zero.txt", "::nm", env, "-p", kPass});
  EXPECT_TRUE(Ended(r, 0, Client() + "/data/zero.txt\n" + Copied(1), ""));

  // "x/.." leaves no folder x behind.
  r = RunIn(Client() + "/rel", {Program("zkcp"), "::nm\\", "./x/../y", env, "-p", kPass});
  EXPECT_TRUE(Ended(r, 0, "nm\\zero.txt\n" + Copied(1), ""));
  EXPECT_TRUE(SameFile(Client() + "/data/zero.txt", Client() + "/rel/y/zero.txt"));
  EXPECT_FALSE(Exists(Client() + "/rel/x"));

  // A folder given as the environment file is no environment file, named as it was given.
  r = Zkcp({"data", "::nm", "-e", "rel"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ユーザ環境設定ファイルが存在しません。(rel)\n"));
}

TEST_F(CopyTest, JapaneseNamesBothWays) {
  const std::string src = Client() + "/データ";
  Put(src + "/日本語の名前.txt", "内容", 1500000000);
  RunResult r = Zkcp({"データ", "::保存"});
  EXPECT_TRUE(Ended(r, 0, src + "/日本語の名前.txt\n" + Copied(1), ""));
  EXPECT_TRUE(SameFile(src + "/日本語の名前.txt", Store() + "/保存/データ/日本語の名前.txt"));
  r = Zkcp({"::保存\\データ\\", "戻り"});
  EXPECT_TRUE(Ended(r, 0, "保存\\データ\\日本語の名前.txt\n" + Copied(1), ""));
  EXPECT_TRUE(SameFile(src + "/日本語の名前.txt", Client() + "/戻り/日本語の名前.txt"));
}

TEST_F(CopyTest, UploadKilledMidFileLeavesNothingUnderItsNameAndARerunCompletesIt) {
  // Big enough that a unit of 1 KB takes many requests, so the kill lands inside the file.
  const std::string src = Client() + "/big";
  Put(src + "/a.bin", Bytes(6 * 1024 * 1024, 9), 1500000000);
  Put(src + "/b.bin", Bytes(5000, 8), 1500000000);
  pid_t pid = Spawn({Program("zkcp"), "big", "::killed", "-p", kPass}, Client());
  ASSERT_GT(pid, 0);
  const std::string dir = Store() + "/killed/big";
  // The upload goes into a temporary file beside its target while it runs.
  EXPECT_TRUE(WaitUntil([&] { return UploadTempBytes(dir) > 64 * 1024; }, 20));
  kill(pid, SIGKILL);
  Stop(pid);
  EXPECT_FALSE(Exists(dir + "/a.bin")) << "a part of the file is under its name";
  // The server keeps what it stored once the connection is gone, for the user to continue.
  ZKmd_var server = ResolveServer(fixture_->ns_port());
  ASSERT_EQ(-1, server->zkExistsUser("u1", kPass));
  EXPECT_TRUE(WaitUntil(
      [&] {
        CORBA::LongLong kept = 0;
        ZKmd::DataBuffer_var digests;
        return server->zkFileKept("u1", "killed\\big\\", "a.bin", 6 * 1024 * 1024,
                                  FormatLocalTime(1500000000).c_str(), kept,
                                  digests.out()) == 0 &&
               kept > 0;
      },
      10));

  // The default mode skips names that exist: nothing of a.bin does, so it is copied, the rest
  // of it after what the server kept; nothing of the kept upload is left.
  RunResult r = Zkcp({"big", "::killed"}, 120);
  EXPECT_TRUE(Ended(r, 0, src + "/a.bin\n" + src + "/b.bin\n" + Copied(2), ""));
  EXPECT_TRUE(SameFile(src + "/a.bin", dir + "/a.bin"));
  EXPECT_TRUE(SameFile(src + "/b.bin", dir + "/b.bin"));
  EXPECT_LT(UploadTempBytes(dir), 0);
}

TEST_F(CopyTest, DirectTransfersStayInTheAreaAndWithinOneReply) {
  ZKmd_var server = ResolveServer(fixture_->ns_port());
  ASSERT_EQ(-1, server->zkExistsUser("u1", kPass));
  CORBA::Long index = -1;
  ZKmd::zkSeqFileBuf up = OneChunk("wire.txt", "over the wire", 0, 0);
  EXPECT_EQ(0, server->zkFileUpload("u1", up, index));
  EXPECT_EQ(0, index);
  EXPECT_EQ("over the wire", ReadFile(Store() + "/wire.txt"));

  // A first chunk replaces what was there.
  up = OneChunk("wire.txt", "short", 0, 0);
  ASSERT_EQ(0, server->zkFileUpload("u1", up, index));
  EXPECT_EQ("short", ReadFile(Store() + "/wire.txt"));

  // Nothing is written outside the area: a parent path, a link to a folder outside, a file name
  // that is a link to a file outside.
  const std::string outside = fixture_->dir() + "/outside";
  Put(outside + "/secret", "s");
  ASSERT_EQ(0, symlink(outside.c_str(), (Store() + "/out").c_str()));
  ASSERT_EQ(0, symlink((outside + "/secret").c_str(), (Store() + "/link").c_str()));
  for (std::pair<const char*, const char*> escape :
       {std::make_pair("..\\", "escaped"), std::make_pair("out\\", "escaped"),
        std::make_pair("\\", "link")}) {
    up = OneChunk(escape.second, "planted", 0, 0);
    up[0].filePath = escape.first;
    EXPECT_EQ(20, server->zkFileUpload("u1", up, index)) << escape.first;
    EXPECT_EQ(1, index);
  }
  EXPECT_FALSE(Exists(fixture_->dir() + "/store/escaped"));
  EXPECT_FALSE(Exists(outside + "/escaped"));
  EXPECT_EQ("s", ReadFile(outside + "/secret"));

  // Requests that would make the server allocate more than one reply can carry, or read before
  // the start, are refused; a sound one is served.
  for (std::pair<long, long> bad : {std::make_pair(0L, static_cast<long>(kMaxMessageBytes) + 1),
                                    std::make_pair(0L, -1L), std::make_pair(-5L, 4L)}) {
    ZKmd::zkSeqFileBuf down = OneChunk("wire.txt", "", bad.first, bad.second);
    EXPECT_EQ(20, server->zkFileDownload("u1", down, index)) << bad.first << " " << bad.second;
    EXPECT_EQ(1, index);
  }
  ZKmd::zkSeqFileBuf down = OneChunk("wire.txt", "", 1, 3);
  ASSERT_EQ(0, server->zkFileDownload("u1", down, index));
  ASSERT_EQ(3u, down[0].fileBuf.length());
  EXPECT_EQ('h', static_cast<char>(down[0].fileBuf[0]));
  EXPECT_EQ(5, down[0].fileSize);
  EXPECT_STREQ("2020/01/02 03:04:05", down[0].updDt.in());
}

TEST_F(CopyTest, ArgumentsAreCheckedBeforeAnythingElse) {
  const std::string usage = "usage: " + Program("zkcp") +
                            " <送り側> <受け側> -u -r -e <環境設定ファイル名> -p <パスワード> \n";
  RunResult r = fixture_->RunClient("u1", "zkcp", {});
  EXPECT_TRUE(Ended(r, 20, usage, ""));
  r = fixture_->RunClient("u1", "zkcp", {"a", "::b", "c"});
  EXPECT_TRUE(Ended(r, 20, usage, ""));
  r = fixture_->RunClient("u1", "zkcp", {"a", "-x"});
  EXPECT_TRUE(Ended(r, 20, usage, ""));
  r = fixture_->RunClient("u1", "zkcp", {"::a", "::b"});
  EXPECT_TRUE(Ended(r, 20, "",
                    "ERROR:コピー元／コピー先どちらもサーバディレクトリが設定されいています。\n"));
  r = fixture_->RunClient("u1", "zkcp", {"a", "b"});
  EXPECT_TRUE(Ended(
      r, 20, "", "ERROR:コピー元／コピー先どちらもローカルディレクトリが設定されいています。\n"));
  // Checked before the environment file is even looked for.
  for (const char* bad : {"::..\\x", "::a/../b"}) {
    r = fixture_->RunClient("u1", "zkcp", {"a", bad, "-e", "missing.zkd"});
    EXPECT_TRUE(Ended(r, 20, "", "ERROR:サーバディレクトリに「..\\」「../」は指定できません。\n"))
        << bad;
  }
}

TEST_F(CopyTest, UnitThatIsNotAUsableNumberIsRefusedBeforeCopying) {
  const std::string env = Client() + "/bad-unit.zkd";
  const std::string good = Client() + "/client.zkd";
  WriteFile(env, ReadFile(good));
  Put(Client() + "/unit.txt", "u");
  for (const char* unit : {"abc", "0", "-5", "999999999"}) {
    ASSERT_EQ(WriteStatus::kDone, UpdateEnvSetting(env, "unit", unit, "", ""));
    RunResult r = Zkcp({"unit.txt", "::unit", "-e", "bad-unit.zkd"});
    EXPECT_TRUE(
        Ended(r, 20, "",
              "ERROR:転送単位(unit)は1から245760までのKB数で設定してください。(" + env + ")\n"))
        << unit;
  }
  EXPECT_FALSE(Exists(Store() + "/unit"));
}

}  // namespace
}  // namespace test
}  // namespace zk
