// The file system in memory.
#include "platform/fs_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/pathtext.h"
#include "platform/startdir.h"

namespace zk {
namespace {

std::string ParentOf(const std::string& key) {
  size_t slash = key.find_last_of('/');
  return slash == 0 ? "/" : key.substr(0, slash);
}

// The prefix that the keys of the entries in directory `key` start with.
std::string ChildPrefix(const std::string& key) { return key == "/" ? key : key + "/"; }

}  // namespace

MemoryFileSystem::MemoryFileSystem() : MemoryFileSystem("/") {}

MemoryFileSystem::MemoryFileSystem(const std::string& cwd)
    : MemoryFileSystem(std::make_shared<Tree>(), "/", AbsoluteFrom("/", cwd)) {}

MemoryFileSystem::MemoryFileSystem(std::shared_ptr<Tree> tree, std::string root, std::string cwd)
    : tree_(std::move(tree)), root_(std::move(root)), cwd_(std::move(cwd)) {
  Node top;
  top.dir = true;
  top.mode = 0755;
  tree_->emplace("/", top);
}

bool MemoryFileSystem::Key(const std::string& path, std::string* key) const {
  const bool view = root_ != "/";
  if (view && !path.empty() && path[0] == '/') {
    errno = EXDEV;  // a tree of its own knows no absolute paths
    return false;
  }
  if (view) {
    // As the kernel resolves beneath a root: a ".." above it is refused, even on the way back in.
    int depth = 0;
    for (const std::string& part : PathComponents(path)) {
      depth += part == ".." ? -1 : 1;
      if (depth < 0) {
        errno = EXDEV;
        return false;
      }
    }
  }
  std::string full = AbsoluteFrom(cwd_, path);
  if (full.size() > 1 && full.back() == '/') full.pop_back();
  *key = full;
  return true;
}

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) {
  std::string key;
  if (!Key(path, &key)) return nullptr;
  auto it = tree_->find(key);
  if (it == tree_->end()) {
    errno = ENOENT;
    return nullptr;
  }
  return &it->second;
}

const MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) const {
  return const_cast<MemoryFileSystem*>(this)->Find(path);
}

std::string MemoryFileSystem::Relative(const std::string& key) const {
  if (root_ == "/") return key;
  return key == root_ ? std::string() : key.substr(root_.size() + 1);
}

bool MemoryFileSystem::ParentIsDir(const std::string& key) const {
  auto it = tree_->find(ParentOf(key));
  return it != tree_->end() && it->second.dir;
}

void MemoryFileSystem::AddFile(const std::string& path, const std::string& content, int64_t mtime) {
  std::string key;
  if (!Key(path, &key)) return;
  MakeDirs(Relative(ParentOf(key)));
  Node& n = (*tree_)[key];
  n.dir = false;
  n.data = content;
  n.mtime = mtime;
  n.mode = 0644;
}

void MemoryFileSystem::AddDir(const std::string& path) { MakeDirs(path); }

std::string MemoryFileSystem::Content(const std::string& path) const {
  const Node* n = Find(path);
  return n && !n->dir ? n->data : std::string();
}

int MemoryFileSystem::Mode(const std::string& path) const {
  const Node* n = Find(path);
  return n ? n->mode : -1;
}

bool MemoryFileSystem::Search(const std::string& dir, const std::string& mask,
                              std::vector<DirEntry>* out) {
  out->clear();
  std::string key;
  const Node* d = Find(dir);
  if (!d || !d->dir || !Key(dir, &key)) return false;
  const std::string prefix = ChildPrefix(key);
  for (auto it = tree_->lower_bound(prefix); it != tree_->end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    const std::string name = it->first.substr(prefix.size());
    if (name.find('/') != std::string::npos || !WildcardMatch(mask, name)) continue;
    DirEntry e;
    Stat(Relative(it->first), &e);
    out->push_back(e);
  }
  SortSearchOrder(out);
  return true;
}

bool MemoryFileSystem::Stat(const std::string& path, DirEntry* out) {
  std::string key;
  const Node* n = Find(path);
  if (!n || !Key(path, &key)) return false;
  *out = DirEntry();
  out->name = key == "/" ? key : NamePart(key);
  out->is_dir = n->dir;
  out->size = n->dir ? 0 : static_cast<int64_t>(n->data.size());
  out->mtime = n->mtime;
  out->btime = n->mtime;
  return true;
}

