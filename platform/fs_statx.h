// The one description of a file that both POSIX file systems give (platform/fs_posix.cc and
// platform/fs_beneath_posix.cc), from what statx(2) says of it.
#ifndef ZK_PLATFORM_FS_STATX_H_
#define ZK_PLATFORM_FS_STATX_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "platform/fs.h"

namespace zk {

// What statx asks for: the basic fields and the birth time where the file system has one.
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

// `stx` as the DirEntry named `name`. A symbolic link described as itself (a dangling one) is an
// ordinary entry that cannot be opened, not a special file.
void DescribeStatx(const struct statx& stx, const std::string& name, DirEntry* out);

}  // namespace zk

#endif  // ZK_PLATFORM_FS_STATX_H_
