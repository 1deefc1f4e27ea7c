// Storage directory lookup, the confined area and wire paths inside it.
#include "server/storage.h"

#include <memory>
#include <mutex>
#include <vector>

#include "platform/pathtext.h"
#include "server/uploads.h"
#include "settings/zkdb.h"

namespace zk {

namespace {

// The reader of the settings file the last lookup read, kept open from one request to the next
// (a server reads one file); it re-reads what changed, so a user's new directory is seen at once.
std::shared_ptr<UserReader> KeptReader(const std::string& env_file) {
  static std::mutex mu;
  static std::shared_ptr<UserReader>* kept = new std::shared_ptr<UserReader>;  // outlives threads
  std::lock_guard<std::mutex> lock(mu);
  if (!*kept || (*kept)->file() != env_file) *kept = std::make_shared<UserReader>(env_file);
  return *kept;
}

}  // namespace

bool RegisteredStorageDir(const std::string& env_file, const std::string& user_id,
                          std::string* dir) {
  dir->clear();
  UserRow user;
  if (user_id.empty() || KeptReader(env_file)->Read(user_id, &user) != ReadStatus::kFound) {
    return false;
  }
  std::string d = user.storage_dir;
  if (d.empty()) return false;
  for (char& c : d) {
    if (c == '\\') c = '/';
  }
  if (d.back() != '/') d.push_back('/');
  *dir = d;
  return true;
}

bool GetUserStorageDir(FileSystem* fs, const std::string& env_file, const std::string& user_id,
                       std::string* dir) {
  if (!RegisteredStorageDir(env_file, user_id, dir)) return false;
  std::string bare = dir->size() > 1 ? dir->substr(0, dir->size() - 1) : *dir;
  // A failed creation is not an error here: the following test or search then finds nothing.
  // A directory created here is the owner's only, as when the user was added.
  if (bare != "/" && !fs->Exists(bare) && fs->MakeDirs(bare)) fs->SetMode(bare, 0700);
  return true;
}

std::unique_ptr<FileSystem> OpenUserArea(FileSystem* fs, const std::string& env_file,
                                         const std::string& user_id) {
  std::string dir;
  if (!GetUserStorageDir(fs, env_file, user_id, &dir)) return nullptr;
  return fs->Beneath(dir);
}

bool AreaRelativePath(const std::string& wire, std::string* rel) {
  rel->clear();
  std::string r = wire;
  for (char& c : r) {
    if (c == '\\') c = '/';
  }
  const bool trailing = !r.empty() && r.back() == '/';
  const std::vector<std::string> parts = PathComponents(r);
  for (const std::string& part : parts) {
    // Nor may a request name the temporary file of an upload (no UTF-8 text can; this holds
    // whatever reaches the area).
    if (part == ".." || IsUploadTempName(part)) return false;
  }
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) *rel += "/";
    *rel += parts[k];
  }
  if (!parts.empty() && trailing) *rel += "/";
  return true;
}

}  // namespace zk
