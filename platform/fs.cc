// Wildcard matching, search order and the existence tests: logic shared by every FileSystem.
#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace zk {
namespace {

char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Bytes of the UTF-8 character that starts at name[i] (1 for a byte that starts none).
size_t CharLength(const std::string& name, size_t i) {
  unsigned char lead = static_cast<unsigned char>(name[i]);
  size_t len = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
  if (i + len > name.size()) return 1;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) return 1;
  }
  return len;
}

// "*" any run of characters (also none), "?" exactly one character, anything else itself.
// Iterative, with backtracking to the last "*" only: linear in practice, never exponential.
// Positions in the name move by whole characters, so "?" never takes half of one.
bool Glob(const std::string& mask, const std::string& name) {
  size_t m = 0, n = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {  // a star is a wildcard before it is a literal
      star = m++;
      mark = n;
    } else if (m < mask.size() && mask[m] == '?') {
      ++m;
      n += CharLength(name, n);
    } else if (m < mask.size() && Up(mask[m]) == Up(name[n])) {
      ++m;
      ++n;
    } else if (star != std::string::npos) {
      m = star + 1;
      mark += CharLength(name, mark);
      n = mark;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

bool WildcardMatch(const std::string& mask, const std::string& name) {
  if (mask == "*" || mask == "*.*") return true;
  if (Glob(mask, name)) return true;
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) {
    // ".*" at the end may also match nothing: "a.*" matches "a".
    return Glob(mask.substr(0, mask.size() - 2), name);
  }
  if (!mask.empty() && mask.back() == '.') {
    // A mask ending in "." matches names without an extension: "*." matches "README", not
    // "a.txt"; "a*." matches "ab", not "ab.txt" (a name ending in "." matched above as written).
    return name.find('.') == std::string::npos && Glob(mask.substr(0, mask.size() - 1), name);
  }
  return false;
}

bool IsAllZero(const void* data, size_t len) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  // Eight bytes at a time (memcpy is one load); a chunk is up to a unit, checked once.
  for (; len >= sizeof(uint64_t); len -= sizeof(uint64_t), p += sizeof(uint64_t)) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    if (word != 0) return false;
  }
  for (; len > 0; --len) {
    if (*p++ != 0) return false;
  }
  return true;
}

FsStatus TreeFileBytes(FileSystem* fs, const std::string& dir, int64_t* bytes,
                       bool (*skip)(const std::string& name)) {
  *bytes = 0;
  std::vector<DirEntry> entries;
  FsStatus top = fs->Search(dir, "*", &entries);
  if (!top) return top;
  // Directories still to read; a list instead of recursion, for trees of any depth.
  std::vector<std::string> pending;
  for (;;) {
    const std::string base = pending.empty() ? dir : pending.back();
    if (!pending.empty()) pending.pop_back();
    for (const DirEntry& e : entries) {
      if (e.is_link || e.is_special) continue;
      if (e.is_dir) {
        pending.push_back(base.empty() ? e.name : base + "/" + e.name);
      } else if (e.size > 0 && !(skip && skip(e.name))) {
        *bytes = e.size > INT64_MAX - *bytes ? INT64_MAX : *bytes + e.size;
      }
    }
    if (pending.empty()) return FsStatus::Ok();
    entries.clear();
    if (!fs->Search(pending.back(), "*", &entries)) entries.clear();
  }
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

FsStatus FsStatus::FromErrno(int err) {
  FsError error = FsError::kOther;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      error = FsError::kNotFound;
      break;
    case EXDEV:
    case ELOOP:
      error = FsError::kOutside;
      break;
    case EISDIR:
      error = FsError::kNotRegular;
      break;
    case ENOSPC:
    case EDQUOT:
      error = FsError::kNoSpace;
      break;
    default:
      break;
  }
  return FsStatus{error, err};
}

FsStatus FsStatus::Check(bool ok) { return ok ? Ok() : FromErrno(errno); }

bool FileSystem::Exists(const std::string& path) {
  DirEntry e;
  return !path.empty() && Stat(path, &e);
}

bool FileSystem::IsFile(const std::string& path) {
  DirEntry e;
  return !path.empty() && Stat(path, &e) && !e.is_dir && !e.is_special;
}

bool FileSystem::IsDir(const std::string& path) {
  DirEntry e;
  return !path.empty() && Stat(path, &e) && e.is_dir;
}

FsStatus FileSystem::WriteAt(const std::string& path, bool truncate, int64_t offset,
                             const void* data, size_t len) {
  FsStatus status;
  std::unique_ptr<File> file =
      Open(path, truncate ? OpenMode::kReplaceOnly : OpenMode::kUpdateOnly, &status);
  if (!file) return status;
  if (truncate) {
    offset = 0;
  } else if (offset < 0) {
    DirEntry st;
    status = file->Stat(&st);
    offset = st.size;
  }
  if (status) status = file->WriteAt(offset, data, len);
  const FsStatus closed = file->Close();  // a late write error shows here
  return status ? closed : status;
}

FsStatus FileSystem::ReadAt(const std::string& path, int64_t offset, size_t len, void* buf,
                            size_t* got) {
  *got = 0;
  FsStatus status;
  std::unique_ptr<File> file = Open(path, OpenMode::kRead, &status);
  if (!file) return status;
  status = file->ReadAt(offset, len, buf, got);
  const FsStatus closed = file->Close();
  return status ? closed : status;
}

}  // namespace zk
