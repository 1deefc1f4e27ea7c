// A FileSystem that keeps its tree in memory, for tests: no disk, exactly the entries a test puts
// there, and their content and modes to look at afterwards.
//
//   MemoryFileSystem fs;
//   fs.AddFile("/w/a.txt", "abc", 1700000000);
//   CreateStorageDir(&fs, "/srv/u1");
//   EXPECT_EQ(0700, fs.Mode("/srv/u1"));
//
// Paths are "/"-separated; a relative path starts at the current directory the file system was
// made with ("/" unless another is given), which stands for the process's own: nothing here looks
// at the process's current directory. There are no links: RealPath only
// resolves "." and "..". Modes are stored as given (no umask); files are written with 0666 and
// directories made by MakeDirs with 0777. Writes leave a file's last-write time as it was (0 for
// a new file), so that times are what a test sets. Beneath() gives a view of a subtree that shares
// the same entries and refuses paths that lead out of it (kOutside).
#ifndef ZK_PLATFORM_FS_MEMORY_H_
#define ZK_PLATFORM_FS_MEMORY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace zk {

class MemoryFileSystem : public FileSystem {
 public:
  MemoryFileSystem();
  // Relative paths start at the absolute directory `cwd` (which need not exist).
  explicit MemoryFileSystem(const std::string& cwd);

  // A file with `content`, last written at `mtime`, with mode 0644; missing parents are made.
  void AddFile(const std::string& path, const std::string& content, int64_t mtime = 0);
  // A directory with its missing parents.
  void AddDir(const std::string& path);
  // The content of the file at `path` ("" when there is none).
  std::string Content(const std::string& path) const;
  // The permission bits of the entry at `path`, -1 when nothing is there.
  int Mode(const std::string& path) const;

  FsStatus Search(const std::string& dir, const std::string& mask,
                  std::vector<DirEntry>* out) override;
  FsStatus Stat(const std::string& path, DirEntry* out) override;
  FsStatus MakeDirs(const std::string& path) override;
  FsStatus MakeDir(const std::string& path, int mode) override;
  FsStatus SetMode(const std::string& path, int mode) override;
  FsStatus RealPath(const std::string& path, std::string* real) override;
  bool CanExecute(const std::string& path) override;
  FsStatus RemoveDir(const std::string& path) override;
  FsStatus RemoveFile(const std::string& path) override;
  FsStatus SetWriteTime(const std::string& path, int64_t mtime) override;
  FsStatus Resize(const std::string& path, int64_t size) override;
  FsStatus Rename(const std::string& from, const std::string& to) override;
  std::unique_ptr<FileSystem> Beneath(const std::string& root) override;
  using FileSystem::Open;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode, FsStatus* status) override;

 private:
  struct Node {
    bool dir = false;
    std::string data;
    int64_t mtime = 0;
    int mode = 0;
    const void* locked_by = nullptr;  // the open file that holds its lock
  };
  using Tree = std::map<std::string, Node>;
  class MemoryFile;

  MemoryFileSystem(std::shared_ptr<Tree> tree, std::string root, std::string cwd);

  // The absolute key of `path`; kOutside when it leads out of this view.
  FsStatus Key(const std::string& path, std::string* key) const;
  // The node at `path`, null when there is none (or the path leads out); *why (when given) says
  // which.
  Node* Find(const std::string& path, FsStatus* why);
  const Node* Find(const std::string& path) const;
  // The path in this view of the key `key` (which lies in it).
  std::string Relative(const std::string& key) const;
  // True when the parent directory of the key `key` exists.
  bool ParentIsDir(const std::string& key) const;

  std::shared_ptr<Tree> tree_;
  std::string root_;  // "/" or the root of a Beneath() view, without a final "/"
  std::string cwd_;   // where relative paths start: the root of a view
};

}  // namespace zk

#endif  // ZK_PLATFORM_FS_MEMORY_H_
