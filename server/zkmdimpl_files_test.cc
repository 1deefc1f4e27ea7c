// The servant's listing, existence and removal operations on a scratch storage directory,
// called directly (no ORB in between).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "server/connection_auth.h"
#include "server/zkmdimpl.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

class ServantFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/zk-files-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    env_ = root_ + "/server.zkd";
    area_ = root_ + "/store/u1/";
    ASSERT_EQ(0, CreateServerEnvFile(env_, "127.0.0.1", "2809", "2810", "1000"));
    ASSERT_EQ(0, AddUser(env_, "u1", "pw", root_ + "/store/u1"));
    ASSERT_EQ(0, mkdir((root_ + "/outside").c_str(), 0700));
    ASSERT_EQ(0, mkdir((root_ + "/outside/empty").c_str(), 0700));
    File(root_ + "/outside/secret", "secret");
    servant_.SetEnvFile(env_);
    ServerConnections().Authenticated(&connection_, "u1");
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + root_ + "'").c_str())); }

  static void File(const std::string& path, const std::string& data, time_t mtime = 0) {
    std::ofstream(path, std::ios::binary) << data;
    if (mtime) SetTime(path, mtime);
  }
  static void SetTime(const std::string& path, time_t mtime) {
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
  }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  // The area with the example layout: A.doc (100), b.txt (5), c (20), sub/.
  void Populate() {
    ASSERT_EQ(1, servant_.zkExistsDir("u1", ""));  // the lookup creates the area
    File(area_ + "b.txt", "12345", 1143886830);
    File(area_ + "A.doc", std::string(100, 'x'), 1143886831);
    File(area_ + "c", std::string(20, 'y'), 1143886832);
    ASSERT_EQ(0, mkdir((area_ + "sub").c_str(), 0700));
    SetTime(area_ + "sub", 1143886833);
  }
  std::vector<std::string> List(const char* dir, const char* mask, const char* key,
                                CORBA::ULong slots) {
    ZKmd::zkSeqFileLst list;
    list.length(slots);
    EXPECT_EQ(0, servant_.zkFileList("u1", dir, mask, key, list));
    std::vector<std::string> names;
    for (CORBA::ULong i = 0; i < list.length(); ++i) names.push_back(list[i].fileNm.in());
    return names;
  }

  std::string root_, env_, area_;
  ZKmdImpl servant_;
  // The calls come as over a connection on which u1 has authenticated.
  int connection_ = 0;
  CallScope call_{&connection_, "giop:tcp:127.0.0.1:1"};
};

using Names = std::vector<std::string>;

TEST_F(ServantFilesTest, ExistenceQueries) {
  EXPECT_FALSE(Exists(area_));
  EXPECT_EQ(1, servant_.zkExistsDir("u1", ""));  // created by the lookup
  Populate();
  EXPECT_EQ(1, servant_.zkExistsDir("u1", "sub"));
  EXPECT_EQ(1, servant_.zkExistsDir("u1", "sub\\"));
  EXPECT_EQ(1, servant_.zkExistsDir("u1", ".\\sub/"));
  EXPECT_EQ(0, servant_.zkExistsDir("u1", "b.txt"));
  EXPECT_EQ(0, servant_.zkExistsDir("u1", "none"));
  EXPECT_EQ(1, servant_.zkExistsFile("u1", "b.txt"));
  EXPECT_EQ(1, servant_.zkExistsFile("u1", "\\b.txt"));
  EXPECT_EQ(0, servant_.zkExistsFile("u1", "sub"));
  EXPECT_EQ(0, servant_.zkExistsFile("u1", "none"));
  EXPECT_EQ(0, servant_.zkExistsFile("u1", "b.txt\\"));
}

