// Path text.
#include "platform/pathtext.h"

namespace zk {

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

std::string WithSlash(const std::string& dir) {
  return !dir.empty() && dir.back() == '/' ? dir : dir + "/";
}

std::string DirPart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string NamePart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i && path.compare(i, j - i, ".") != 0) parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

}  // namespace zk
