// zkls and zkrm against a real naming service and zksvr: listing layout and sort orders, the
// directory-versus-contents forms of a path, removal of files and empty directories, and requests
// that try to leave the user's storage area, through the tools and straight through the interface.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kPrompt[] = "パスワードを入力してください\n\n";
const char kHeadRoot[] = "\n .\\のディレクトリ\n\n";
const char kParentRefused[] = "ERROR:サーバディレクトリに「..\\」「../」は指定できません。\n";
const char kRemoved0[] = "                 0 個のディレクトリ・ファイルを削除しました。\n";
const char kRemoved1[] = "                 1 個のディレクトリ・ファイルを削除しました。\n";
const char kRemoved2[] = "                 2 個のディレクトリ・ファイルを削除しました。\n";
const char kLsUsageShort[] = "<ディレクトリ名> -e <環境設定ファイル名> -p <パスワード> \n";
const char kRmUsage[] = "<ファイル名> -e <環境設定ファイル名> -p <パスワード> \n";

// 2006/04/01 10:20:30 in the time zone below (UTC+9), the zone of the server and the tools.
const time_t kExampleTime = 1143854430;
const char kZone[] = "TZ=JST-9";

class ListingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    putenv(const_cast<char*>(kZone));  // inherited by the server and every tool
    fixture_ = new ServerFixture();
    fixture_->AddUser("u1", "pw1");
    fixture_->AddUser("u2", "pw2");
    fixture_->Start();
  }
  static void TearDownTestSuite() {
    delete fixture_;
    fixture_ = nullptr;
  }
  void SetUp() override {
    ASSERT_FALSE(HasFatalFailure());
    // Each test starts from empty areas.
    for (const char* user : {"u1", "u2"}) {
      std::string dir = fixture_->storage_dir(user);
      ASSERT_EQ(0, system(("rm -rf '" + dir + "' && mkdir '" + dir + "'").c_str()));
    }
  }

  static std::string Area(const std::string& rel = "") {
    return fixture_->storage_dir("u1") + "/" + rel;
  }
  static void File(const std::string& path, size_t size, time_t mtime = kExampleTime) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    Touch(path, mtime);
  }
  static void Dir(const std::string& path, time_t mtime = kExampleTime) {
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    Touch(path, mtime);
  }
  static void Touch(const std::string& path, time_t mtime) {
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), ts, 0));
  }
  static RunResult Tool(const std::string& tool, std::vector<std::string> args,
                        const std::string& input = "") {
    return fixture_->RunClient("u1", tool, args, input);
  }
  // The entry names of a zkls output, in order.
  static std::vector<std::string> Names(const std::string& out) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < out.size()) {
      size_t end = out.find('\n', pos);
      std::string line = out.substr(pos, end - pos);
      if (line.size() > 38 && line[4] == '/') names.push_back(line.substr(38));
      pos = end + 1;
    }
    return names;
  }

  static inline ServerFixture* fixture_ = nullptr;
};

using Strings = std::vector<std::string>;

TEST_F(ListingTest, ListsTheExampleDirectory) {
  Dir(Area("sub"));
  File(Area("a.txt"), 1234);
  RunResult r = Tool("zkls", {"-p", "pw1", "-o", "G"});  // directories first
  EXPECT_TRUE(Ended(r, 0,
                    std::string(kHeadRoot) +
                        "2006/04/01 10:20:30 <DIR>             sub\n"
                        "2006/04/01 10:20:30             1,234 a.txt\n"
                        "                 1 個のファイル                     1,234 バイト\n"
                        "                 1 個のディレクトリ  \n",
                    ""));

  // The same from the prompt, with the path given explicitly.
  r = Tool("zkls", {"::", "-o", "n"}, "pw1\n");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find(std::string(kPrompt) + kHeadRoot));
  EXPECT_EQ((Strings{"a.txt", "sub"}), Names(r.out));
}

