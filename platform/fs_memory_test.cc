// The memory file system stands in for the real one in unit tests, so it must answer as the real
// one does: one script of operations runs on both, on a scratch directory and in memory, and
// every answer is compared.
#include "platform/fs_memory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zk {
namespace {

const char* ErrorName(FsError error) {
  switch (error) {
    case FsError::kNone:
      return "none";
    case FsError::kNotFound:
      return "not-found";
    case FsError::kOutside:
      return "outside";
    case FsError::kNotRegular:
      return "not-regular";
    case FsError::kNoSpace:
      return "no-space";
    case FsError::kOther:
      break;
  }
  return "other";
}

// Runs the script on `fs` below `top` (a directory path of `fs`, ending in "/") and writes one
// line per answer.
std::vector<std::string> Script(FileSystem* fs, const std::string& top) {
  std::vector<std::string> log;
  auto say = [&](const std::string& what, bool ok) { log.push_back(what + (ok ? " yes" : " no")); };
  // A failed call also says why, in the terms callers act on: both file systems must agree there.
  auto tell = [&](const std::string& what, const FsStatus& status) {
    say(what, status.ok());
    if (!status) log.back() += " " + std::string(ErrorName(status.error));
  };
  auto listing = [&](const std::string& dir, const std::string& mask) {
    std::vector<DirEntry> found;
    std::string line =
        "search " + dir + " " + mask + (fs->Search(top + dir, mask, &found) ? ":" : " failed");
    for (const DirEntry& e : found) {
      line += " " + e.name + (e.is_dir ? "/" : "=" + std::to_string(e.size));
    }
    log.push_back(line);
  };
  tell("makedirs d/e", fs->MakeDirs(top + "d/e"));
  tell("makedir d/f", fs->MakeDir(top + "d/f", 0700));
  tell("makedir d/f again", fs->MakeDir(top + "d/f", 0700));
  tell("makedir x/y without parent", fs->MakeDir(top + "x/y", 0700));
  tell("write d/a.txt", fs->WriteAt(top + "d/a.txt", true, 0, "hello", 5));
  tell("append d/a.txt", fs->WriteAt(top + "d/a.txt", false, -1, "!!", 2));
  tell("overwrite at 1", fs->WriteAt(top + "d/a.txt", false, 1, "EL", 2));
  tell("write into missing dir", fs->WriteAt(top + "none/b", true, 0, "x", 1));
  tell("append to missing file", fs->WriteAt(top + "d/none", false, -1, "x", 1));
  tell("write d/B.TXT", fs->WriteAt(top + "d/B.TXT", true, 0, "", 0));
  char buf[16] = {};
  size_t got = 0;
  tell("read d/a.txt at 2", fs->ReadAt(top + "d/a.txt", 2, 10, buf, &got));
  log.push_back("got " + std::string(buf, got));
  tell("read a directory", fs->ReadAt(top + "d", 0, 1, buf, &got));
  listing("d", "*.txt");
  listing("d", "*");
  listing("none", "*");
  DirEntry st;
  tell("stat d/a.txt", fs->Stat(top + "d/a.txt", &st));
  log.push_back("name " + st.name + " size " + std::to_string(st.size));
  tell("set time", fs->SetWriteTime(top + "d/a.txt", 1700000000));
  fs->Stat(top + "d/a.txt", &st);
  log.push_back("mtime " + std::to_string(st.mtime));
  say("is file d/a.txt", fs->IsFile(top + "d/a.txt"));
  say("is dir d/a.txt", fs->IsDir(top + "d/a.txt"));
  say("exists d/zz", fs->Exists(top + "d/zz"));
  say("executable before", fs->CanExecute(top + "d/a.txt"));
  tell("set mode 0755", fs->SetMode(top + "d/a.txt", 0755));
  say("executable after", fs->CanExecute(top + "d/a.txt"));
  std::string real;
  tell("real path d/e/../a.txt", fs->RealPath(top + "d/e/../a.txt", &real));
  log.push_back("real ends " + real.substr(real.size() >= 7 ? real.size() - 7 : 0));
  tell("real path of nothing", fs->RealPath(top + "d/zz", &real));
  tell("remove d (not empty)", fs->RemoveDir(top + "d"));
  tell("remove file d/f", fs->RemoveFile(top + "d/f"));
  tell("remove dir d/f", fs->RemoveDir(top + "d/f"));
  tell("remove dir d/a.txt", fs->RemoveDir(top + "d/a.txt"));

  // A view of d: paths are relative to it and cannot leave it.
  std::unique_ptr<FileSystem> area = fs->Beneath(top + "d");
  say("beneath d", area != nullptr);
  if (area) {
    tell("area stat a.txt", area->Stat("a.txt", &st));
    tell("area stat ../d/a.txt", area->Stat("../d/a.txt", &st));
    tell("area write e/n", area->WriteAt("e/n", true, 0, "n", 1));
    tell("area makedirs e/g/h", area->MakeDirs("e/g/h"));
    tell("area real path e/g/../n", area->RealPath("e/g/../n", &real));
    log.push_back("area real " + real);
  }
  say("file written through the area", fs->IsFile(top + "d/e/n"));
  say("beneath a file", fs->Beneath(top + "d/a.txt") != nullptr);
  return log;
}

TEST(MemoryFileSystemTest, AnswersAsTheRealOne) {
  char tmpl[] = "/tmp/zk-memfs-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::vector<std::string> real = Script(FileSystem::Default(), std::string(tmpl) + "/");
  std::filesystem::remove_all(tmpl);

  MemoryFileSystem memory;
  memory.AddDir("/scratch");
  const std::vector<std::string> fake = Script(&memory, "/scratch/");
  ASSERT_EQ(real.size(), fake.size());
  for (size_t i = 0; i < real.size(); ++i) EXPECT_EQ(real[i], fake[i]);
  EXPECT_EQ("hELlo!!", memory.Content("/scratch/d/a.txt"));
  EXPECT_EQ(0755, memory.Mode("/scratch/d/a.txt"));

  // The same script by relative paths, from the current directory the file system is given.
  MemoryFileSystem here("/scratch/w/");
  here.AddDir("/scratch/w");
  EXPECT_EQ(real, Script(&here, ""));
  EXPECT_EQ("hELlo!!", here.Content("/scratch/w/d/a.txt"));
  EXPECT_EQ("hELlo!!", here.Content("d/a.txt"));
}

// A file opened to write only cannot be read, nor a closed one written; the path-based helpers
// report why Open failed and append at the end of what is there.
TEST(MemoryFileSystemTest, OpenModesSayWhatAFileIsFor) {
  MemoryFileSystem fs;
  fs.AddFile("/a", "abc");
  char buf[4];
  size_t got = 0;
  std::unique_ptr<FileSystem::File> only = fs.Open("/a", FileSystem::OpenMode::kUpdateOnly);
  ASSERT_NE(nullptr, only);
  EXPECT_FALSE(only->ReadAt(0, sizeof(buf), buf, &got));
  EXPECT_TRUE(only->WriteAt(1, "B", 1));
  EXPECT_TRUE(only->Close());
  EXPECT_FALSE(only->WriteAt(0, "x", 1));  // closed
  EXPECT_EQ("aBc", fs.Content("/a"));
  std::unique_ptr<FileSystem::File> fresh = fs.Open("/a", FileSystem::OpenMode::kReplaceOnly);
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ("", fs.Content("/a"));
  std::unique_ptr<FileSystem::File> reader = fs.Open("/a", FileSystem::OpenMode::kCreate);
  ASSERT_NE(nullptr, reader);
  EXPECT_TRUE(reader->WriteAt(0, "xyz", 3));
  EXPECT_TRUE(reader->ReadAt(1, sizeof(buf), buf, &got));
  EXPECT_EQ("yz", std::string(buf, got));

  EXPECT_EQ(FsError::kNotFound, fs.WriteAt("/none/b", true, 0, "x", 1).error);
  EXPECT_EQ(FsError::kNotFound, fs.WriteAt("/b", false, -1, "x", 1).error);
  EXPECT_EQ(FsError::kNotRegular, fs.WriteAt("/", true, 0, "x", 1).error);
  EXPECT_EQ(FsError::kNotRegular, fs.ReadAt("/", 0, 1, buf, &got).error);
  EXPECT_TRUE(fs.WriteAt("/a", false, -1, "!", 1));
  EXPECT_EQ("xyz!", fs.Content("/a"));
}

// Relative paths start at the given directory, absolute ones at the root, and ".." climbs from
// the given directory; a view's relative paths start at its own root, wherever the whole one's do.
TEST(MemoryFileSystemTest, RelativePathsStartAtTheGivenDirectory) {
  MemoryFileSystem fs("/home/u");
  fs.AddFile("a.txt", "mine");
  fs.AddFile("/a.txt", "top");
  fs.AddFile("../v/b.txt", "theirs");
  EXPECT_EQ("mine", fs.Content("/home/u/a.txt"));
  EXPECT_EQ("top", fs.Content("/a.txt"));
  EXPECT_EQ("theirs", fs.Content("/home/v/b.txt"));
  EXPECT_EQ("mine", fs.Content("./a.txt"));
  std::string real;
  ASSERT_TRUE(fs.RealPath("../u/./a.txt", &real));
  EXPECT_EQ("/home/u/a.txt", real);
  std::vector<DirEntry> found;
  ASSERT_TRUE(fs.Search("", "*", &found));
  ASSERT_EQ(1u, found.size());
  EXPECT_EQ("a.txt", found[0].name);

  std::unique_ptr<FileSystem> area = fs.Beneath("/home/v");
  ASSERT_NE(nullptr, area);
  EXPECT_TRUE(area->IsFile("b.txt"));
  EXPECT_FALSE(area->IsFile("a.txt"));
  EXPECT_FALSE(area->IsFile("../u/a.txt"));
}

}  // namespace
}  // namespace zk
