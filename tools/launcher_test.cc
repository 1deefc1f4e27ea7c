// How the launchers find the program they start and the naming service's data folder, on a file
// system in memory: the current directory's executable file first, else the bare name for PATH.
#include "tools/launcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/fs_memory.h"
#include "platform/startdir.h"

namespace zk {
namespace {

TEST(LauncherTest, ProgramsBesideTheLauncherThenPath) {
  const std::string before = CurrentDir();
  ASSERT_EQ(0, chdir("/"));  // the memory file system's relative paths start at "/"
  MemoryFileSystem fs;
  fs.AddFile("/zksvr", "");
  fs.SetMode("/zksvr", 0755);
  fs.AddFile("/omniNames", "");  // not executable
  fs.AddDir("/zkkill");
  EXPECT_EQ("/zksvr", LocateProgram(&fs, "zksvr"));
  EXPECT_EQ("omniNames", LocateProgram(&fs, "omniNames"));
  EXPECT_EQ("zkkill", LocateProgram(&fs, "zkkill"));
  EXPECT_EQ("other", LocateProgram(&fs, "other"));

  EXPECT_EQ("/nsdata", PrepareNamingDataDir(&fs));
  EXPECT_EQ(0700, fs.Mode("/nsdata"));
  ASSERT_EQ(0, chdir(before.c_str()));
}

}  // namespace
}  // namespace zk
