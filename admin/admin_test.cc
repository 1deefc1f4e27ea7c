// The storage directory zkau makes for a new user: which directory a typed one names, and the
// modes it is made with (the directory itself owner-only, missing parents ordinary), on a file
// system in memory.
#include "admin/admin.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/fs_memory.h"

namespace zk {
namespace {

TEST(StorageDirTest, TypedDirectoryToCreate) {
  for (const auto& c : {std::pair<const char*, const char*>{"/srv/u1/", "/srv/u1"},
                        {"/srv/u1\\", "/srv/u1"},
                        {"/srv/u1", "/srv/u1"},
                        {"store/u1//", "store/u1/"},
                        {"/", ""},
                        {"//", ""},
                        {"\\", ""}}) {
    EXPECT_EQ(c.second, StorageDirToCreate(c.first)) << c.first;
  }
}

TEST(StorageDirTest, OwnerOnlyDirectoryUnderOrdinaryParents) {
  MemoryFileSystem fs;
  fs.AddDir("/srv");
  fs.SetMode("/srv", 0711);
  fs.AddFile("/srv/file", "");
  ASSERT_TRUE(CreateStorageDir(&fs, "/srv/a/b/u1"));
  EXPECT_EQ(0700, fs.Mode("/srv/a/b/u1"));
  EXPECT_EQ(0755, fs.Mode("/srv/a/b"));
  EXPECT_EQ(0755, fs.Mode("/srv/a"));
  EXPECT_EQ(0711, fs.Mode("/srv"));  // an existing parent keeps its mode

  // An existing directory is fine as it is; a file on the way or in the place is not.
  fs.SetMode("/srv/a/b/u1", 0750);
  EXPECT_TRUE(CreateStorageDir(&fs, "/srv/a/b/u1"));
  EXPECT_EQ(0750, fs.Mode("/srv/a/b/u1"));
  EXPECT_FALSE(CreateStorageDir(&fs, "/srv/file/u2"));
  EXPECT_FALSE(CreateStorageDir(&fs, "/srv/file"));
  EXPECT_FALSE(CreateStorageDir(&fs, ""));
}

}  // namespace
}  // namespace zk
