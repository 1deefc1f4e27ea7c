// Storage directory lookup, the confined area and wire paths inside it.
#include "server/storage.h"

#include <sys/stat.h>

#include <array>
#include <vector>

#include "server/uploads.h"
#include "settings/zkdb.h"

namespace zk {

bool GetUserStorageDir(const std::string& env_file, const std::string& user_id, std::string* dir) {
  dir->clear();
  std::array<std::string, 3> row;
  if (user_id.empty() || ReadUserRow(env_file, user_id, &row) != ReadStatus::kFound) return false;
  std::string d = row[2];
  if (d.empty()) return false;
  for (char& c : d) {
    if (c == '\\') c = '/';
  }
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

std::unique_ptr<FileSystem> OpenUserArea(FileSystem* fs, const std::string& env_file,
                                         const std::string& user_id) {
  std::string dir;
  if (!GetUserStorageDir(env_file, user_id, &dir)) return nullptr;
  return fs->Beneath(dir);
}

bool AreaRelativePath(const std::string& wire, std::string* rel) {
  rel->clear();
  std::string r = wire;
  for (char& c : r) {
    if (c == '\\') c = '/';
  }
  const bool trailing = !r.empty() && r.back() == '/';
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= r.size()) {
    size_t j = r.find('/', i);
    if (j == std::string::npos) j = r.size();
    std::string part = r.substr(i, j - i);
    // Nor may a request name the temporary file of an upload (no UTF-8 text can; this holds
    // whatever reaches the area).
    if (part == ".." || IsUploadTempName(part)) return false;
    if (!part.empty() && part != ".") parts.push_back(part);
    i = j + 1;
  }
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) *rel += "/";
    *rel += parts[k];
  }
  if (!parts.empty() && trailing) *rel += "/";
  return true;
}

}  // namespace zk
