// Wire paths as paths inside a user's storage area, and the lookup of that area. What the area's
// file system lets a path reach is tested with it (platform/fs_beneath_test.cc).
#include "server/storage.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <utility>

#include "server/uploads.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

// Wire paths as paths inside an area.
std::string Rel(const std::string& wire) {
  std::string out;
  return AreaRelativePath(wire, &out) ? out : "REFUSED";
}

TEST(AreaPathTest, JoinsEveryFormInsideTheArea) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {".", ""},
      {".\\", ""},
      {"docs\\a.txt", "docs/a.txt"},
      {"docs/a.txt", "docs/a.txt"},
      {".\\docs\\.\\a.txt", "docs/a.txt"},
      {"docs\\", "docs/"},
      {"docs\\*.*", "docs/*.*"},           // a trailing separator is kept
      {"new\\deeper\\f", "new/deeper/f"},  // not there yet (an upload's)
      {"...", "..."},
      {"a..b\\..c", "a..b/..c"},  // dots in names are names
      // Leading separators and absolute paths stay inside.
      {"\\", ""},
      {"\\docs", "docs"},
      {"/etc/passwd", "etc/passwd"},
      {"C:\\Windows", "C:/Windows"},
      {"//srv\\\\x", "srv/x"}};
  for (const auto& c : cases) EXPECT_EQ(c.second, Rel(c.first)) << c.first;
}

TEST(AreaPathTest, RefusesParentComponentsInEveryForm) {
  for (const char* wire : {"..", "..\\", "../", "..\\outside\\secret", "../outside/secret",
                           "docs\\..\\..\\outside", "docs/../../outside", "docs\\..", "docs/..",
                           "docs\\../a.txt", "\\..\\x", "./../x", "docs\\a.txt\\..\\.."}) {
    EXPECT_EQ("REFUSED", Rel(wire)) << wire;
  }
}

// Whatever reaches the area, no path names the temporary file of an upload in progress (to read,
// list, remove, or write over it).
TEST(AreaPathTest, RefusesTheTemporaryFilesOfUploads) {
  const std::string temp = NewUploadTempName();
  for (const std::string& wire : {temp, "docs\\" + temp, temp + "\\x", "\\" + temp + "\\"}) {
    EXPECT_EQ("REFUSED", Rel(wire));
  }
  EXPECT_EQ("docs/zk-upload.1", Rel("docs\\zk-upload.1"));
}

// The lookup reads the registry of a real server environment file.
TEST(AreaPathTest, AreasOfRegisteredUsersOnly) {
  char tmpl[] = "/tmp/zk-storage-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string root = tmpl;
  std::string env = root + "/server.zkd";
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(env, "127.0.0.1", "2809", "2810", "1000"));
  std::string missing = root + "/store/u1";
  ASSERT_EQ(WriteStatus::kDone, AddUser(env, "u1", "pw", missing));

  std::string dir = "stale";
  ASSERT_TRUE(GetUserStorageDir(FileSystem::Default(), env, "u1", &dir));
  EXPECT_EQ(missing + "/", dir);
  struct stat st;
  EXPECT_EQ(0, stat(missing.c_str(), &st));  // created with its parents
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 0777u);
  std::ofstream(missing + "/a.txt") << "a";
  std::unique_ptr<FileSystem> area = OpenUserArea(FileSystem::Default(), env, "u1");
  ASSERT_NE(nullptr, area);
  DirEntry entry;
  EXPECT_TRUE(area->Stat("a.txt", &entry));
  EXPECT_EQ(1, entry.size);

  EXPECT_FALSE(GetUserStorageDir(FileSystem::Default(), env, "nobody", &dir));
  EXPECT_EQ("", dir);
  EXPECT_FALSE(GetUserStorageDir(FileSystem::Default(), env, "", &dir));
  EXPECT_FALSE(GetUserStorageDir(FileSystem::Default(), root + "/no-such.zkd", "u1", &dir));
  EXPECT_EQ(nullptr, OpenUserArea(FileSystem::Default(), env, "nobody"));

  // The file stays open between lookups: a user removed, or registered again with another
  // directory, is seen by the very next lookup, also after a lookup in another file.
  ASSERT_TRUE(GetUserStorageDir(FileSystem::Default(), env, "u1", &dir));
  ASSERT_EQ(WriteStatus::kDone, DeleteUser(env, "u1"));
  EXPECT_FALSE(GetUserStorageDir(FileSystem::Default(), env, "u1", &dir));
  const std::string moved = root + "/store/moved";
  ASSERT_EQ(WriteStatus::kDone, AddUser(env, "u1", "pw", moved));
  ASSERT_TRUE(GetUserStorageDir(FileSystem::Default(), env, "u1", &dir));
  EXPECT_EQ(moved + "/", dir);
  EXPECT_EQ(0, system(("rm -rf '" + root + "'").c_str()));
}

}  // namespace
}  // namespace zk
