// Storage directory lookup and confinement of wire paths to it.
#include "server/storage.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/fs.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

// realpath of `path`, or of its longest existing ancestor with the rest appended unresolved.
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
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) break;
    std::string last = head.substr(slash + 1);
    tail = tail.empty() ? last : last + "/" + tail;
    head = head.substr(0, slash);
    if (head.empty()) head = "/";
    if (head == "/" && slash == 0 && last.empty()) break;
  }
  return std::string();
}

}  // namespace

bool GetUserStorageDir(const std::string& env_file, const std::string& user_id, std::string* dir) {
  dir->clear();
  if (UserExists(env_file, user_id) == 0) return false;
  std::string d = ReadUserDir(env_file, user_id);
  if (d.empty()) return false;
  for (char& c : d) {
    if (c == '\\') c = '/';
  }
  if (d.back() != '/') d.push_back('/');
  std::string bare = d.size() > 1 ? d.substr(0, d.size() - 1) : d;
  if (bare != "/") FileSystem::Default()->MakeDirs(bare);
  *dir = d;
  return true;
}

bool ResolveInArea(const std::string& area, const std::string& rel, std::string* out) {
  out->clear();
  if (area.empty()) return false;
  std::string r = rel;
  for (char& c : r) {
    if (c == '\\') c = '/';
  }
  bool trailing = !r.empty() && r.back() == '/';
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
  std::string real_area = RealPrefix(area.size() > 1 && area.back() == '/'
                                         ? area.substr(0, area.size() - 1)
                                         : area);
  std::string probe = joined.size() > 1 && joined.back() == '/'
                          ? joined.substr(0, joined.size() - 1)
                          : joined;
  std::string real = RealPrefix(probe);
  if (real_area.empty() || real.empty()) return false;
  if (real != real_area &&
      real.compare(0, real_area.size() + 1, real_area == "/" ? "/" : real_area + "/") != 0) {
    return false;
  }
  *out = joined;
  return true;
}

}  // namespace zk