bool MemoryFileSystem::MakeDirs(const std::string& path) {
  std::string key;
  if (path.empty() || !Key(path, &key)) return false;
  // Each component from the top; a file on the way fails.
  size_t at = 0;
  while (at != std::string::npos) {
    at = key.find('/', at + 1);
    const std::string part = key.substr(0, at);
    auto it = tree_->find(part);
    if (it == tree_->end()) {
      Node dir;
      dir.dir = true;
      dir.mode = 0777;
      tree_->emplace(part, dir);
    } else if (!it->second.dir) {
      errno = ENOTDIR;
      return false;
    }
  }
  return true;
}

bool MemoryFileSystem::MakeDir(const std::string& path, int mode) {
  std::string key;
  if (path.empty() || !Key(path, &key)) return false;
  auto it = tree_->find(key);
  if (it != tree_->end()) return it->second.dir;
  if (!ParentIsDir(key)) return false;
  Node dir;
  dir.dir = true;
  dir.mode = mode;
  tree_->emplace(key, dir);
  return true;
}

bool MemoryFileSystem::SetMode(const std::string& path, int mode) {
  Node* n = Find(path);
  if (n) n->mode = mode;
  return n != nullptr;
}

bool MemoryFileSystem::RealPath(const std::string& path, std::string* real) {
  std::string key;
  if (!Find(path) || !Key(path, &key)) return false;
  *real = Relative(key);
  return true;
}

bool MemoryFileSystem::CanExecute(const std::string& path) {
  const Node* n = Find(path);
  return n && !n->dir && (n->mode & 0111) != 0;
}

bool MemoryFileSystem::RemoveDir(const std::string& path) {
  std::string key;
  const Node* n = Find(path);
  if (!n || !n->dir || !Key(path, &key) || key == root_) return false;
  auto next = tree_->upper_bound(key);
  if (next != tree_->end() && next->first.compare(0, key.size() + 1, key + "/") == 0) {
    errno = ENOTEMPTY;
    return false;
  }
  tree_->erase(key);
  return true;
}

bool MemoryFileSystem::RemoveFile(const std::string& path) {
  std::string key;
  const Node* n = Find(path);
  if (!n || n->dir || !Key(path, &key)) return false;
  tree_->erase(key);
  return true;
}

bool MemoryFileSystem::WriteAt(const std::string& path, bool truncate, int64_t offset,
                               const void* data, size_t len) {
  std::string key;
  if (!Key(path, &key)) return false;
  Node* n = Find(path);
  if (truncate) {
    if (n && n->dir) return false;
    if (!n) {
      if (!ParentIsDir(key)) return false;
      n = &(*tree_)[key];
      n->mode = 0666;
    }
    n->data.clear();
    offset = 0;
  } else if (!n || n->dir) {
    return false;
  }
  size_t at = offset < 0 ? n->data.size() : static_cast<size_t>(offset);
  if (n->data.size() < at + len) n->data.resize(at + len, '\0');
  if (len > 0) std::memcpy(&n->data[at], data, len);
  return true;
}

bool MemoryFileSystem::ReadAt(const std::string& path, int64_t offset, size_t len, void* buf,
                              size_t* got) {
  *got = 0;
  const Node* n = Find(path);
  if (!n || n->dir || offset < 0) return false;
  const size_t at = static_cast<size_t>(offset);
  if (at < n->data.size()) {
    *got = std::min(len, n->data.size() - at);
    std::memcpy(buf, n->data.data() + at, *got);
  }
  return true;
}

bool MemoryFileSystem::SetWriteTime(const std::string& path, int64_t mtime) {
  Node* n = Find(path);
  if (!n || n->dir) return false;
  n->mtime = mtime;
  return true;
}

bool MemoryFileSystem::Resize(const std::string& path, int64_t size) {
  Node* n = Find(path);
  if (!n || n->dir || size < 0) return false;
  n->data.resize(static_cast<size_t>(size), '\0');
  return true;
}

bool MemoryFileSystem::Rename(const std::string& from, const std::string& to) {
  std::string from_key, to_key;
  const Node* n = Find(from);
  if (!n || !Key(from, &from_key) || !Key(to, &to_key) || !ParentIsDir(to_key)) return false;
  if (n->dir) return false;  // files only: what the writers put in place
  const Node* there = Find(to);
  if (there && there->dir) return false;
  if (from_key == to_key) return true;
  Node moved = *n;
  tree_->erase(from_key);
  (*tree_)[to_key] = moved;
  return true;
}

std::unique_ptr<FileSystem> MemoryFileSystem::Beneath(const std::string& root) {
  std::string key;
  const Node* n = Find(root);
  if (!n || !n->dir || !Key(root, &key)) return nullptr;
  return std::unique_ptr<FileSystem>(new MemoryFileSystem(tree_, key, key));
}

}  // namespace zk
