// What both POSIX file systems (platform/fs_posix.cc and platform/fs_beneath_posix.cc) share: the
// one description of a file from what statx(2) says of it, a file held open by its descriptor, and
// the confined tree that the real file system hands out.
#ifndef ZK_PLATFORM_FS_STATX_H_
#define ZK_PLATFORM_FS_STATX_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/fs.h"

namespace zk {

// What statx asks for: the basic fields and the birth time where the file system has one.
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

// `stx` as the DirEntry named `name`. A symbolic link described as itself (a dangling one) is an
// ordinary entry that cannot be opened, not a special file.
void DescribeStatx(const struct statx& stx, const std::string& name, DirEntry* out);

// Properties of what the open descriptor `fd` leads to.
bool DescribeFd(int fd, const std::string& name, DirEntry* out);

// True when the open descriptor `fd` is a regular file.
bool IsRegularFd(int fd);

// The open file of the descriptor `fd`, which it closes.
std::unique_ptr<FileSystem::File> FileOfFd(int fd);

// The flags of open(2) for `mode`, without O_CLOEXEC: never blocking on a pipe or device that
// took the file's place (the caller checks that a regular file was opened).
int OpenFlags(FileSystem::OpenMode mode);

// The directory tree below `root` on the disk, confined by the kernel (FileSystem::Beneath of the
// real file system and of its trees).
std::unique_ptr<FileSystem> BeneathOnDisk(const std::string& root);

}  // namespace zk

#endif  // ZK_PLATFORM_FS_STATX_H_
