// The file system of one directory tree (FileSystem::Beneath) on a scratch directory: no path and
// no symbolic link leads outside, links that stay inside work, special files fail like missing
// ones without ever blocking, and renames and resizes stay inside too.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"

namespace zk {
namespace {

// A scratch folder with an area "u1/" (holding docs/a.txt), a sibling "u1x/" and "outside/", each
// of the last two with a file "secret".
class BeneathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zk-beneath-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    area_ = root_ + "/u1";
    for (const char* d : {"/u1", "/u1/docs", "/u1x", "/outside"}) {
      ASSERT_EQ(0, mkdir((root_ + d).c_str(), 0700));
    }
    Put(area_ + "/docs/a.txt", "inside");
    Put(root_ + "/u1x/secret", "sibling");
    Put(root_ + "/outside/secret", "outside");
    fs_ = FileSystem::Default()->Beneath(area_);
    ASSERT_NE(nullptr, fs_);
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + root_ + "'").c_str())); }

  static void Put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string Get(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void Link(const std::string& target, const std::string& name) {
    ASSERT_EQ(0, symlink(target.c_str(), (area_ + "/" + name).c_str())) << name;
  }
  // What ReadAt gives for `path` ("FAILED" when it fails).
  std::string Read(FileSystem* fs, const std::string& path) {
    char buf[64];
    size_t got = 0;
    if (!fs->ReadAt(path, 0, sizeof(buf), buf, &got)) return "FAILED";
    return std::string(buf, got);
  }
  std::vector<std::string> Names(const std::string& dir) {
    std::vector<DirEntry> found;
    std::vector<std::string> names;
    if (!fs_->Search(dir, "*", &found)) return {"FAILED"};
    for (const DirEntry& e : found) names.push_back(e.name);
    return names;
  }

  std::string root_, area_;
  std::unique_ptr<FileSystem> fs_;
};

TEST_F(BeneathTest, NoPathOrLinkLeadsOutside) {
  Link(root_ + "/outside", "out");
  Link(root_ + "/outside/secret", "secret");
  Link(root_ + "/outside/missing", "dangling");  // would create a file outside
  Link("../../outside", "docs/rel");
  Link("loop", "loop");
  // The sibling whose name begins with the area's name: a prefix of a path is not its parent. (Were
  // it taken for one, ".../u1x/secret" would be read as "x/secret" of the area.)
  ASSERT_EQ(0, mkdir((area_ + "/x").c_str(), 0700));
  Put(area_ + "/x/secret", "misread");
  Link(root_ + "/u1x/secret", "sibling");
  Link(root_ + "/u1x", "sibdir");
  Link("../u1x/secret", "sibrel");
  const std::vector<std::string> ways = {"out",
                                         "out/secret",
                                         "secret",
                                         "dangling",
                                         "docs/rel/secret",
                                         "loop",
                                         "loop/x",
                                         "sibling",
                                         "sibdir/secret",
                                         "sibrel",
                                         "../outside/secret",
                                         "../u1x/secret",
                                         root_ + "/outside/secret",
                                         "docs/../../u1x/secret"};
  for (const std::string& way : ways) {
    SCOPED_TRACE(way);
    DirEntry st;
    EXPECT_FALSE(fs_->Stat(way, &st));
    EXPECT_EQ("FAILED", Read(fs_.get(), way));
    EXPECT_FALSE(fs_->WriteAt(way, true, 0, "planted", 7));
    EXPECT_FALSE(fs_->WriteAt(way, false, -1, "planted", 7));
    EXPECT_FALSE(fs_->SetWriteTime(way, 1000000000));
    EXPECT_FALSE(fs_->MakeDirs(way + "/new"));
    EXPECT_FALSE(fs_->RemoveFile(way + "/x"));
  }
  EXPECT_FALSE(fs_->RemoveFile("sibdir/secret"));
  EXPECT_FALSE(fs_->RemoveDir("out/."));
  EXPECT_EQ("outside", Get(root_ + "/outside/secret"));
  EXPECT_EQ("sibling", Get(root_ + "/u1x/secret"));
  struct stat st;
  EXPECT_NE(0, lstat((root_ + "/outside/missing").c_str(), &st));
  EXPECT_NE(0, lstat((root_ + "/outside/new").c_str(), &st));
  EXPECT_NE(0, lstat((root_ + "/u1x/new").c_str(), &st));

  // Listings leave them out; their folders cannot be listed.
  EXPECT_EQ((std::vector<std::string>{"docs", "x"}), Names(""));
  EXPECT_EQ((std::vector<std::string>{"a.txt"}), Names("docs"));
  EXPECT_EQ((std::vector<std::string>{"FAILED"}), Names("out"));
  EXPECT_EQ((std::vector<std::string>{"FAILED"}), Names("sibdir"));
  // A link itself is removed, never what it leads to.
  EXPECT_TRUE(fs_->RemoveFile("sibling"));
  EXPECT_EQ("sibling", Get(root_ + "/u1x/secret"));
}

