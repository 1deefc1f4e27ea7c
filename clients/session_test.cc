// The "::" server-path notation of the client tools: normalisation (separators, the root, the
// refused parent sequences) and the split into directory and mask.
#include "clients/session.h"

#include <gtest/gtest.h>

#include <string>

namespace zk {
namespace {

TEST(ServerPathTest, NormalisedThenSplit) {
  struct Case {
    const char* arg;
    const char* normalised;
    const char* dir;
    const char* mask;
  };
  for (const Case& c : {Case{"::", "", ".\\", "*.*"}, Case{"::a.txt", "a.txt", ".\\", "a.txt"},
                        Case{"::/", ".\\", ".\\", "*.*"},
                        Case{"::\\logs\\*.tmp", ".\\logs\\*.tmp", ".\\logs\\", "*.tmp"},
                        Case{"::logs/2024/", "logs\\2024\\", "logs\\2024\\", "*.*"},
                        // The last separator goes, and a "\" is put back unless one is left.
                        Case{"::d\\\\e", "d\\\\e", "d\\", "e"}, Case{"::c:x", "c:x", "c\\", "x"},
                        Case{"::a..b\\..c", "a..b\\..c", "a..b\\", "..c"}}) {
    std::string out = "stale";
    ASSERT_TRUE(NormaliseServerPath(c.arg, &out)) << c.arg;
    EXPECT_EQ(c.normalised, out) << c.arg;
    ServerPath split = SplitServerPath(out);
    EXPECT_EQ(c.dir, split.dir) << c.arg;
    EXPECT_EQ(c.mask, split.mask) << c.arg;
  }
  for (const char* refused : {"::..\\x", "::../x", "::a/../b", "::a\\..\\", "::\\..\\"}) {
    std::string out = "kept";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NormaliseServerPath(refused, &out)) << refused;
    EXPECT_EQ("ERROR:サーバディレクトリに「..\\」「../」は指定できません。\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ("kept", out);
  }
}

}  // namespace
}  // namespace zk