TEST_F(ListingTest, SortOrders) {
  File(Area("b.txt"), 5, kExampleTime + 30);
  File(Area("A.doc"), 100, kExampleTime + 10);
  File(Area(".c"), 20, kExampleTime + 20);  // hidden entries are listed too
  Dir(Area("sub"), kExampleTime + 40);
  const Strings found = {".c", "A.doc", "b.txt", "sub"};  // the search order

  EXPECT_EQ(found, Names(Tool("zkls", {"-p", "pw1"}).out));
  EXPECT_EQ((Strings{"sub", ".c", "A.doc", "b.txt"}),
            Names(Tool("zkls", {"-og", "-p", "pw1"}).out));
  EXPECT_EQ((Strings{"sub", "b.txt", ".c", "A.doc"}),
            Names(Tool("zkls", {"-p", "pw1", "-o", "S"}).out));
  EXPECT_EQ((Strings{"A.doc", ".c", "b.txt", "sub"}),
            Names(Tool("zkls", {"-o", "d", "-p", "pw1"}).out));
  EXPECT_EQ((Strings{".c", "A.doc", "b.txt", "sub"}),
            Names(Tool("zkls", {"-o", "f", "-p", "pw1"}).out));
  // Unknown values are ignored; an earlier valid one stays.
  EXPECT_EQ(found, Names(Tool("zkls", {"-o", "name", "-p", "pw1"}).out));
  EXPECT_EQ((Strings{"sub", "b.txt", ".c", "A.doc"}),
            Names(Tool("zkls", {"-o", "s", "-o", "name", "-p", "pw1"}).out));

  RunResult r = Tool("zkls", {"-p", "pw1", "-o", "s"});
  EXPECT_NE(std::string::npos,
            r.out.find("                 3 個のファイル                       125 バイト\n"
                       "                 1 個のディレクトリ  \n"))
      << r.out;
}

TEST_F(ListingTest, DirectoryItselfOrItsContents) {
  Dir(Area("docs"));
  File(Area("docs/x.txt"), 1);
  File(Area("docs/y.txt"), 2);
  Touch(Area("docs"), kExampleTime);

  RunResult r = Tool("zkls", {"::docs", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0,
                    std::string(kHeadRoot) + "2006/04/01 10:20:30 <DIR>             docs\n" +
                        "                 0 個のファイル                         0 バイト\n"
                        "                 1 個のディレクトリ  \n",
                    ""));

  for (const char* path : {"::docs\\", "::docs/", "::\\docs\\"}) {
    r = Tool("zkls", {path, "-p", "pw1"});
    EXPECT_EQ(0, r.status) << path << r.err;
    EXPECT_EQ(0u, r.out.find(std::string("\n ") + (path[2] == '\\' ? ".\\docs\\" : "docs\\") +
                             "のディレクトリ\n\n"))
        << r.out;
    EXPECT_EQ((Strings{"x.txt", "y.txt"}), Names(r.out)) << path;
  }
  r = Tool("zkls", {"::docs\\y*", "-p", "pw1"});
  EXPECT_EQ((Strings{"y.txt"}), Names(r.out));
}

