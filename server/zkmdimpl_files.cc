// Listing, existence queries and removal inside a user's storage directory. Every operation first
// checks that its user id is the one authenticated on the calling connection, then looks the
// user's area up and joins the wire path onto it; an unregistered user id or a path that
// would leave the area gets the operation's failure answer (0 for queries, -1 for removals)
// without anything being read or changed.
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "server/connection_auth.h"
#include "server/listing.h"
#include "server/storage.h"
#include "server/wire_text.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

bool EndsInSeparator(const std::string& s) {
  return !s.empty() && (s.back() == '\\' || s.back() == '/');
}

// `path` without one final "/" (the root "/" stays).
std::string DropFinalSlash(const std::string& path) {
  if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}

// The native path of `rel` inside the area of `user`; false when the user or the path is refused.
bool AreaPath(const std::string& env_file, const char* user, const char* rel, std::string* out) {
  std::string area;
  if (!GetUserStorageDir(env_file, user ? user : "", &area)) return false;
  return ResolveInArea(area, rel ? rel : "", out);
}

// The search of `dir_name` + "\" + `mask` in the area of `user`: the mask is the last component of
// the joined pattern, so a mask cannot reach another directory than the joined one either.
// Entries that are symbolic links leading outside the area (or nowhere) are left out: they could
// only show what lies outside, and every request naming them is refused.
bool SearchArea(const std::string& env_file, const char* user, const char* dir_name,
                const char* mask, std::vector<DirEntry>* found) {
  std::string pattern = dir_name ? dir_name : "";
  if (!pattern.empty() && !EndsInSeparator(pattern)) pattern += '\\';
  pattern += mask ? mask : "";
  std::string area, full;
  if (!GetUserStorageDir(env_file, user ? user : "", &area)) return false;
  if (!ResolveInArea(area, pattern, &full)) return false;
  size_t slash = full.find_last_of('/');
  if (slash == std::string::npos) return false;
  const std::string dir = full.substr(0, slash + 1);
  if (!FileSystem::Default()->Search(dir, full.substr(slash + 1), found)) return false;

  size_t kept = 0;
  for (size_t i = 0; i < found->size(); ++i) {
    DirEntry& e = (*found)[i];
    if (e.is_link && !StaysInArea(area, dir + e.name)) continue;
    if (kept != i) (*found)[kept] = std::move(e);
    ++kept;
  }
  found->resize(kept);
  return true;
}

}  // namespace

CORBA::Long ZKmdImpl::zkExistsDir(const char* userId, const char* dirName) {
  if (!CallerIs(userId, "zkExistsDir")) return 0;
  std::string path;
  if (!AreaPath(env_file_, userId, dirName, &path)) return 0;
  DirEntry st;
  return FileSystem::Default()->Stat(DropFinalSlash(path), &st) && st.is_dir ? 1 : 0;
}

CORBA::Long ZKmdImpl::zkExistsFile(const char* userId, const char* fileName) {
  if (!CallerIs(userId, "zkExistsFile")) return 0;
  std::string path;
  if (!AreaPath(env_file_, userId, fileName, &path)) return 0;
  DirEntry st;
  return FileSystem::Default()->Stat(path, &st) && !st.is_dir ? 1 : 0;
}

CORBA::Long ZKmdImpl::zkFileCount(const char* userId, const char* dirName, const char* fileMask) {
  if (!CallerIs(userId, "zkFileCount")) return 0;
  try {
    std::vector<DirEntry> found;
    if (!SearchArea(env_file_, userId, dirName, fileMask, &found)) return 0;
    KeepWireNames(dirName ? dirName : "", &found, false);  // as zkFileList will list them
    return static_cast<CORBA::Long>(found.size());
  } catch (...) {
    return 0;
  }
}

CORBA::Long ZKmdImpl::zkFileList(const char* userId, const char* dirName, const char* fileMask,
                                 const char* sortKey, ZKmd::zkSeqFileLst& fileList) {
  if (!CallerIs(userId, "zkFileList")) return 0;
  std::vector<DirEntry> found;
  if (!SearchArea(env_file_, userId, dirName, fileMask, &found)) return 0;
  KeepWireNames(dirName ? dirName : "", &found, true);
  if (found.empty()) return 0;

  // Never more entries than the caller sent slots for; those found later are dropped.
  size_t slots = fileList.length();
  size_t filled = found.size() < slots ? found.size() : slots;
  std::vector<ListingRecord> recs;
  recs.reserve(filled);
  for (size_t i = 0; i < filled; ++i) recs.push_back(MakeListingRecord(found[i]));
  found.clear();

  std::string code = sortKey ? sortKey : "";
  std::vector<size_t> order;
  if (!code.empty()) {
    order = ListingOrder(SortKeys(code, recs));
  } else {
    order.resize(filled);
    for (size_t i = 0; i < filled; ++i) order[i] = i;
  }
  for (size_t i = 0; i < filled; ++i) {
    const ListingRecord& rec = recs[order[i]];
    ZKmd::zkStrctFileList& slot = fileList[static_cast<CORBA::ULong>(i)];
    slot.fileNm = rec.name.c_str();
    slot.fileType = rec.type.c_str();
    slot.fileSize = rec.size;
    slot.updDt = rec.upd_dt.c_str();
  }
  return 0;
}

CORBA::Long ZKmdImpl::zkDirRemove(const char* userId, const char* dirName) {
  if (!CallerIs(userId, "zkDirRemove")) return -1;
  std::string path;
  if (!AreaPath(env_file_, userId, dirName, &path)) return -1;
  path = DropFinalSlash(path);
  DirEntry st;
  if (!FileSystem::Default()->Stat(path, &st) || !st.is_dir) return -1;
  FileSystem::Default()->RemoveDir(path);  // a directory with content stays; still 0
  return 0;
}

CORBA::Long ZKmdImpl::zkFileRemove(const char* userId, const char* fileName) {
  if (!CallerIs(userId, "zkFileRemove")) return -1;
  std::string path;
  if (!AreaPath(env_file_, userId, fileName, &path)) return -1;
  DirEntry st;
  if (!FileSystem::Default()->Stat(path, &st) || st.is_dir) return -1;
  FileSystem::Default()->RemoveFile(path);  // outcome not examined, as for directories
  return 0;
}

}  // namespace zk
