// The server-path notation: normalisation of what follows "::" and its split into directory and
// mask, as zkls, zkrm and zkcp send them.
#include "clients/session.h"

#include <gtest/gtest.h>

namespace zk {
namespace {

std::string Normalised(const std::string& arg) {
  std::string out = "untouched";
  EXPECT_TRUE(NormaliseServerPath(arg, &out)) << arg;
  return out;
}

TEST(ServerPathTest, NormalisesPrefixSeparatorsAndLeadingSeparator) {
  EXPECT_EQ("", Normalised("::"));
  EXPECT_EQ("docs", Normalised("::docs"));
  EXPECT_EQ(".\\docs", Normalised("::\\docs"));
  EXPECT_EQ(".\\docs", Normalised("::/docs"));
  EXPECT_EQ("a\\b\\c.txt", Normalised("::a/b\\c.txt"));
  EXPECT_EQ(".\\", Normalised("::/"));
  // Only the sequences "..\" and "../" are refused; dots elsewhere are names.
  EXPECT_EQ("a..b\\..x", Normalised("::a..b\\..x"));
  EXPECT_EQ("a\\..", Normalised("::a\\.."));
}

TEST(ServerPathTest, RefusesParentDirectoryInEitherSpelling) {
  for (const char* bad : {"::..\\x", "::../x", "::a/../b", "::a\\..\\b", "::\\..\\", "::x/..\\y"}) {
    std::string out = "untouched";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NormaliseServerPath(bad, &out)) << bad;
    EXPECT_EQ("ERROR:サーバディレクトリに「..\\」「../」は指定できません。\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ("untouched", out);
  }
}

TEST(ServerPathTest, SplitsIntoDirectoryAndMask) {
  struct Case {
    const char* path;
    const char* dir;
    const char* mask;
  } cases[] = {
      {"", ".\\", "*.*"},         {"docs\\*.txt", "docs\\", "*.txt"},
      {"docs", ".\\", "docs"},    {"a\\b\\", "a\\b\\", "*.*"},
      {".\\docs", ".\\", "docs"}, {".\\", ".\\", "*.*"},
      {"a\\b\\c", "a\\b\\", "c"}, {"a\\\\b", "a\\", "b"},  // a doubled separator keeps one
      {"c:x", "c\\", "x"},                                 // ":" also ends the directory part
      {"\\x", ".\\", "x"},
  };
  for (const Case& c : cases) {
    ServerPath p = SplitServerPath(c.path);
    EXPECT_EQ(c.dir, p.dir) << c.path;
    EXPECT_EQ(c.mask, p.mask) << c.path;
  }
}

TEST(ServerPathTest, TypedPathsEndToEnd) {
  std::string n;
  ASSERT_TRUE(NormaliseServerPath("::/logs/*.tmp", &n));
  ServerPath p = SplitServerPath(n);
  EXPECT_EQ(".\\logs\\", p.dir);
  EXPECT_EQ("*.tmp", p.mask);
}

}  // namespace
}  // namespace zk
