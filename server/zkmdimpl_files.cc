// Listing, existence queries and removal inside a user's storage directory. Every operation first
// checks that its user id is the one authenticated on the calling connection, then opens the
// user's area (a file system that no path can leave) and works on the wire path inside it; an
// unregistered user id or a path that would leave the area gets the operation's failure answer
// (kEntryAbsent or no entries for queries, kChangeFailed for removals) without anything being read
// or changed.
#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "idl/wire.h"
#include "platform/fs.h"
#include "platform/pathtext.h"
#include "server/area_usage.h"
#include "server/audit_events.h"
#include "server/connection_auth.h"
#include "server/listing.h"
#include "server/storage.h"
#include "server/uploads.h"
#include "server/wire_text.h"
#include "server/server_state.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

// `path` without one final "/".
std::string DropFinalSlash(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}

// The area of `user` (at the storage directory *dir, when asked) and the path of `rel` in it; false
// when the user or the path is refused.
bool AreaPath(FileSystem* fs, const std::string& env_file, const char* user, const char* rel,
              std::unique_ptr<FileSystem>* area, std::string* path, std::string* dir = nullptr) {
  if (!AreaRelativePath(rel ? rel : "", path)) return false;
  std::string storage;
  if (!GetUserStorageDir(fs, env_file, user ? user : "", &storage)) return false;
  *area = fs->Beneath(storage);
  if (dir) *dir = storage;
  return *area != nullptr;
}

// What one path operation works on: the caller's area (at the storage directory `dir`), the path
// in it and what is there.
struct AreaEntry {
  std::unique_ptr<FileSystem> area;
  std::string dir;
  std::string path;
  DirEntry entry;
};

// The guard and the lookup of the operations on one path: true when `user` is the one logged in
// on the connection (else the refusal is logged), `rel` lies in that user's area and something
// is there (a directory's path is looked at without its final separator).
bool LookUp(const ConnectionAuth& connections, FileSystem* fs, const std::string& env_file,
            const char* operation, const char* user, const char* rel, bool as_dir, AreaEntry* e) {
  if (!CallerIs(connections, user, operation) ||
      !AreaPath(fs, env_file, user, rel, &e->area, &e->path, &e->dir)) {
    return false;
  }
  if (as_dir) e->path = DropFinalSlash(e->path);
  return e->area->Stat(e->path, &e->entry).ok();
}

// The search of `dir_name` + "\" + `mask` in the area of `user`: the mask is the last component
// of the joined pattern, so a mask cannot reach another directory than the joined one either.
// Entries that are symbolic links leading outside the area (or nowhere) are left out by the
// area's search: they could only show what lies outside, and every request naming them is
// refused.
bool SearchArea(FileSystem* fs, const std::string& env_file, const char* user, const char* dir_name,
                const char* mask, std::vector<DirEntry>* found) {
  std::string pattern = dir_name ? dir_name : "";
  if (!pattern.empty() && !EndsWithSeparator(pattern)) pattern += '\\';
  pattern += mask ? mask : "";
  std::unique_ptr<FileSystem> area;
  std::string rel;
  if (!AreaPath(fs, env_file, user, pattern.c_str(), &area, &rel)) return false;
  if (!area->Search(DirPart(rel), NamePart(rel), found)) return false;
  // Uploads in progress are nobody's business but their own.
  found->erase(std::remove_if(found->begin(), found->end(),
                              [](const DirEntry& e) { return IsUploadTempName(e.name); }),
               found->end());
  return true;
}

// The entries of `dir_name` matching `mask`, at most `slots` of them, in the order of
// `sort_key`. False when nothing is listed (refused, missing, empty).
bool ListArea(FileSystem* fs, const std::string& env_file, const char* user, const char* dir_name,
              const char* mask, const char* sort_key, size_t slots,
              std::vector<ListingRecord>* out) {
  std::vector<DirEntry> found;
  if (!SearchArea(fs, env_file, user, dir_name, mask, &found)) return false;
  KeepWireNames(dir_name ? dir_name : "", &found, true);
  if (found.empty()) return false;

  // Never more entries than the caller sent slots for; those found later are dropped.
  size_t filled = found.size() < slots ? found.size() : slots;
  std::vector<ListingRecord> recs;
  recs.reserve(filled);
  for (size_t i = 0; i < filled; ++i) recs.push_back(MakeListingRecord(found[i]));
  found.clear();

  std::string code = sort_key ? sort_key : "";
  std::vector<size_t> order;
  if (!code.empty()) {
    order = ListingOrder(SortKeys(code, recs));
  } else {
    order.resize(filled);
    for (size_t i = 0; i < filled; ++i) order[i] = i;
  }
  out->clear();
  out->reserve(filled);
  for (size_t i : order) out->push_back(std::move(recs[i]));
  return true;
}