// A refusal says that the path leads outside (the server answers those as a bad file name, not as a
// directory it could not make), and nothing else does: a name missing inside is just missing.
TEST_F(BeneathTest, RefusalsSayThePathLeadsOutside) {
  Link(root_ + "/outside", "out");
  Link(root_ + "/outside/missing", "dangling");
  Link("../../outside", "docs/rel");
  Link("loop", "loop");
  Link(root_ + "/u1x", "sibdir");
  for (const char* way : {"out/secret", "dangling", "docs/rel/secret", "loop", "sibdir/secret",
                          "../u1x/secret", "docs/../../outside/secret"}) {
    SCOPED_TRACE(way);
    DirEntry st;
    EXPECT_EQ(FsError::kOutside, fs_->Stat(way, &st).error);
    EXPECT_EQ(FsError::kOutside, fs_->MakeDirs(std::string(way) + "/new").error);
    EXPECT_EQ(FsError::kOutside, fs_->WriteAt(way, true, 0, "planted", 7).error);
    FsStatus opened;
    EXPECT_EQ(nullptr, fs_->Open(way, FileSystem::OpenMode::kRead, &opened));
    EXPECT_TRUE(opened.outside());
  }
  DirEntry st;
  const FsStatus missing = fs_->Stat("docs/none", &st);
  EXPECT_EQ(FsError::kNotFound, missing.error);
  EXPECT_EQ(ENOENT, missing.sys_errno);
  EXPECT_FALSE(missing.outside());
  EXPECT_EQ(FsError::kNotFound, fs_->MakeDirs("docs/a.txt/sub").error);  // a file on the way
  EXPECT_EQ(FsError::kNotRegular, fs_->WriteAt("docs", true, 0, "x", 1).error);
  ASSERT_EQ(0, mkfifo((area_ + "/pipe").c_str(), 0600));
  EXPECT_EQ(FsError::kNotRegular, fs_->SetWriteTime("pipe", 1000000000).error);
  EXPECT_TRUE(fs_->MakeDirs("docs/new/deeper"));
}

TEST_F(BeneathTest, LinksThatStayInsideWork) {
  Link(area_ + "/docs", "docs2");          // absolute, by the name the area was opened with
  Link("a.txt", "docs/alias");             // relative, same folder
  Link("../docs/a.txt", "docs/up");        // relative, through the parent
  Link(area_ + "/docs/new.txt", "fresh");  // absolute, to a file not there yet
  EXPECT_EQ("inside", Read(fs_.get(), "docs2/a.txt"));
  EXPECT_EQ("inside", Read(fs_.get(), "docs/alias"));
  EXPECT_EQ("inside", Read(fs_.get(), "docs/up"));
  EXPECT_TRUE(fs_->WriteAt("fresh", true, 0, "new", 3));
  EXPECT_EQ("new", Get(area_ + "/docs/new.txt"));
  EXPECT_TRUE(fs_->MakeDirs("docs2/deeper/still"));
  EXPECT_TRUE(fs_->WriteAt("docs2/deeper/still/b.txt", true, 0, "b", 1));
  EXPECT_EQ("b", Get(area_ + "/docs/deeper/still/b.txt"));
  std::vector<DirEntry> found;
  ASSERT_TRUE(fs_->Search("", "*", &found));
  ASSERT_EQ(3u, found.size());  // docs, docs2, fresh
  EXPECT_TRUE(found[1].is_link && found[1].is_dir);
  EXPECT_EQ("docs2", found[1].name);

  // The area itself may be reached through a link, and links may use either name.
  const std::string linked = root_ + "/linked";
  ASSERT_EQ(0, symlink(area_.c_str(), linked.c_str()));
  Link(linked + "/docs/a.txt", "via");
  std::unique_ptr<FileSystem> through = FileSystem::Default()->Beneath(linked);
  ASSERT_NE(nullptr, through);
  EXPECT_EQ("inside", Read(through.get(), "docs/a.txt"));
  EXPECT_EQ("inside", Read(through.get(), "via"));
  EXPECT_EQ("inside", Read(fs_.get(), "via"));
  EXPECT_EQ("FAILED", Read(through.get(), "../u1/docs/a.txt"));

  EXPECT_EQ(nullptr, FileSystem::Default()->Beneath(area_ + "/docs/a.txt"));
  EXPECT_EQ(nullptr, FileSystem::Default()->Beneath(root_ + "/none"));
}

