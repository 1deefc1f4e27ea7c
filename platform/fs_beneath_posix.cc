// A directory tree that no path can leave, over openat2(2) with RESOLVE_BENEATH: every path is
// resolved by the kernel relative to an open handle of the tree's root at the moment it is used,
// so a symbolic link swapped in after a check cannot lead a later open outside. Operations on a
// final name that must not follow it (creating or removing a directory, removing or renaming a
// file) work on a handle of its parent obtained the same way.
//
// The kernel refuses every absolute symbolic link beneath the root, also one that names a place
// inside the tree. Such a path is translated first: each absolute link on the way whose target
// lies inside the tree is replaced by the target's path inside it, and the result is opened
// beneath the root again, so the translation can never widen what is reached.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/fs.h"
#include "platform/fs_statx.h"
#include "platform/pathtext.h"

namespace zk {
namespace {

// Resolving a path that runs through ".." (in a link's target) fails with EAGAIN when a rename
// happens meanwhile; the kernel asks for a retry.
constexpr int kRetries = 64;

// Symbolic links followed in one translation before it gives up (as the kernel's ELOOP).
constexpr int kMaxLinks = 40;

// openat2 beneath `dirfd`: no "..", absolute path or symbolic link leads above it; links to
// /proc-style magic are refused. -1 with errno set on failure.
int OpenBeneath(int dirfd, const std::string& path, uint64_t flags, uint64_t mode = 0) {
  struct open_how how = {};
  how.flags = flags | O_CLOEXEC;
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char* p = path.empty() ? "." : path.c_str();
  for (int i = 0; i < kRetries; ++i) {
    long fd = syscall(SYS_openat2, dirfd, p, &how, sizeof(how));
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN && errno != EINTR) return -1;
  }
  return -1;
}

// A descriptor closed on destruction.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; false when close reports an error (a late write error shows there).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// `path` without final slashes.
std::string Trimmed(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// `head` and the components of `parts` from `from` on, joined with "/".
std::string Join(std::string head, const std::vector<std::string>& parts, size_t from) {
  for (size_t i = from; i < parts.size(); ++i) head += (head.empty() ? "" : "/") + parts[i];
  return head;
}

// The target of the symbolic link that the O_PATH descriptor `fd` stands for.
bool ReadLinkFd(int fd, std::string* target) {
  char buf[4096];
  ssize_t n = readlinkat(fd, "", buf, sizeof(buf));
  if (n < 0 || static_cast<size_t>(n) >= sizeof(buf)) return false;
  target->assign(buf, static_cast<size_t>(n));
  return true;
}

// The kernel's link to what the descriptor `fd` stands for.
std::string ProcLink(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The directory the descriptor `fd` stands for, as the kernel names it ("" when unknown).
std::string PathOfFd(int fd) {
  char buf[4096];
  std::string link = ProcLink(fd);
  ssize_t n = readlink(link.c_str(), buf, sizeof(buf));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buf) || buf[0] != '/') return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

// The absolute `path` without repeated or final slashes ("/" stays).
std::string Normal(const std::string& path) { return "/" + Join("", PathComponents(path), 0); }

class BeneathFileSystem : public FileSystem {
 public:
  // Takes over `root`, an O_PATH handle of the directory named `given`.
  BeneathFileSystem(int root, const std::string& given) : root_(root) {
    if (!given.empty() && given[0] == '/') names_.push_back(Normal(given));
  }
  ~BeneathFileSystem() override { close(root_); }

  FsStatus Search(const std::string& dir, const std::string& mask,
                  std::vector<DirEntry>* out) override {
    out->clear();
    int fd = Open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return FsStatus::FromErrno(errno);
    DIR* d = fdopendir(fd);
    if (!d) {
      const FsStatus failed = FsStatus::FromErrno(errno);
      close(fd);
      return failed;
    }
    const std::string base = Trimmed(dir).empty() ? std::string() : Trimmed(dir) + "/";
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == ".." || !WildcardMatch(mask, name)) continue;
      struct statx stx;
      if (statx(dirfd(d), e->d_name, AT_SYMLINK_NOFOLLOW, kStatxMask, &stx) != 0) {
        continue;
      }
      DirEntry entry;
      if (S_ISLNK(stx.stx_mode)) {
        // Described by where it leads, when that is inside the tree; left out otherwise.
        Fd target(Open(base + name, O_PATH));
        if (!target.ok() || !DescribeFd(target.get(), name, &entry)) continue;
        entry.is_link = true;
      } else {
        DescribeStatx(stx, name, &entry);
      }
      out->push_back(std::move(entry));
    }
    closedir(d);
    SortSearchOrder(out);
    return FsStatus::Ok();
  }

