// The location rule of environment files on a file system in memory, and the user's settings
// folder that the client tools search after the two folders of the rule: which variable wins and
// when neither gives a usable folder.
#include "platform/startdir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/fs_memory.h"

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

// The rule as a program started by a bare name (no directory to move to) sees it, from "/" so that
// the starting directory and the memory file system agree.
TEST(LocateEnvFileTest, FoundNamesBecomeAbsoluteOthersStayAsGiven) {
  const std::string before = CurrentDir();
  const char* xdg = getenv("XDG_CONFIG_HOME");
  const std::string xdg_before = xdg ? xdg : "";
  ASSERT_EQ(0, chdir("/"));
  setenv("XDG_CONFIG_HOME", "/conf", 1);
  MemoryFileSystem fs;
  fs.AddFile("/w/server.zkd", "");
  fs.AddFile("/w/client.zkd", "");
  fs.AddFile("/conf/zk/client.zkd", "");
  fs.AddFile("/conf/zk/only.zkd", "");
  fs.AddDir("/w/folder.zkd");
  struct Case {
    const char* name;
    std::string server_rule;  // LocateEnvFile
    std::string user_rule;    // LocateUserEnvFile
  };
  for (const Case& c : {Case{"w/server.zkd", "/w/server.zkd", "/w/server.zkd"},
                        Case{"./w/../w/client.zkd", "/w/client.zkd", "/w/client.zkd"},
                        Case{"only.zkd", "only.zkd", "/conf/zk/only.zkd"},
                        Case{"client.zkd", "client.zkd", "/conf/zk/client.zkd"},
                        Case{"w/folder.zkd", "w/folder.zkd", "w/folder.zkd"},
                        Case{"/none/only.zkd", "/none/only.zkd", "/none/only.zkd"},
                        Case{"none.zkd", "none.zkd", "none.zkd"}}) {
    std::string start;
    EXPECT_EQ(c.server_rule, LocateEnvFile(&fs, c.name, "zktool", &start)) << c.name;
    EXPECT_EQ("/", start);
    EXPECT_EQ(c.user_rule, LocateUserEnvFile(&fs, c.name, "zktool")) << c.name;
  }
  if (xdg) {
    setenv("XDG_CONFIG_HOME", xdg_before.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  ASSERT_EQ(0, chdir(before.c_str()));
}

}  // namespace
}  // namespace zk
