// Storage directory lookup and confinement of wire paths to it.
#include "server/storage.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/fs.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

void ToSlashes(std::string* s) {
  for (char& c : *s) {
    if (c == '\\') c = '/';
  }
}

// The real path of `path`: realpath of the longest part of it that exists, with the missing rest
// appended as written. Empty when the path cannot be resolved safely: a component that exists but
// does not resolve (a dangling or looping symbolic link, an unreadable directory) could lead
// anywhere once it is created or followed, so it is never walked past.
std::string RealPrefix(const std::string& path) {
  std::string head = path;
  std::string tail;
  while (!head.empty()) {
    char buf[PATH_MAX];
    if (realpath(head.c_str(), buf)) {
      std::string out = buf;
      if (!tail.empty()) out += (out == "/" ? "" : "/") + tail;
      return out;
    }
    struct stat st;
    if (lstat(head.c_str(), &st) == 0) return std::string();  // there, but does not resolve
    if (errno != ENOENT && errno != ENOTDIR) return std::string();
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) {
      // A relative path whose first component is missing: continue from the current directory.
      tail = tail.empty() ? head : head + "/" + tail;
      head = ".";
      continue;
    }
    std::string last = head.substr(slash + 1);
    if (!last.empty()) tail = tail.empty() ? last : last + "/" + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
  return std::string();
}

// True when `real` is `root` or lies below it (both real paths).
bool IsWithin(const std::string& real, const std::string& root) {
  if (real == root) return true;
  std::string prefix = root == "/" ? root : root + "/";
  return real.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool GetUserStorageDir(const std::string& env_file, const std::string& user_id, std::string* dir) {
  dir->clear();
  if (user_id.empty() || UserExists(env_file, user_id) == 0) return false;
  std::string d = ReadUserDir(env_file, user_id);
  if (d.empty()) return false;
  ToSlashes(&d);
  if (d.back() != '/') d.push_back('/');
  std::string bare = d.size() > 1 ? d.substr(0, d.size() - 1) : d;
  // A failed creation is not an error here: the following test or search then finds nothing.
  // A directory created here is the owner's only, as when the user was added.
  struct stat st;
  if (bare != "/" && stat(bare.c_str(), &st) != 0 && FileSystem::Default()->MakeDirs(bare)) {
    chmod(bare.c_str(), 0700);
  }
  *dir = d;
  return true;
}

bool ResolveInArea(const std::string& area, const std::string& rel, std::string* out) {
  out->clear();
  if (area.empty()) return false;
  std::string r = rel;
  ToSlashes(&r);
  bool trailing = !r.empty() && r.back() == '/';

  // Components; "" and "." are only separators, ".." is never allowed.
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= r.size()) {
    size_t j = r.find('/', i);
    if (j == std::string::npos) j = r.size();
    std::string part = r.substr(i, j - i);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(part);
    i = j + 1;
  }
  std::string joined = area.back() == '/' ? area : area + "/";
  for (size_t k = 0; k < parts.size(); ++k) {
    joined += parts[k];
    if (k + 1 < parts.size()) joined += "/";
  }
  if (!parts.empty() && trailing) joined += "/";

  // A symbolic link inside the area must not lead outside it.
  std::string real_area =
      RealPrefix(area.size() > 1 && area.back() == '/' ? area.substr(0, area.size() - 1) : area);
  std::string probe =
      joined.size() > 1 && joined.back() == '/' ? joined.substr(0, joined.size() - 1) : joined;
  std::string real = RealPrefix(probe);
  if (real_area.empty() || real.empty() || !IsWithin(real, real_area)) return false;
  *out = joined;
  return true;
}

bool StaysInArea(const std::string& area, const std::string& path) {
  char area_buf[PATH_MAX];
  char path_buf[PATH_MAX];
  if (!realpath(area.c_str(), area_buf) || !realpath(path.c_str(), path_buf)) return false;
  return IsWithin(path_buf, area_buf);
}

}  // namespace zk
