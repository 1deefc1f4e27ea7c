// The real file system over POSIX calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/fs_statx.h"
#include "platform/pathtext.h"

namespace zk {

void DescribeStatx(const struct statx& stx, const std::string& name, DirEntry* out) {
  out->name = name;
  out->is_dir = S_ISDIR(stx.stx_mode);
  out->is_special = !out->is_dir && !S_ISREG(stx.stx_mode) && !S_ISLNK(stx.stx_mode);
  out->size = out->is_dir ? 0 : static_cast<int64_t>(stx.stx_size);
  out->mtime = stx.stx_mtime.tv_sec;
  out->btime = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : out->mtime;
}

bool DescribeFd(int fd, const std::string& name, DirEntry* out) {
  struct statx stx;
  if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &stx) != 0) return false;
  DescribeStatx(stx, name, out);
  return true;
}

bool IsRegularFd(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int OpenFlags(FileSystem::OpenMode mode) {
  switch (mode) {
    case FileSystem::OpenMode::kRead:
      return O_RDONLY | O_NONBLOCK;
    case FileSystem::OpenMode::kWrite:
      return O_RDWR | O_NONBLOCK;
    case FileSystem::OpenMode::kCreate:
      return O_RDWR | O_NONBLOCK | O_CREAT | O_TRUNC;
    case FileSystem::OpenMode::kUpdateOnly:
      return O_WRONLY | O_NONBLOCK;
    case FileSystem::OpenMode::kReplaceOnly:
      break;
  }
  return O_WRONLY | O_NONBLOCK | O_CREAT | O_TRUNC;
}

namespace {

// A regular file held open by its descriptor.
class FdFile : public FileSystem::File {
 public:
  explicit FdFile(int fd) : fd_(fd) {}
  ~FdFile() override {
    if (fd_ >= 0) close(fd_);
  }
  FsStatus Stat(DirEntry* out) override {
    if (fd_ < 0) return FsStatus::FromErrno(EBADF);
    return FsStatus::Check(DescribeFd(fd_, "", out));
  }
  FsStatus ReadAt(int64_t offset, size_t len, void* buf, size_t* got) override {
    *got = 0;
    if (fd_ < 0) return FsStatus::FromErrno(EBADF);
    char* p = static_cast<char*>(buf);
    while (*got < len) {
      ssize_t r = pread(fd_, p + *got, len - *got, offset + static_cast<int64_t>(*got));
      if (r < 0) {
        if (errno == EINTR) continue;
        return FsStatus::FromErrno(errno);
      }
      if (r == 0) break;
      *got += static_cast<size_t>(r);
    }
    return FsStatus::Ok();
  }
  FsStatus WriteAt(int64_t offset, const void* data, size_t len) override {
    if (fd_ < 0) return FsStatus::FromErrno(EBADF);
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    bool in_sequence = false;  // a terminal or pipe, written from its start: no position to give
    while (done < len) {
      ssize_t w = in_sequence
                      ? write(fd_, p + done, len - done)
                      : pwrite(fd_, p + done, len - done, offset + static_cast<int64_t>(done));
      if (w < 0) {
        if (errno == EINTR) continue;
        if (errno == ESPIPE && offset == 0 && !in_sequence) {
          in_sequence = true;
          continue;
        }
        return FsStatus::FromErrno(errno);
      }
      done += static_cast<size_t>(w);
    }
    return FsStatus::Ok();
  }
  FsStatus Close() override {
    if (fd_ < 0) return FsStatus::FromErrno(EBADF);
    const int fd = fd_;
    fd_ = -1;
    return FsStatus::Check(close(fd) == 0);
  }
  FsStatus Lock() override {
    if (fd_ < 0) return FsStatus::FromErrno(EBADF);
    int r;
    do {
      r = flock(fd_, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    return FsStatus::Check(r == 0);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<FileSystem::File> FileOfFd(int fd) {
  return std::unique_ptr<FileSystem::File>(new FdFile(fd));
}

namespace {

bool FillEntry(const std::string& path, const std::string& name, DirEntry* out) {
  struct statx stx;
  // A dangling link: described as the link itself.
  if (statx(AT_FDCWD, path.c_str(), 0, kStatxMask, &stx) != 0 &&
      statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, kStatxMask, &stx) != 0) {
    return false;
  }
  DescribeStatx(stx, name, out);
  return true;
}

class PosixFileSystem : public FileSystem {
 public:
  FsStatus Search(const std::string& dir, const std::string& mask,
                  std::vector<DirEntry>* out) override {
    out->clear();
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return FsStatus::FromErrno(errno);
    std::string base = dir.empty() ? "" : (dir.back() == '/' ? dir : dir + "/");
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (!WildcardMatch(mask, name)) continue;
      DirEntry entry;
      if (!FillEntry(base + name, name, &entry)) continue;
      if (e->d_type == DT_LNK) {
        entry.is_link = true;
      } else if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        entry.is_link = lstat((base + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
      }
      out->push_back(std::move(entry));
    }
    closedir(d);
    SortSearchOrder(out);
    return FsStatus::Ok();
  }

  FsStatus Stat(const std::string& path, DirEntry* out) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return FsStatus::FromErrno(errno);
    return FsStatus::Check(FillEntry(path, NamePart(path), out));
  }

  FsStatus MakeDirs(const std::string& path) override {
    if (path.empty()) return FsStatus::FromErrno(ENOENT);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return Directory(st);
    std::string p;
    size_t pos = 0;
    while (pos != std::string::npos) {
      size_t next = path.find('/', pos + 1);
      p = path.substr(0, next);
      if (!p.empty() && p != "/" && stat(p.c_str(), &st) != 0) {
        if (mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return FsStatus::FromErrno(errno);
      }
      pos = next;
    }
    if (stat(path.c_str(), &st) != 0) return FsStatus::FromErrno(errno);
    return Directory(st);
  }

  FsStatus MakeDir(const std::string& path, int mode) override {
    if (path.empty()) return FsStatus::FromErrno(ENOENT);
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
      return FsStatus::FromErrno(errno);
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return FsStatus::FromErrno(errno);
    return Directory(st);
  }

  FsStatus SetMode(const std::string& path, int mode) override {
    return FsStatus::Check(chmod(path.c_str(), static_cast<mode_t>(mode)) == 0);
  }

  FsStatus RealPath(const std::string& path, std::string* real) override {
    char buf[PATH_MAX];
    if (!realpath(path.c_str(), buf)) return FsStatus::FromErrno(errno);
    *real = buf;
    return FsStatus::Ok();
  }

  bool CanExecute(const std::string& path) override { return access(path.c_str(), X_OK) == 0; }

  FsStatus RemoveDir(const std::string& path) override {
    return FsStatus::Check(rmdir(path.c_str()) == 0);
  }
  FsStatus RemoveFile(const std::string& path) override {
    return FsStatus::Check(unlink(path.c_str()) == 0);
  }

  FsStatus SetWriteTime(const std::string& path, int64_t mtime) override {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    return FsStatus::Check(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0);
  }

  FsStatus Resize(const std::string& path, int64_t size) override {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FsStatus::FromErrno(errno);
    std::unique_ptr<File> file = FileOfFd(fd);
    FsStatus resized = IsRegularFd(fd) ? FsStatus::Check(ftruncate(fd, size) == 0)
                                       : FsStatus::Failed(FsError::kNotRegular);
    const FsStatus closed = file->Close();
    return resized ? closed : resized;
  }

  FsStatus Rename(const std::string& from, const std::string& to) override {
    return FsStatus::Check(rename(from.c_str(), to.c_str()) == 0);
  }

  std::unique_ptr<FileSystem> Beneath(const std::string& root) override {
    return BeneathOnDisk(root);
  }

  using FileSystem::Open;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode, FsStatus* status) override;

 private:
  // What stat says of a path that should be a directory.
  static FsStatus Directory(const struct stat& st) {
    return S_ISDIR(st.st_mode) ? FsStatus::Ok() : FsStatus::FromErrno(ENOTDIR);
  }
};

std::unique_ptr<FileSystem::File> PosixFileSystem::Open(const std::string& path, OpenMode mode,
                                                        FsStatus* status) {
  // The write-only modes write what is there, as a program writing a file would: they may wait
  // on a pipe, and take a device.
  const bool any_file = mode == OpenMode::kUpdateOnly || mode == OpenMode::kReplaceOnly;
  const int flags = any_file ? OpenFlags(mode) & ~O_NONBLOCK : OpenFlags(mode);
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
  FsStatus opened = FsStatus::Check(fd >= 0);
  if (opened && !any_file && !IsRegularFd(fd)) {
    close(fd);
    opened = FsStatus::Failed(FsError::kNotRegular);
  }
  if (status) *status = opened;
  return opened ? FileOfFd(fd) : nullptr;
}

}  // namespace

FileSystem* FileSystem::Default() {
  static PosixFileSystem fs;
  return &fs;
}

}  // namespace zk
