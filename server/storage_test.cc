// Confinement of wire paths to a user's storage directory, and the lookup of that directory.
#include "server/storage.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <utility>

#include "settings/zkdb.h"

namespace zk {
namespace {

// A temporary folder holding an area "area/" and something outside it ("outside/secret").
class AreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-storage-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    area_ = root_ + "/area/";
    ASSERT_EQ(0, mkdir(area_.c_str(), 0700));
    ASSERT_EQ(0, mkdir((root_ + "/outside").c_str(), 0700));
    std::ofstream(root_ + "/outside/secret") << "x";
    ASSERT_EQ(0, mkdir((area_ + "docs").c_str(), 0700));
    std::ofstream(area_ + "docs/a.txt") << "a";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }

  // The joined path, or "REFUSED".
  std::string Resolve(const std::string& rel) {
    std::string out;
    return ResolveInArea(area_, rel, &out) ? out : "REFUSED";
  }
  void Link(const std::string& target, const std::string& name) {
    ASSERT_EQ(0, symlink(target.c_str(), (area_ + name).c_str()));
  }

  std::string root_;
  std::string area_;
};

TEST_F(AreaTest, JoinsEveryFormInsideTheArea) {
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
      {"a..b\\..c", "a..b/..c"},           // dots in names are names
      {"docs\\a.txt\\x", "docs/a.txt/x"},  // below a file: finds nothing
      // Leading separators and absolute paths stay inside.
      {"\\", ""},
      {"\\docs", "docs"},
      {"/etc/passwd", "etc/passwd"},
      {"C:\\Windows", "C:/Windows"},
      {"//srv\\\\x", "srv/x"}};
  for (const auto& c : cases) EXPECT_EQ(area_ + c.second, Resolve(c.first)) << c.first;
}

TEST_F(AreaTest, RefusesParentComponentsInEveryForm) {
  for (const char* rel : {"..", "..\\", "../", "..\\outside\\secret", "../outside/secret",
                          "docs\\..\\..\\outside", "docs/../../outside", "docs\\..", "docs/..",
                          "docs\\../a.txt", "\\..\\x", "./../x", "docs\\a.txt\\..\\.."}) {
    EXPECT_EQ("REFUSED", Resolve(rel)) << rel;
  }
}

TEST_F(AreaTest, RefusesSymbolicLinksLeadingOutside) {
  Link(root_ + "/outside", "out");               // a directory outside
  Link(root_ + "/outside/secret", "secret");     // a file outside
  Link(root_ + "/outside/missing", "dangling");  // would create a file outside
  Link("../outside", "docs/rel");                // relative target, outside
  Link("loop", "loop");                          // does not resolve at all
  for (const char* rel :
       {"out", "out\\", "out\\secret", "out\\*.*", "out\\new\\deeper", "secret", "secret\\x",
        "dangling", "dangling\\x", "docs\\rel", "docs\\rel\\secret", "loop", "loop\\x"}) {
    EXPECT_EQ("REFUSED", Resolve(rel)) << rel;
  }
}

TEST_F(AreaTest, AllowsSymbolicLinksThatStayInside) {
  Link(area_ + "docs", "docs2");
  Link("a.txt", "docs/alias");
  EXPECT_EQ(area_ + "docs2/a.txt", Resolve("docs2\\a.txt"));
  EXPECT_EQ(area_ + "docs/alias", Resolve("docs\\alias"));

  // The area itself may be reached through a link.
  std::string linked_area = root_ + "/linked";
  ASSERT_EQ(0, symlink(area_.c_str(), linked_area.c_str()));
  std::string out;
  ASSERT_TRUE(ResolveInArea(linked_area + "/", "docs\\a.txt", &out));
  EXPECT_EQ(linked_area + "/docs/a.txt", out);
  EXPECT_FALSE(ResolveInArea(linked_area + "/", "..\\area", &out));
}

// The lookup reads the registry of a real server environment file.
TEST_F(AreaTest, StorageDirOfRegisteredUsersOnly) {
  std::string env = root_ + "/server.zkd";
  ASSERT_EQ(0, CreateServerEnvFile(env, "127.0.0.1", "2809", "2810", "1000"));
  std::string missing = root_ + "/store/u1";
  ASSERT_EQ(0, AddUser(env, "u1", "pw", missing));

  std::string dir = "stale";
  ASSERT_TRUE(GetUserStorageDir(env, "u1", &dir));
  EXPECT_EQ(missing + "/", dir);
  struct stat st;
  EXPECT_EQ(0, stat(missing.c_str(), &st));  // created with its parents
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 0777u);

  EXPECT_FALSE(GetUserStorageDir(env, "nobody", &dir));
  EXPECT_EQ("", dir);
  EXPECT_FALSE(GetUserStorageDir(env, "", &dir));
  EXPECT_FALSE(GetUserStorageDir(root_ + "/no-such.zkd", "u1", &dir));
  EXPECT_FALSE(ResolveInArea("", "docs", &dir));  // no area, no path
  EXPECT_EQ("", dir);
}

}  // namespace
}  // namespace zk
