// Path text: pure functions on paths written with "/" (native) or "\" (the wire), shared by every
// layer that takes paths apart. Nothing here looks at a disk.
#ifndef ZK_PLATFORM_PATHTEXT_H_
#define ZK_PLATFORM_PATHTEXT_H_

#include <string>
#include <vector>

namespace zk {

// True when `path` ends in "/" or "\".
bool EndsWithSeparator(const std::string& path);

// `dir` with one final "/" added when it has none ("" gives "/").
std::string WithSlash(const std::string& dir);

// The parts of a "/" path before and after its last "/": "a/b/c" gives "a/b" and "c", "c" gives
// "" and "c", "/c" gives "" and "c", "a/" gives "a" and "".
std::string DirPart(const std::string& path);
std::string NamePart(const std::string& path);

// The components of a "/" path, with empty ones (repeated, leading or final "/") and "." left
// out; ".." is kept, for the caller to judge.
std::vector<std::string> PathComponents(const std::string& path);

}  // namespace zk

#endif  // ZK_PLATFORM_PATHTEXT_H_
