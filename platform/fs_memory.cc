// The file system in memory.
#include "platform/fs_memory.h"

#include <algorithm>
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

FsStatus Failed(FsError error) { return FsStatus::Failed(error); }

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

FsStatus MemoryFileSystem::Key(const std::string& path, std::string* key) const {
  const bool view = root_ != "/";
  if (view && !path.empty() && path[0] == '/') {
    return Failed(FsError::kOutside);  // a tree of its own knows no absolute paths
  }
  if (view) {
    // As the kernel resolves beneath a root: a ".." above it is refused, even on the way back in.
    int depth = 0;
    for (const std::string& part : PathComponents(path)) {
      depth += part == ".." ? -1 : 1;
      if (depth < 0) return Failed(FsError::kOutside);
    }
  }
  std::string full = AbsoluteFrom(cwd_, path);
  if (full.size() > 1 && full.back() == '/') full.pop_back();
  *key = full;
  return FsStatus::Ok();
}

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path, FsStatus* why) {
  std::string key;
  FsStatus found = Key(path, &key);
  auto it = found ? tree_->find(key) : tree_->end();
  if (found && it == tree_->end()) found = Failed(FsError::kNotFound);
  if (why) *why = found;
  return found ? &it->second : nullptr;
}

const MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) const {
  return const_cast<MemoryFileSystem*>(this)->Find(path, nullptr);
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

FsStatus MemoryFileSystem::Search(const std::string& dir, const std::string& mask,
                                  std::vector<DirEntry>* out) {
  out->clear();
  std::string key;
  FsStatus found = Key(dir, &key);
  const Node* d = found ? Find(dir, &found) : nullptr;
  if (!found) return found;
  if (!d->dir) return Failed(FsError::kNotFound);
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
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::Stat(const std::string& path, DirEntry* out) {
  std::string key;
  FsStatus found = Key(path, &key);
  const Node* n = found ? Find(path, &found) : nullptr;
  if (!found) return found;
  *out = DirEntry();
  out->name = key == "/" ? key : NamePart(key);
  out->is_dir = n->dir;
  out->size = n->dir ? 0 : static_cast<int64_t>(n->data.size());
  out->mtime = n->mtime;
  out->btime = n->mtime;
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::MakeDirs(const std::string& path) {
  std::string key;
  if (path.empty()) return Failed(FsError::kNotFound);
  const FsStatus inside = Key(path, &key);
  if (!inside) return inside;
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
      return Failed(FsError::kNotFound);  // no directory of that name
    }
  }
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::MakeDir(const std::string& path, int mode) {
  std::string key;
  if (path.empty()) return Failed(FsError::kNotFound);
  const FsStatus inside = Key(path, &key);
  if (!inside) return inside;
  auto it = tree_->find(key);
  if (it != tree_->end()) return it->second.dir ? FsStatus::Ok() : Failed(FsError::kOther);
  if (!ParentIsDir(key)) return Failed(FsError::kNotFound);
  Node dir;
  dir.dir = true;
  dir.mode = mode;
  tree_->emplace(key, dir);
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::SetMode(const std::string& path, int mode) {
  FsStatus found;
  Node* n = Find(path, &found);
  if (n) n->mode = mode;
  return found;
}

FsStatus MemoryFileSystem::RealPath(const std::string& path, std::string* real) {
  std::string key;
  FsStatus found = Key(path, &key);
  if (found) Find(path, &found);
  if (found) *real = Relative(key);
  return found;
}

bool MemoryFileSystem::CanExecute(const std::string& path) {
  const Node* n = Find(path);
  return n && !n->dir && (n->mode & 0111) != 0;
}

FsStatus MemoryFileSystem::RemoveDir(const std::string& path) {
  std::string key;
  FsStatus found = Key(path, &key);
  const Node* n = found ? Find(path, &found) : nullptr;
  if (!found) return found;
  if (!n->dir) return Failed(FsError::kNotFound);
  if (key == root_) return Failed(FsError::kOther);
  auto next = tree_->upper_bound(key);
  if (next != tree_->end() && next->first.compare(0, key.size() + 1, key + "/") == 0) {
    return Failed(FsError::kOther);  // not empty
  }
  tree_->erase(key);
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::RemoveFile(const std::string& path) {
  std::string key;
  FsStatus found = Key(path, &key);
  const Node* n = found ? Find(path, &found) : nullptr;
  if (!found) return found;
  if (n->dir) return Failed(FsError::kNotRegular);
  tree_->erase(key);
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::SetWriteTime(const std::string& path, int64_t mtime) {
  FsStatus found;
  Node* n = Find(path, &found);
  if (!found) return found;
  if (n->dir) return Failed(FsError::kNotRegular);
  n->mtime = mtime;
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::Resize(const std::string& path, int64_t size) {
  FsStatus found;
  Node* n = Find(path, &found);
  if (!found) return found;
  if (n->dir) return Failed(FsError::kNotRegular);
  if (size < 0) return Failed(FsError::kOther);
  n->data.resize(static_cast<size_t>(size), '\0');
  return FsStatus::Ok();
}

FsStatus MemoryFileSystem::Rename(const std::string& from, const std::string& to) {
  std::string from_key, to_key;
  FsStatus found = Key(from, &from_key);
  if (found) found = Key(to, &to_key);
  const Node* n = found ? Find(from, &found) : nullptr;
  if (!found) return found;
  if (!ParentIsDir(to_key)) return Failed(FsError::kNotFound);
  if (n->dir) return Failed(FsError::kNotRegular);  // files only: what the writers put in place
  const Node* there = Find(to, nullptr);
  if (there && there->dir) return Failed(FsError::kNotRegular);
  if (from_key == to_key) return FsStatus::Ok();
  Node moved = *n;
  tree_->erase(from_key);
  (*tree_)[to_key] = moved;
  return FsStatus::Ok();
}

// An open file: the entry under its key, looked up on each use.
class MemoryFileSystem::MemoryFile : public FileSystem::File {
 public:
  MemoryFile(std::shared_ptr<Tree> tree, std::string key, bool can_read)
      : tree_(std::move(tree)), key_(std::move(key)), can_read_(can_read) {}

  FsStatus Stat(DirEntry* out) override {
    const Node* n = Get();
    if (!n) return Failed(FsError::kNotFound);
    *out = DirEntry();
    out->size = static_cast<int64_t>(n->data.size());
    out->mtime = n->mtime;
    out->btime = n->mtime;
    return FsStatus::Ok();
  }
  FsStatus ReadAt(int64_t offset, size_t len, void* buf, size_t* got) override {
    *got = 0;
    const Node* n = Get();
    if (!n) return Failed(FsError::kNotFound);
    if (!can_read_ || offset < 0) return Failed(FsError::kOther);
    const size_t at = static_cast<size_t>(offset);
    if (at < n->data.size()) {
      *got = std::min(len, n->data.size() - at);
      std::memcpy(buf, n->data.data() + at, *got);
    }
    return FsStatus::Ok();
  }
  FsStatus WriteAt(int64_t offset, const void* data, size_t len) override {
    Node* n = Get();
    if (!n) return Failed(FsError::kNotFound);
    if (offset < 0) return Failed(FsError::kOther);
    const size_t at = static_cast<size_t>(offset);
    if (n->data.size() < at + len) n->data.resize(at + len, '\0');
    if (len > 0) std::memcpy(&n->data[at], data, len);
    return FsStatus::Ok();
  }
  ~MemoryFile() override { Unlock(); }
  FsStatus Close() override {
    Unlock();
    const bool was = open_;
    open_ = false;
    return was ? FsStatus::Ok() : Failed(FsError::kOther);
  }
  FsStatus Lock() override {
    Node* n = Get();
    if (!n) return Failed(FsError::kNotFound);
    if (n->locked_by && n->locked_by != this) return Failed(FsError::kOther);
    n->locked_by = this;
    return FsStatus::Ok();
  }

 private:
  void Unlock() {
    Node* n = Get();
    if (n && n->locked_by == this) n->locked_by = nullptr;
  }
  Node* Get() {
    if (!open_) return nullptr;
    auto it = tree_->find(key_);
    return it == tree_->end() || it->second.dir ? nullptr : &it->second;
  }

  std::shared_ptr<Tree> tree_;
  std::string key_;
  bool can_read_;
  bool open_ = true;
};

std::unique_ptr<FileSystem::File> MemoryFileSystem::Open(const std::string& path, OpenMode mode,
                                                         FsStatus* status) {
  const bool create = mode == OpenMode::kCreate || mode == OpenMode::kReplaceOnly;
  std::string key;
  FsStatus opened = Key(path, &key);
  Node* n = opened ? Find(path, nullptr) : nullptr;
  if (opened && n && n->dir) opened = Failed(FsError::kNotRegular);
  if (opened && !n && !create) opened = Failed(FsError::kNotFound);
  if (opened && !n && !ParentIsDir(key)) opened = Failed(FsError::kNotFound);
  if (status) *status = opened;
  if (!opened) return nullptr;
  if (!n) {
    n = &(*tree_)[key];
    n->mode = 0666;
  }
  if (create) n->data.clear();
  const bool can_read =
      mode == OpenMode::kRead || mode == OpenMode::kWrite || mode == OpenMode::kCreate;
  return std::unique_ptr<File>(new MemoryFile(tree_, key, can_read));
}

std::unique_ptr<FileSystem> MemoryFileSystem::Beneath(const std::string& root) {
  std::string key;
  const Node* n = Find(root);
  if (!n || !n->dir || !Key(root, &key)) return nullptr;
  return std::unique_ptr<FileSystem>(new MemoryFileSystem(tree_, key, key));
}

}  // namespace zk