// Runs `body` in a child process; false when it fails or does not end within a few seconds (a
// call that blocks is a failure, and the test goes on).
bool EndsInTime(const std::function<bool()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(BeneathTest, SpecialFilesFailLikeMissingOnesWithoutBlocking) {
  ASSERT_EQ(0, mkfifo((area_ + "/pipe").c_str(), 0600));
  Link("pipe", "pipelink");
  for (const char* name : {"pipe", "pipelink"}) {
    SCOPED_TRACE(name);
    DirEntry st;
    EXPECT_TRUE(fs_->Stat(name, &st));  // it is there: listings show it
    EXPECT_FALSE(st.is_dir);
    EXPECT_TRUE(EndsInTime([&] {
      char buf[4];
      size_t got = 0;
      return !fs_->ReadAt(name, 0, sizeof(buf), buf, &got) &&
             !fs_->WriteAt(name, true, 0, "x", 1) && !fs_->WriteAt(name, false, -1, "x", 1) &&
             !fs_->SetWriteTime(name, 1000000000);
    }));
    // Also while something holds the other end open.
    int reader = open((area_ + "/pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(EndsInTime([&] { return !fs_->WriteAt(name, true, 0, "x", 1); }));
    close(reader);
  }
  // Directories are not files either.
  EXPECT_FALSE(fs_->WriteAt("docs", true, 0, "x", 1));
  EXPECT_EQ("FAILED", Read(fs_.get(), "docs"));
}

TEST_F(BeneathTest, RenameAndResizeStayInsideAndReplaceLinksInsteadOfFollowingThem) {
  Put(area_ + "/new", "fresh");
  Link(root_ + "/outside/secret", "secret");
  Link(root_ + "/outside", "out");
  // A link in the target's place is replaced; what it led to is not touched.
  ASSERT_TRUE(fs_->Rename("new", "secret"));
  EXPECT_EQ("fresh", Get(area_ + "/secret"));
  EXPECT_EQ("outside", Get(root_ + "/outside/secret"));
  struct stat st;
  ASSERT_EQ(0, lstat((area_ + "/secret").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  // Neither end may lie outside; a failed rename changes nothing.
  EXPECT_FALSE(fs_->Rename("secret", "out/planted"));
  EXPECT_FALSE(fs_->Rename("secret", "../outside/planted"));
  EXPECT_FALSE(fs_->Rename("out/secret", "stolen"));
  EXPECT_EQ("fresh", Get(area_ + "/secret"));
  EXPECT_FALSE(std::ifstream(root_ + "/outside/planted").good());
  EXPECT_FALSE(std::ifstream(area_ + "/stolen").good());
  // Into a directory, and over an existing file.
  ASSERT_TRUE(fs_->Rename("secret", "docs/a.txt"));
  EXPECT_EQ("fresh", Get(area_ + "/docs/a.txt"));

  // Resize grows with a hole, shrinks, and takes regular files inside only.
  ASSERT_TRUE(fs_->Resize("docs/a.txt", 3LL << 30));
  ASSERT_EQ(0, stat((area_ + "/docs/a.txt").c_str(), &st));
  EXPECT_EQ(3LL << 30, st.st_size);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  ASSERT_TRUE(fs_->Resize("docs/a.txt", 2));
  EXPECT_EQ("fr", Get(area_ + "/docs/a.txt"));
  EXPECT_FALSE(fs_->Resize("out/secret", 0));
  EXPECT_FALSE(fs_->Resize("docs", 0));
  EXPECT_EQ("outside", Get(root_ + "/outside/secret"));
}

// The real file system's path-based write takes what is at the path, as a program writing a file
// does: a job's return file may be a pipe (or a terminal), written from its start.
TEST(DefaultFileSystemTest, PathBasedWritesReachAPipe) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  const std::string path = "/proc/self/fd/" + std::to_string(ends[1]);
  EXPECT_TRUE(FileSystem::Default()->WriteAt(path, true, 0, "12\n", 3));
  char buf[8] = {};
  EXPECT_EQ(3, read(ends[0], buf, sizeof(buf)));
  EXPECT_EQ("12\n", std::string(buf));
  // Opened to be read and written, a pipe is no file.
  FsStatus opened;
  EXPECT_EQ(nullptr, FileSystem::Default()->Open(path, FileSystem::OpenMode::kWrite, &opened));
  EXPECT_EQ(FsError::kNotRegular, opened.error);
  close(ends[0]);
  close(ends[1]);
}

TEST(ZeroTest, OnlyAllZeroBytesAreAHole) {
  std::string data(4099, '\0');
  EXPECT_TRUE(IsAllZero(data.data(), data.size()));
  EXPECT_TRUE(IsAllZero(nullptr, 0));
  // A single byte anywhere, also in the unaligned head and the tail, makes it data.
  for (size_t at :
       {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{2048}, size_t{4096}, size_t{4098}}) {
    data[at] = 1;
    EXPECT_FALSE(IsAllZero(data.data(), data.size())) << at;
    data[at] = 0;
  }
  data[3] = '\x80';
  EXPECT_FALSE(IsAllZero(data.data() + 1, data.size() - 1));
  EXPECT_TRUE(IsAllZero(data.data() + 4, data.size() - 4));
}

// An open file is reached like every other path: never outside, never a pipe or a directory;
// once open, it stays the file it was when its name is replaced.
TEST_F(BeneathTest, OpenFilesStayInsideAndKeepTheirFile) {
  Link(root_ + "/outside/secret", "out");
  ASSERT_EQ(0, mkfifo((area_ + "/pipe").c_str(), 0600));
  for (const char* path : {"../outside/secret", "out", "/etc/hostname", "pipe", "docs"}) {
    for (auto mode : {FileSystem::OpenMode::kRead, FileSystem::OpenMode::kWrite}) {
      EXPECT_EQ(nullptr, fs_->Open(path, mode)) << path;
    }
  }
  EXPECT_TRUE(EndsInTime([&] { return !fs_->Open("pipe", FileSystem::OpenMode::kCreate); }));
  EXPECT_EQ(nullptr, fs_->Open("../new", FileSystem::OpenMode::kCreate));
  EXPECT_FALSE(std::ifstream(root_ + "/new").good());
  EXPECT_EQ("outside", Get(root_ + "/outside/secret"));

  std::unique_ptr<FileSystem::File> file = fs_->Open("docs/b", FileSystem::OpenMode::kCreate);
  ASSERT_NE(nullptr, file);
  ASSERT_TRUE(file->WriteAt(3, "xyz", 3));
  ASSERT_EQ(0, rename((area_ + "/docs/b").c_str(), (area_ + "/docs/moved").c_str()));
  Put(area_ + "/docs/b", "another");
  char buf[8];
  size_t got = 0;
  ASSERT_TRUE(file->ReadAt(0, sizeof(buf), buf, &got));
  EXPECT_EQ(std::string("\0\0\0xyz", 6), std::string(buf, got));
  DirEntry st;
  ASSERT_TRUE(file->Stat(&st));
  EXPECT_EQ(6, st.size);
  EXPECT_TRUE(file->Close());
  EXPECT_FALSE(file->ReadAt(0, sizeof(buf), buf, &got));
  EXPECT_EQ("another", Get(area_ + "/docs/b"));
}

}  // namespace
}  // namespace zk

namespace zk {
namespace {

// The bytes of a tree: every regular file at every depth by its length (holes included), nothing
// that a link leads to, inside or out; the same through the confined tree and the real one.
TEST_F(BeneathTest, TreeFileBytesCountsRegularFilesNotLinks) {
  std::string deep = area_;
  for (int i = 0; i < 40; ++i) {
    deep += "/d";
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
  }
  Put(deep + "/leaf", "12345");
  ASSERT_EQ(0, truncate((area_ + "/docs/a.txt").c_str(), 1 << 20));  // a hole, counted whole
  ASSERT_EQ(0, mkfifo((area_ + "/fifo").c_str(), 0600));
  Link(root_ + "/outside", "out");
  Link(root_ + "/outside/secret", "secret");
  Link("docs/a.txt", "again");
  Link("nowhere", "dangling");

  int64_t bytes = -1;
  ASSERT_TRUE(TreeFileBytes(fs_.get(), "", &bytes));
  EXPECT_EQ((1 << 20) + 5, bytes);
  ASSERT_TRUE(TreeFileBytes(fs_.get(), "docs", &bytes));
  EXPECT_EQ(1 << 20, bytes);
  ASSERT_TRUE(TreeFileBytes(FileSystem::Default(), area_, &bytes));
  EXPECT_EQ((1 << 20) + 5, bytes);
  // A directory that cannot be read is no figure at all.
  EXPECT_FALSE(TreeFileBytes(fs_.get(), "missing", &bytes));
  EXPECT_EQ(0, bytes);
}

}  // namespace
}  // namespace zk
