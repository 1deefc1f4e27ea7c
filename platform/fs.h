// The file system as every program sees it: wildcard search, existence, directory creation and
// removal, chunked reads and writes, file times and modes. Abstract so that tests can replace it:
// FileSystem::Default() is the real one over POSIX calls and only main() asks for it; everything
// else is handed a FileSystem*. Beneath() gives a view of one directory tree that no path can
// leave (the server's storage areas); platform/fs_memory.h keeps a tree in memory for tests.
#ifndef ZK_PLATFORM_FS_H_
#define ZK_PLATFORM_FS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zk {

struct DirEntry {
  std::string name;  // entry name, no directory part
  bool is_dir = false;
  int64_t size = 0;      // bytes (0 for directories)
  int64_t mtime = 0;     // last-write time, seconds since the epoch
  int64_t btime = 0;     // creation (birth) time where the file system has one, else mtime
  bool is_link = false;  // the entry itself is a symbolic link (the fields above: its target)
  // Neither a regular file nor a directory (links followed): a pipe, socket or device.
  bool is_special = false;
};

// Windows-style name matching: "*" any run, "?" one (UTF-8) character, ASCII letters compared
// without regard to case; "*.*" and "*" match every name; a final ".*" may also match nothing
// ("a.*" matches "a"); a mask ending in "." matches names without an extension ("*." matches
// "README", not "a.txt").
bool WildcardMatch(const std::string& mask, const std::string& name);

// Orders entries as a directory search returns them: by ASCII-upper-cased name, then by bytes.
void SortSearchOrder(std::vector<DirEntry>* entries);

// True when all `len` bytes at `data` are zero (also for len 0). A chunk of zeros is skipped by
// the writers, which leave a hole instead and give the file its length at the end (Resize), so a
// sparse file stays sparse when it is copied.
bool IsAllZero(const void* data, size_t len);

// Why a file system call failed, in the terms its callers act on.
enum class FsError {
  kNone,
  kNotFound,    // nothing at the path (or a directory on its way is none)
  kOutside,     // the path would lead out of a Beneath() tree, or runs through a loop of links
  kNotRegular,  // a regular file was wanted: a directory, pipe or device is there
  kNoSpace,     // the disk or the owner's quota is full
  kOther,
};

// The outcome of a file system call: true when it succeeded. The system's error number is kept
// for messages (0 where none was involved, as in the memory file system).
struct FsStatus {
  FsError error = FsError::kNone;
  int sys_errno = 0;

  bool ok() const { return error == FsError::kNone; }
  explicit operator bool() const { return ok(); }
  // Failed because the path would leave its tree: refused, not missing.
  bool outside() const { return error == FsError::kOutside; }

  static FsStatus Ok() { return FsStatus(); }
  static FsStatus Failed(FsError error) { return FsStatus{error, 0}; }
  // The failure that the system's error number `err` stands for.
  static FsStatus FromErrno(int err);
  // Ok when `ok`, else the failure that errno stands for now.
  static FsStatus Check(bool ok);
};

class FileSystem;

