// Wildcard matching and search order: pure logic shared by every FileSystem.
#include <algorithm>

#include "platform/fs.h"
#include "platform/text.h"

namespace zk {
namespace {

char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool WildcardMatch(const std::string& mask, const std::string& name) {
  if (mask == "*" || mask == "*.*") return true;
  // Iterative glob with backtracking to the last "*": linear in practice, never exponential.
  size_t m = 0, n = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Up(mask[m]) == Up(name[n]))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      mark = n;
    } else if (star != std::string::npos) {
      m = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  // "name." style masks: a trailing "." or ".*" also matches a name without extension.
  if (m < mask.size() && (mask.substr(m) == "." || mask.substr(m) == ".*")) return true;
  return m == mask.size();
}

void SortSearchOrder(std::vector<DirEntry>* entries) {
  std::sort(entries->begin(), entries->end(), [](const DirEntry& a, const DirEntry& b) {
    std::string ua = UpperAscii(a.name), ub = UpperAscii(b.name);
    if (ua != ub) return ua < ub;
    return a.name < b.name;
  });
}

}  // namespace zk