  FsStatus Stat(const std::string& path, DirEntry* out) override {
    Fd fd(Open(path, O_PATH));
    return FsStatus::Check(fd.ok() && DescribeFd(fd.get(), NamePart(Trimmed(path)), out));
  }

  FsStatus MakeDirs(const std::string& path) override {
    // An absolute path is never one of this tree.
    if (!path.empty() && path[0] == '/') return FsStatus::FromErrno(EXDEV);
    const std::string p = Trimmed(path);
    // The usual case: nothing to make.
    DirEntry st;
    if (Stat(p, &st) && st.is_dir) return FsStatus::Ok();
    // Each missing part in turn; `done` is the part that exists, ending in "/" unless empty.
    std::string done;
    size_t from = 0;
    while (from < p.size()) {
      size_t slash = p.find('/', from);
      if (slash == std::string::npos) slash = p.size();
      const std::string name = p.substr(from, slash - from);
      from = slash + 1;
      if (name.empty()) continue;
      Fd parent(Open(done, O_PATH | O_DIRECTORY));
      if (!parent.ok()) return FsStatus::FromErrno(errno);
      if (mkdirat(parent.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        return FsStatus::FromErrno(errno);
      }
      done += name + "/";
    }
    return Directory(p);
  }

  FsStatus MakeDir(const std::string& path, int mode) override {
    std::string name;
    Fd dir(OpenParent(path, &name));
    if (!dir.ok()) return FsStatus::FromErrno(errno);
    if (mkdirat(dir.get(), name.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
      return FsStatus::FromErrno(errno);
    }
    return Directory(path);
  }

  FsStatus SetMode(const std::string& path, int mode) override {
    // A handle that only names the file: the change goes through the kernel's link to it.
    Fd fd(Open(path, O_PATH));
    return FsStatus::Check(fd.ok() &&
                           chmod(ProcLink(fd.get()).c_str(), static_cast<mode_t>(mode)) == 0);
  }

  FsStatus RealPath(const std::string& path, std::string* real) override {
    Fd fd(Open(path, O_PATH));
    if (!fd.ok()) return FsStatus::FromErrno(errno);
    const std::string root = PathOfFd(root_), here = PathOfFd(fd.get());
    if (root.empty() || here.empty()) return FsStatus::Failed(FsError::kOther);
    if (here == root) {
      real->clear();
      return FsStatus::Ok();
    }
    const std::string prefix = root == "/" ? root : root + "/";
    if (here.compare(0, prefix.size(), prefix) != 0) return FsStatus::FromErrno(EXDEV);
    *real = here.substr(prefix.size());
    return FsStatus::Ok();
  }

  bool CanExecute(const std::string& path) override {
    Fd fd(Open(path, O_PATH));
    return fd.ok() && access(ProcLink(fd.get()).c_str(), X_OK) == 0;
  }

  FsStatus RemoveDir(const std::string& path) override { return Unlink(path, AT_REMOVEDIR); }
  FsStatus RemoveFile(const std::string& path) override { return Unlink(path, 0); }

  FsStatus SetWriteTime(const std::string& path, int64_t mtime) override {
    Fd fd(Open(path, O_RDONLY | O_NONBLOCK));
    if (!fd.ok()) return FsStatus::FromErrno(errno);
    if (!IsRegularFd(fd.get())) return FsStatus::Failed(FsError::kNotRegular);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    return FsStatus::Check(futimens(fd.get(), times) == 0);
  }

  FsStatus Resize(const std::string& path, int64_t size) override {
    Fd fd(Open(path, O_WRONLY | O_NONBLOCK));
    if (!fd.ok()) return FsStatus::FromErrno(errno);
    if (!IsRegularFd(fd.get())) return FsStatus::Failed(FsError::kNotRegular);
    if (ftruncate(fd.get(), size) != 0) return FsStatus::FromErrno(errno);
    return FsStatus::Check(fd.Close());
  }

  FsStatus Rename(const std::string& from, const std::string& to) override {
    std::string from_name, to_name;
    Fd from_dir(OpenParent(from, &from_name));
    if (!from_dir.ok()) return FsStatus::FromErrno(errno);
    Fd to_dir(OpenParent(to, &to_name));
    if (!to_dir.ok()) return FsStatus::FromErrno(errno);
    return FsStatus::Check(
        renameat(from_dir.get(), from_name.c_str(), to_dir.get(), to_name.c_str()) == 0);
  }

  std::unique_ptr<FileSystem> Beneath(const std::string& root) override {
    int fd = Open(root, O_PATH | O_DIRECTORY);
    if (fd < 0) return nullptr;
    const std::vector<std::string>& names = Names();
    const std::string given = names.empty() ? std::string() : names[0] + "/" + Trimmed(root);
    return std::unique_ptr<FileSystem>(new BeneathFileSystem(fd, given));
  }

  using FileSystem::Open;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode, FsStatus* status) override {
    const uint64_t flags = static_cast<uint64_t>(OpenFlags(mode));
    Fd fd(Open(path, flags, 0666));
    FsStatus opened = FsStatus::Check(fd.ok());
    if (opened && !IsRegularFd(fd.get())) opened = FsStatus::Failed(FsError::kNotRegular);
    if (status) *status = opened;
    return opened ? FileOfFd(fd.Release()) : nullptr;
  }

 private:
  // Whether `path`, just made, is a directory.
  FsStatus Directory(const std::string& path) {
    DirEntry st;
    const FsStatus there = Stat(path, &st);
    return !there || st.is_dir ? there : FsStatus::FromErrno(ENOTDIR);
  }

  // Opens `path` beneath the root; a path that runs through an absolute link into the tree is
  // translated first.
  int Open(const std::string& path, uint64_t flags, uint64_t mode = 0) const {
    int fd = OpenBeneath(root_, path, flags, mode);
    if (fd >= 0 || errno != EXDEV) return fd;
    std::string inside;
    if (!Translate(path, 0, &inside)) return -1;
    return OpenBeneath(root_, inside, flags, mode);
  }

  // `path` with the absolute links on its way that lead into the tree replaced by their targets'
  // paths inside it. False (errno set) when a link leads outside, the chain is too long, or a
  // component cannot be looked at; a missing component ends the translation there.
  bool Translate(const std::string& path, int links, std::string* out) const {
    if (links > kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    const std::vector<std::string> parts = PathComponents(path);
    const std::string trailing = !path.empty() && path.back() == '/' ? "/" : "";
    std::string done;
    for (size_t i = 0; i < parts.size(); ++i) {
      const std::string here = Join(done, {parts[i]}, 0);
      Fd fd(OpenBeneath(root_, here, O_PATH | O_NOFOLLOW));
      if (!fd.ok()) {
        if (errno != ENOENT) return false;
        *out = Join(here, parts, i + 1) + trailing;
        return true;
      }
      struct stat st;
      if (fstat(fd.get(), &st) != 0) return false;
      if (!S_ISLNK(st.st_mode)) {
        done = here;
        continue;
      }
      std::string target;
      if (!ReadLinkFd(fd.get(), &target)) return false;
      std::string next;
      if (target.empty() || target[0] != '/') {
        next = Join(done, {target}, 0);  // relative to the link's directory
      } else if (!Inside(target, &next)) {
        errno = EXDEV;
        return false;
      }
      return Translate(Join(next, parts, i + 1) + trailing, links + 1, out);
    }
    *out = done + trailing;
    return true;
  }

  // True when the absolute `target` names the root or a place below it, as written or once the
  // links on its way outside the tree are resolved; *rel is its path there. Where it really leads
  // is left to the kernel: *rel is opened beneath the root like any other path.
  bool Inside(const std::string& target, std::string* rel) const {
    if (Below(Normal(target), rel)) return true;
    size_t slash = target.find_last_of('/');
    const std::string dir = target.substr(0, slash == 0 ? 1 : slash);
    char real[PATH_MAX];
    if (!realpath(dir.c_str(), real)) return false;
    return Below(Normal(std::string(real) + "/" + target.substr(slash + 1)), rel);
  }

  // True when the normalised absolute `path` is one of the root's names or lies below one.
  bool Below(const std::string& path, std::string* rel) const {
    for (const std::string& name : Names()) {
      if (path == name) {
        rel->clear();
        return true;
      }
      const std::string prefix = name == "/" ? name : name + "/";
      if (path.compare(0, prefix.size(), prefix) == 0) {
        *rel = path.substr(prefix.size());
        return true;
      }
    }
    return false;
  }

  // The directory that holds the last name of `path`, opened beneath the root, and that name.
  // -1 when it cannot be opened, or the name is none that a directory holds ("", "." or "..").
  int OpenParent(const std::string& path, std::string* name) const {
    const std::string p = Trimmed(path);
    *name = NamePart(p);
    if (name->empty() || *name == "." || *name == "..") {
      errno = EINVAL;
      return -1;
    }
    return Open(DirPart(p), O_PATH | O_DIRECTORY);
  }

  // Removes the last name of `path` in its parent, without following it.
  FsStatus Unlink(const std::string& path, int flags) {
    std::string name;
    Fd dir(OpenParent(path, &name));
    return FsStatus::Check(dir.ok() && unlinkat(dir.get(), name.c_str(), flags) == 0);
  }

  int root_;  // O_PATH handle of the tree's root
  // The names by which an absolute link may point into the tree, normalised: as the directory
  // was given, and as the kernel resolves it. The second is looked up when first needed (most
  // areas never meet such a link, and the lookup reads /proc).
  const std::vector<std::string>& Names() const {
    std::call_once(names_resolved_, [this] {
      const std::string real = PathOfFd(root_);
      if (!real.empty() && (names_.empty() || names_[0] != Normal(real))) {
        names_.push_back(Normal(real));
      }
    });
    return names_;
  }

  mutable std::vector<std::string> names_;
  mutable std::once_flag names_resolved_;
};

// False (after one warning) when the kernel has no openat2: paths could then not be confined.
// Once it has confined a path, the running kernel is known to (asked once per process).
bool KernelConfines(int dirfd) {
  static std::atomic<bool> known(false);
  if (known.load(std::memory_order_relaxed)) return true;
  int fd = OpenBeneath(dirfd, ".", O_PATH | O_DIRECTORY);
  if (fd >= 0) {
    close(fd);
    known.store(true, std::memory_order_relaxed);
    return true;
  }
  if (errno != ENOSYS) return true;  // some other failure; each use will report its own
  static std::once_flag warned;
  std::call_once(warned, [] {
    PrintErr("WARNING:このカーネルではパスを領域内に限定できないため、ファイル操作を拒否します。");
  });
  return false;
}

}  // namespace

std::unique_ptr<FileSystem> BeneathOnDisk(const std::string& root) {
  if (root.empty()) return nullptr;
  int fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (!KernelConfines(fd)) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<FileSystem>(new BeneathFileSystem(fd, root));
}

}  // namespace zk
