// The user's settings folder that the client tools search after the two folders of the location
// rule: which variable wins and when neither gives a usable folder.
#include "platform/startdir.h"

#include <gtest/gtest.h>

namespace zk {
namespace {

TEST(UserConfigDirTest, XdgConfigHomeThenHomeOnlyWhenAbsolute) {
  EXPECT_EQ("/x/conf/zk", UserConfigDir("/x/conf", "/home/u"));
  EXPECT_EQ("/x/conf/zk", UserConfigDir("/x/conf/", "/home/u"));
  // Unset, empty or relative XDG_CONFIG_HOME: the default under HOME.
  EXPECT_EQ("/home/u/.config/zk", UserConfigDir(nullptr, "/home/u"));
  EXPECT_EQ("/home/u/.config/zk", UserConfigDir("", "/home/u"));
  EXPECT_EQ("/home/u/.config/zk", UserConfigDir("conf", "/home/u/"));
  // No absolute folder at all: no third place (never one relative to the program's folder).
  EXPECT_EQ("", UserConfigDir(nullptr, nullptr));
  EXPECT_EQ("", UserConfigDir("conf", "home/u"));
  EXPECT_EQ("", UserConfigDir("", ""));
}

}  // namespace
}  // namespace zk