TEST_F(ListingTest, NothingToListPrintsOnlyTheHeading) {
  RunResult r = Tool("zkls", {"-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, kHeadRoot, ""));
  File(Area("a.txt"), 1);
  r = Tool("zkls", {"::*.zip", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, kHeadRoot, ""));
  r = Tool("zkls", {"::missing\\", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, "\n missing\\のディレクトリ\n\n", ""));
}

TEST_F(ListingTest, CommandLineChecksComeFirst) {
  RunResult r = Tool("zkls", {"docs", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 20, "usage: " + Program("zkls") + " " + kLsUsageShort, ""));
  r = Tool("zkls", {"::a", "::b", "-p", "pw1"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ("usage: " + Program("zkls") + " " +
                "<ディレクトリ名> -e <環境設定ファイル名> -p <パスワード> -o <ソート順> \n",
            r.out);
  r = Tool("zkrm", {"logs", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 20, "usage: " + Program("zkrm") + " " + kRmUsage, ""));

  // The password is asked before the path is checked.
  r = Tool("zkls", {"::..\\x"}, "pw1\n");
  EXPECT_TRUE(Ended(r, 20, kPrompt, kParentRefused));
  r = Tool("zkrm", {"::a/../b", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 20, "", kParentRefused));

  // A wrong password lists nothing.
  File(Area("a.txt"), 1);
  r = Tool("zkrm", {"-p", "wrong"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ユーザ認証に失敗しました。\n"));
  EXPECT_TRUE(Exists(Area("a.txt")));
}

TEST_F(ListingTest, RemovesMatchingFilesAndEmptyDirectories) {
  Dir(Area("logs"));
  File(Area("logs/a.tmp"), 3);
  Dir(Area("logs/old.tmp"));
  Dir(Area("logs/full.tmp"));
  File(Area("logs/full.tmp/inner"), 1);
  File(Area("logs/keep.txt"), 1);

  RunResult r = Tool("zkrm", {"::logs\\*.tmp", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, std::string("logs\\a.tmp\nlogs\\old.tmp\n") + kRemoved2, ""));
  EXPECT_FALSE(Exists(Area("logs/a.tmp")));
  EXPECT_FALSE(Exists(Area("logs/old.tmp")));
  EXPECT_TRUE(Exists(Area("logs/full.tmp/inner")));
  EXPECT_TRUE(Exists(Area("logs/keep.txt")));

  // Masks that match nothing, and a directory with content named by itself.
  r = Tool("zkrm", {"::logs\\*.zip", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, kRemoved0, ""));
  r = Tool("zkrm", {"::logs", "-p", "pw1"});
  EXPECT_EQ(kRemoved0, r.out);
  EXPECT_TRUE(Exists(Area("logs")));

  // "logs\" empties the directory but keeps it; then "logs" removes it.
  r = Tool("zkrm", {"::logs\\", "-p", "pw1"});
  EXPECT_EQ(std::string("logs\\keep.txt\n") + kRemoved1, r.out);
  EXPECT_TRUE(Exists(Area("logs/full.tmp/inner")));
  ASSERT_EQ(0, unlink(Area("logs/full.tmp/inner").c_str()));
  r = Tool("zkrm", {"::logs/", "-p", "pw1"});
  EXPECT_EQ(std::string("logs\\full.tmp\n") + kRemoved1, r.out);
  r = Tool("zkrm", {"::logs", "-p", "pw1"});
  EXPECT_EQ(std::string(".\\logs\n") + kRemoved1, r.out);
  EXPECT_FALSE(Exists(Area("logs")));
}

TEST_F(ListingTest, NothingOutsideTheAreaIsRevealedOrTouched) {
  const std::string other = fixture_->storage_dir("u2");
  File(other + "/secret.txt", 6);
  Dir(other + "/emptydir");
  Dir(Area("docs"));
  ASSERT_EQ(0, symlink(other.c_str(), Area("link").c_str()));
  ASSERT_EQ(0, symlink((other + "/secret.txt").c_str(), Area("s.txt").c_str()));

  // Through the tools: a link inside the area leads nowhere.
  RunResult r = Tool("zkls", {"::link\\", "-p", "pw1"});
  EXPECT_TRUE(Ended(r, 0, "\n link\\のディレクトリ\n\n", ""));
  r = Tool("zkrm", {"::link\\*", "-p", "pw1"});
  EXPECT_EQ(kRemoved0, r.out);
  r = Tool("zkrm", {"::s.txt", "-p", "pw1"});
  EXPECT_EQ(kRemoved0, r.out);
  EXPECT_TRUE(Exists(Area("s.txt")));
  ASSERT_EQ(0, symlink("docs", Area("docs2").c_str()));
  r = Tool("zkls", {"-p", "pw1"});
  EXPECT_EQ((Strings{"docs", "docs2"}), Names(r.out));  // only the link that stays inside

  // Straight through the interface.
  ZKmd_var zk = ResolveServer(fixture_->ns_port());
  ASSERT_NE(0, zk->zkExistsUser("u1", "pw1"));
  const std::string abs = other + "/secret.txt";
  for (const std::string& dir :
       {std::string("..\\u2\\"), std::string("../u2"), std::string("docs\\..\\..\\u2"),
        std::string("link"), std::string("link\\"), other}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(0, zk->zkExistsDir("u1", dir.c_str()));
    EXPECT_EQ(0, zk->zkFileCount("u1", dir.c_str(), "*.*"));
    ZKmd::zkSeqFileLst_var list = new ZKmd::zkSeqFileLst;
    list->length(2);
    EXPECT_EQ(0, zk->zkFileList("u1", dir.c_str(), "*.*", "nm", list.inout()));
    EXPECT_STREQ("", list[0].fileNm.in());
    const std::string file = dir + "\\secret.txt";
    EXPECT_EQ(0, zk->zkExistsFile("u1", file.c_str()));
    EXPECT_EQ(-1, zk->zkFileRemove("u1", file.c_str()));
    EXPECT_EQ(-1, zk->zkDirRemove("u1", (dir + "\\emptydir").c_str()));
  }
  EXPECT_EQ(0, zk->zkFileCount("u1", "docs", "..\\..\\u2\\*"));
  EXPECT_EQ(0, zk->zkExistsFile("u1", abs.c_str()));
  EXPECT_EQ(-1, zk->zkFileRemove("u1", abs.c_str()));
  EXPECT_EQ(-1, zk->zkFileRemove("u1", "s.txt"));
  // An id without a registry row gets nothing, not even the root of the disk.
  EXPECT_EQ(0, zk->zkFileCount("ghost", "\\", "*.*"));
  EXPECT_EQ(0, zk->zkExistsDir("ghost", "/tmp"));
  EXPECT_EQ(-1, zk->zkFileRemove("ghost", abs.c_str()));
  EXPECT_EQ(-1, zk->zkDirRemove("ghost", (other + "/emptydir").c_str()));

  EXPECT_TRUE(Exists(other + "/secret.txt"));
  EXPECT_TRUE(Exists(other + "/emptydir"));
  // The area's own entries still answer as usual.
  EXPECT_EQ(1, zk->zkExistsDir("u1", "docs\\"));
  EXPECT_EQ(-1, zk->zkFileRemove("u1", "docs"));
}

}  // namespace
}  // namespace test
}  // namespace zk
