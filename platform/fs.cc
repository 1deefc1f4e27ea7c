// Wildcard matching and search order: pure logic shared by every FileSystem.
#include "platform/fs.h"

#include <algorithm>

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
  // Upper-case each name once, not once per comparison: listings reach 100,000 entries.
  std::vector<std::string> upper;
  upper.reserve(entries->size());
  for (const DirEntry& e : *entries) upper.push_back(UpperAscii(e.name));
  std::vector<size_t> order(entries->size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    int c = upper[a].compare(upper[b]);
    if (c != 0) return c < 0;
    return (*entries)[a].name < (*entries)[b].name;
  });
  std::vector<DirEntry> sorted;
  sorted.reserve(entries->size());
  for (size_t i : order) sorted.push_back(std::move((*entries)[i]));
  entries->swap(sorted);
}

}  // namespace zk