TEST_F(ServantFilesTest, ListStaysWithinTheSlotsSent) {
  Populate();
  // Fewer slots than entries: the first ones in search order are kept, then sorted.
  EXPECT_EQ((Names{"b.txt", "A.doc"}), List(".\\", "*.*", "sz", 2));

  // More slots than entries: the rest come back as sent.
  ZKmd::zkSeqFileLst list;
  list.length(6);
  list[5].fileNm = "keep";
  list[5].fileSize = 77;
  ASSERT_EQ(0, servant_.zkFileList("u1", ".\\", "*.*", "nm", list));
  EXPECT_EQ(6u, list.length());
  EXPECT_STREQ("sub", list[3].fileNm);
  EXPECT_STREQ("", list[4].fileNm);
  EXPECT_STREQ("keep", list[5].fileNm);
  EXPECT_EQ(77, list[5].fileSize);

  // Nothing found: untouched.
  ZKmd::zkSeqFileLst none;
  none.length(1);
  none[0].fileNm = "keep";
  EXPECT_EQ(0, servant_.zkFileList("u1", ".\\", "*.zip", "nm", none));
  EXPECT_STREQ("keep", none[0].fileNm);
  ZKmd::zkSeqFileLst empty;
  EXPECT_EQ(0, servant_.zkFileList("u1", ".\\", "*.*", "nm", empty));
  EXPECT_EQ(0u, empty.length());
}

TEST_F(ServantFilesTest, ZeroTimeListsAsNoTime) {
  Populate();
  SetTime(area_ + "c", 0);
  EXPECT_EQ((Names{"c"}), List(".\\", "c", "", 1));
  ZKmd::zkSeqFileLst list;
  list.length(1);
  servant_.zkFileList("u1", "", "c", "", list);
  EXPECT_STREQ("1899/12/30 00:00:00", list[0].updDt);
}

TEST_F(ServantFilesTest, RemovalOfFilesAndDirectories) {
  Populate();
  EXPECT_EQ(0, servant_.zkFileRemove("u1", "b.txt"));
  EXPECT_FALSE(Exists(area_ + "b.txt"));
  EXPECT_EQ(-1, servant_.zkFileRemove("u1", "b.txt"));
  EXPECT_EQ(-1, servant_.zkFileRemove("u1", "sub"));
  EXPECT_TRUE(Exists(area_ + "sub"));
  EXPECT_EQ(-1, servant_.zkDirRemove("u1", "c"));
  EXPECT_TRUE(Exists(area_ + "c"));

  // A directory with content stays, and the answer is still 0.
  File(area_ + "sub/x", "x");
  EXPECT_EQ(0, servant_.zkDirRemove("u1", "sub"));
  EXPECT_TRUE(Exists(area_ + "sub/x"));
  ASSERT_EQ(0, servant_.zkFileRemove("u1", "sub\\x"));
  EXPECT_EQ(0, servant_.zkDirRemove("u1", "sub\\"));
  EXPECT_FALSE(Exists(area_ + "sub"));
  EXPECT_EQ(-1, servant_.zkDirRemove("u1", "sub"));

  // The area itself: removed once empty, created again by the next lookup.
  ASSERT_EQ(0, servant_.zkFileRemove("u1", "A.doc"));
  ASSERT_EQ(0, servant_.zkFileRemove("u1", "c"));
  EXPECT_EQ(0, servant_.zkDirRemove("u1", ""));
  EXPECT_FALSE(Exists(area_));
  EXPECT_EQ(-1, servant_.zkFileRemove("u1", "c"));
  EXPECT_TRUE(Exists(area_));
}

TEST_F(ServantFilesTest, UnregisteredUsersGetNothing) {
  Populate();
  for (const char* user : {"nobody", ""}) {
    SCOPED_TRACE(user);
    EXPECT_EQ(0, servant_.zkExistsDir(user, ""));
    EXPECT_EQ(0, servant_.zkExistsFile(user, "/etc/passwd"));
    EXPECT_EQ(0, servant_.zkFileCount(user, "\\", "*.*"));
    ZKmd::zkSeqFileLst list;
    list.length(3);
    EXPECT_EQ(0, servant_.zkFileList(user, "\\", "*.*", "nm", list));
    EXPECT_STREQ("", list[0].fileNm);
    EXPECT_EQ(-1, servant_.zkFileRemove(user, (area_ + "c").c_str()));
    EXPECT_EQ(-1, servant_.zkDirRemove(user, (root_ + "/outside/empty").c_str()));
  }
  EXPECT_TRUE(Exists(area_ + "c"));
  EXPECT_TRUE(Exists(root_ + "/outside/empty"));
}

}  // namespace
}  // namespace zk