// The bytes the regular files below the directory `dir` take, at every depth ("" is the root of
// a Beneath() tree), in *bytes: each file's length as Stat gives it (a hole counts as written, so
// the figure is what copying the files takes, whatever the disk saves). Symbolic links are not
// followed and count nothing; neither do directories, pipes or devices. False when `dir` itself
// cannot be read; a directory below it that cannot be read (or vanishes meanwhile) counts as
// empty. A file whose name `skip` (when given) is true for counts nothing either.
FsStatus TreeFileBytes(FileSystem* fs, const std::string& dir, int64_t* bytes,
                       bool (*skip)(const std::string& name) = nullptr);

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The real file system. Never null; owned by the library.
  static FileSystem* Default();

  // The calls that can fail return an FsStatus; "false" below is a failed one.

  // Entries of directory `dir` whose names match `mask` ("." and ".." never; hidden names
  // included), in search order. Returns false when `dir` cannot be read.
  virtual FsStatus Search(const std::string& dir, const std::string& mask,
                          std::vector<DirEntry>* out) = 0;
  // Properties of the entry at `path` (links followed). Returns false when nothing is there.
  virtual FsStatus Stat(const std::string& path, DirEntry* out) = 0;
  // Creates `path` with all missing parents. Returns true when it exists as a directory after.
  virtual FsStatus MakeDirs(const std::string& path) = 0;
  // Creates the one directory `path` with the permission bits `mode` (less the umask); its
  // parent must exist. Returns true when a directory is there afterwards, made now or before.
  virtual FsStatus MakeDir(const std::string& path, int mode) = 0;
  // Sets the permission bits of what `path` leads to. False on failure.
  virtual FsStatus SetMode(const std::string& path, int mode) = 0;
  // What `path` leads to, with every symbolic link, "." and ".." resolved: an absolute path (for
  // a tree of Beneath(), a path relative to its root). False when nothing is there.
  virtual FsStatus RealPath(const std::string& path, std::string* real) = 0;
  // True when this process may run the file at `path`.
  virtual bool CanExecute(const std::string& path) = 0;
  // Removes an empty directory / a file. Returns true on success.
  virtual FsStatus RemoveDir(const std::string& path) = 0;
  virtual FsStatus RemoveFile(const std::string& path) = 0;
  // Sets the last-write time, leaving the last-access time as it is. False on failure.
  virtual FsStatus SetWriteTime(const std::string& path, int64_t mtime) = 0;
  // Gives the regular file `path` the length `size` (a hole where it grows). False on failure.
  virtual FsStatus Resize(const std::string& path, int64_t size) = 0;
  // Puts the entry `from` in the place of `to` in one step, replacing what was there (a file;
  // a link is replaced, not followed). False on failure; nothing changes then.
  virtual FsStatus Rename(const std::string& from, const std::string& to) = 0;

  // Conveniences over Stat (links followed; a dangling link is nothing): something is at `path`,
  // a regular file, a directory.
  bool Exists(const std::string& path);
  bool IsFile(const std::string& path);
  bool IsDir(const std::string& path);

  // Conveniences over Open, which open the file for this one call and close it after:
  // Writes `len` bytes: when `truncate`, the file is created or truncated first and written from
  // the start; otherwise the existing file is written at `offset` (-1: at its end).
  // Returns false when the file cannot be opened or written.
  FsStatus WriteAt(const std::string& path, bool truncate, int64_t offset, const void* data,
                   size_t len);
  // Reads up to `len` bytes at `offset` into `buf`; *got is the count read (less at end of file).
  // Returns false when the file cannot be opened or read.
  FsStatus ReadAt(const std::string& path, int64_t offset, size_t len, void* buf, size_t* got);

  // The tree below the directory `root` as a file system of its own. Its paths are relative to
  // `root` ("" is `root` itself) and are resolved beneath an open handle of `root` at the moment
  // of each use, so that neither "..", nor an absolute path, nor a symbolic link (however the
  // tree changes meanwhile) reaches anything outside it; links that stay inside are followed.
  // Search leaves out links that lead outside or nowhere. ReadAt, WriteAt, SetWriteTime
  // and Resize take regular files only and never wait on one (a named pipe or a device fails with
  // kNotRegular). A call refused because its path would lead outside fails with kOutside (also for
  // a loop of links). Null when `root` is not a directory that can be opened, or when the kernel
  // cannot confine paths (then nothing below `root` is served, and one warning says so).
  // Each implementation gives trees of its own kind: the real file system's are confined by the
  // kernel (platform/fs_beneath_posix.cc), the memory one's share its entries.
  virtual std::unique_ptr<FileSystem> Beneath(const std::string& root) = 0;

  // --- Open regular files, for moving a file's data piece by piece without reopening it. ---

  // A regular file held open: reads and writes at any position, through the handle it was
  // opened with (a path swapped meanwhile does not change which file it is).
  class File {
   public:
    virtual ~File() = default;
    // Properties of the open file.
    virtual FsStatus Stat(DirEntry* out) = 0;
    // Reads up to `len` bytes at `offset` into `buf`; *got is the count read (less at end of file).
    virtual FsStatus ReadAt(int64_t offset, size_t len, void* buf, size_t* got) = 0;
    // Writes `len` bytes at `offset` (a file opened for writing). False on failure.
    virtual FsStatus WriteAt(int64_t offset, const void* data, size_t len) = 0;
    // Closes it; fails when a write turns out to have failed (later calls fail).
    virtual FsStatus Close() = 0;
    // Takes the file's one exclusive lock for as long as this handle is open (the real file
    // system's ends with the process too, however it ends). Fails at once, without waiting, when
    // another handle holds it.
    virtual FsStatus Lock() = 0;
  };
  enum class OpenMode {
    kRead,    // to read
    kWrite,   // to read and write
    kCreate,  // created (emptied when it exists) to read and write
    // Write only, as the path-based WriteAt opens: an existing file, or one created or emptied.
    // The real file system writes whatever is there, waiting on it as a program would (a job's
    // return file may be a terminal or a pipe); Beneath() trees take regular files only as ever.
    kUpdateOnly,
    kReplaceOnly,
  };
  // Opens the file `path` as `mode` says. Null when it cannot be opened or (but for the real file
  // system's write-only modes) is no regular file (a directory, a pipe or a device: never waited
  // on); then *status (when given) says why. Beneath() trees confine the path as every other call.
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode, FsStatus* status) = 0;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) {
    return Open(path, mode, nullptr);
  }
};

}  // namespace zk

#endif  // ZK_PLATFORM_FS_H_