// The size of a slot: the 32-bit field says -1 for what it cannot carry.
void SetSize(ZKmd::zkStrctFileList& slot, int64_t size) { slot.fileSize = NarrowSize(size); }
void SetSize(ZKmd::zkStrctFileList64& slot, int64_t size) { slot.fileSize = size; }

// Either listing: the guard, then the slots the caller sent filled in the order of `sortKey`.
template <class Slots>
CORBA::Long ListInto(const ConnectionAuth& connections, FileSystem* fs, const std::string& env_file,
                     const char* operation, const char* userId, const char* dirName,
                     const char* fileMask, const char* sortKey, Slots& fileList) {
  if (!CallerIs(connections, userId, operation)) {
    fileList.length(0);  // nothing of what the caller sent goes back
    return 0;
  }
  std::vector<ListingRecord> recs;
  if (!ListArea(fs, env_file, userId, dirName, fileMask, sortKey, fileList.length(), &recs)) {
    return 0;
  }
  for (size_t i = 0; i < recs.size(); ++i) {
    auto& slot = fileList[static_cast<CORBA::ULong>(i)];
    slot.fileNm = recs[i].name.c_str();
    slot.fileType = recs[i].type.c_str();
    SetSize(slot, recs[i].size);
    slot.updDt = recs[i].upd_dt.c_str();
  }
  return 0;
}

}  // namespace

CORBA::Long ZKmdImpl::zkExistsDir(const char* userId, const char* dirName) {
  AreaEntry e;
  return LookUp(state_->connections, fs_, env_file_, "zkExistsDir", userId, dirName, true, &e) && e.entry.is_dir
             ? kEntryExists
             : kEntryAbsent;
}

CORBA::Long ZKmdImpl::zkExistsFile(const char* userId, const char* fileName) {
  AreaEntry e;
  return LookUp(state_->connections, fs_, env_file_, "zkExistsFile", userId, fileName, false, &e) && !e.entry.is_dir
             ? kEntryExists
             : kEntryAbsent;
}

CORBA::Long ZKmdImpl::zkFileCount(const char* userId, const char* dirName, const char* fileMask) {
  if (!CallerIs(state_->connections, userId, "zkFileCount")) return 0;
  try {
    std::vector<DirEntry> found;
    if (!SearchArea(fs_, env_file_, userId, dirName, fileMask, &found)) return 0;
    KeepWireNames(dirName ? dirName : "", &found, false);  // as zkFileList will list them
    return static_cast<CORBA::Long>(found.size());
  } catch (const std::exception&) {
    return 0;  // the count is 0 after any failure of the search, running out of memory too
  }
}

CORBA::Long ZKmdImpl::zkFileList(const char* userId, const char* dirName, const char* fileMask,
                                 const char* sortKey, ZKmd::zkSeqFileLst& fileList) {
  return ListInto(state_->connections, fs_, env_file_, "zkFileList", userId, dirName, fileMask, sortKey, fileList);
}

CORBA::Long ZKmdImpl::zkFileList64(const char* userId, const char* dirName, const char* fileMask,
                                   const char* sortKey, ZKmd::zkSeqFileLst64& fileList) {
  return ListInto(state_->connections, fs_, env_file_, "zkFileList64", userId, dirName, fileMask, sortKey, fileList);
}

CORBA::Long ZKmdImpl::zkDirRemove(const char* userId, const char* dirName) {
  const auto started = std::chrono::steady_clock::now();
  AreaEntry e;
  CORBA::Long result = kChangeFailed;
  if (LookUp(state_->connections, fs_, env_file_, "zkDirRemove", userId, dirName, true, &e) &&
      e.entry.is_dir) {
    e.area->RemoveDir(e.path);  // a directory with content stays; still done
    result = kChangeDone;
  }
  AuditPathCall(&state_->audit, AuditEvent::kRemoveDir, userId, dirName, result, started);
  return result;
}

CORBA::Long ZKmdImpl::zkFileRemove(const char* userId, const char* fileName) {
  const auto started = std::chrono::steady_clock::now();
  AreaEntry e;
  CORBA::Long result = kChangeFailed;
  if (LookUp(state_->connections, fs_, env_file_, "zkFileRemove", userId, fileName, false, &e) &&
      !e.entry.is_dir) {
    // The outcome is not examined, as for directories; a file that went frees its bytes in the
    // area's figure (server/area_usage.h).
    const int64_t bytes =
        state_->area_usage.Counted(e.dir) ? OwnFileBytes(e.area.get(), e.path) : 0;
    if (e.area->RemoveFile(e.path)) state_->area_usage.Freed(e.dir, bytes);
    result = kChangeDone;
  }
  AuditPathCall(&state_->audit, AuditEvent::kRemoveFile, userId, fileName, result, started);
  return result;
}

}  // namespace zk
