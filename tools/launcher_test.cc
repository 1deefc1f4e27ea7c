// How the launchers find the program they start and the naming service's data folder, on a file
// system in memory: the current directory's executable file first, else the bare name for PATH.
#include "tools/launcher.h"

#include <gtest/gtest.h>

#include "platform/fs_memory.h"

namespace zk {
namespace {

TEST(LauncherTest, ProgramsBesideTheLauncherThenPath) {
  MemoryFileSystem fs;
  fs.AddFile("/zksvr", "");
  fs.SetMode("/zksvr", 0755);
  fs.AddFile("/omniNames", "");  // not executable
  fs.AddDir("/zkkill");
  EXPECT_EQ("/zksvr", LocateProgram(&fs, "/", "zksvr"));
  EXPECT_EQ("omniNames", LocateProgram(&fs, "/", "omniNames"));
  EXPECT_EQ("zkkill", LocateProgram(&fs, "/", "zkkill"));
  EXPECT_EQ("other", LocateProgram(&fs, "/", "other"));

  EXPECT_EQ("/nsdata", PrepareNamingDataDir(&fs, "/"));
  EXPECT_EQ(0700, fs.Mode("/nsdata"));
}

// Only the directory the launcher is told of counts: the same programs one level up, or at the
// file system's own current directory, are not taken for the launcher's.
TEST(LauncherTest, TheGivenDirectoryIsTheOneLookedIn) {
  MemoryFileSystem fs("/elsewhere");
  for (const char* path : {"/opt/zk/bin/zksvr", "/opt/zk/omniNames", "/elsewhere/omniNames"}) {
    fs.AddFile(path, "");
    fs.SetMode(path, 0755);
  }
  EXPECT_EQ("/opt/zk/bin/zksvr", LocateProgram(&fs, "/opt/zk/bin", "zksvr"));
  EXPECT_EQ("omniNames", LocateProgram(&fs, "/opt/zk/bin", "omniNames"));
  EXPECT_EQ("/opt/zk/omniNames", LocateProgram(&fs, "/opt/zk/bin/..", "omniNames"));

  EXPECT_EQ("/opt/zk/bin/nsdata", PrepareNamingDataDir(&fs, "/opt/zk/bin"));
  EXPECT_EQ(0700, fs.Mode("/opt/zk/bin/nsdata"));
  EXPECT_EQ(-1, fs.Mode("/elsewhere/nsdata"));
  // A directory that is not there: the folder cannot be made, its name is still the answer.
  EXPECT_EQ("/none/nsdata", PrepareNamingDataDir(&fs, "/none"));
  EXPECT_EQ(-1, fs.Mode("/none/nsdata"));
}

}  // namespace
}  // namespace zk
