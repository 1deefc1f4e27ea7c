// Continuing uploads that stopped: what the server kept of one (zkFileKept), and taking it up on
// the calling connection (zkFileResume). Only the kept upload's owner, logged in on the calling
// connection, reaches it; every other caller gets the operation's failure answer. And continuing
// downloads: how far a client's partial file agrees with the file it is of (zkFileAgreed).
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "idl/chunk_wire.h"
#include "idl/wire.h"
#include "platform/digest.h"
#include "platform/pathtext.h"
#include "platform/timetext.h"
#include "server/connection_auth.h"
#include "server/file_digest.h"
#include "server/kept_uploads.h"
#include "server/server_state.h"
#include "server/storage.h"
#include "server/uploads.h"
#include "server/wire_text.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

// What both operations look up: the caller's area, and the kept upload's target there.
struct KeptLookup {
  std::string user;
  std::string target;
  std::string upd;
  std::string area_dir;
  std::unique_ptr<FileSystem> area;
};

// The texts through the boundary, the caller checked, the target's path in the caller's area.
bool LookUpKept(ZKmdImpl* servant, const char* operation, const char* wire_user, const char* path,
                const char* name, const char* upd, KeptLookup* k) {
  WireRequest w(operation);
  std::string dir, file;
  if (!w.In("userId", wire_user, &k->user) || !w.In("filePath", path, &dir) ||
      !w.In("fileNm", name, &file) || !w.In("updDt", upd, &k->upd)) {
    return false;
  }
  if (!CallerIs(servant->state()->connections, k->user.c_str(), operation) ||
      !GetUserStorageDir(servant->fs(), servant->env_file(), k->user, &k->area_dir) ||
      !AreaRelativePath(dir + file, &k->target) || NamePart(k->target).empty()) {
    return false;
  }
  k->area = servant->fs()->Beneath(k->area_dir);
  return k->area != nullptr;
}

// Blocks of kResumeBlockBytes that make `length` bytes, the last one shorter.
int64_t BlocksOf(int64_t length) { return (length + kResumeBlockBytes - 1) / kResumeBlockBytes; }

}  // namespace

CORBA::Long ZKmdImpl::zkFileAgreed(const char* userId, const char* filePath, const char* fileNm,
                                   CORBA::LongLong fileSize, const char* updDt,
                                   CORBA::LongLong length, const ZKmd::DataBuffer& blockDigests,
                                   CORBA::LongLong& agreed) {
  agreed = 0;
  KeptLookup k;
  if (!LookUpKept(this, "zkFileAgreed", userId, filePath, fileNm, updDt, &k)) {
    return kTransferFileFailed;
  }
  const std::vector<Digest128> theirs =
      SplitDigests(blockDigests.get_buffer(), blockDigests.length());
  if (length < 0 || length > fileSize ||
      blockDigests.length() != theirs.size() * sizeof(Digest128) ||
      static_cast<int64_t>(theirs.size()) != BlocksOf(length)) {
    return kTransferFileFailed;
  }
  std::unique_ptr<FileSystem::File> f = k.area->Open(k.target, FileSystem::OpenMode::kRead);
  DirEntry st;
  if (!f || !f->Stat(&st) || st.size != fileSize || FormatLocalTime(st.mtime) != k.upd) {
    return kTransferFileFailed;
  }
  std::vector<Digest128> same;
  if (!DigestBlocks(f.get(), length, kResumeBlockBytes, &same, &theirs)) {
    return kTransferFileFailed;
  }
  agreed = std::min<int64_t>(static_cast<int64_t>(same.size()) * kResumeBlockBytes, length);
  return kTransferOk;
}

CORBA::Long ZKmdImpl::zkFileKept(const char* userId, const char* filePath, const char* fileNm,
                                 CORBA::LongLong fileSize, const char* updDt,
                                 CORBA::LongLong& keptSize, ZKmd::DataBuffer_out blockDigests) {
  keptSize = 0;
  blockDigests = new ZKmd::DataBuffer;
  KeptLookup k;
  KeptPart part;
  if (!LookUpKept(this, "zkFileKept", userId, filePath, fileNm, updDt, &k) ||
      !state_->kept.Find(k.area_dir, k.target, k.user, NarrowSize(fileSize), k.upd, &part)) {
    return kTransferFileFailed;
  }
  std::unique_ptr<FileSystem::File> f = k.area->Open(part.temp, FileSystem::OpenMode::kRead);
  DirEntry st;
  std::vector<Digest128> digests;
  if (!f || !f->Stat(&st) || !DigestBlocks(f.get(), st.size, kResumeBlockBytes, &digests)) {
    return kTransferFileFailed;
  }
  JoinDigests(digests, blockDigests.ptr());
  keptSize = st.size;
  return kTransferOk;
}

CORBA::Long ZKmdImpl::zkFileResume(const char* userId, const char* filePath, const char* fileNm,
                                   CORBA::LongLong fileSize, const char* updDt,
                                   CORBA::LongLong from, CORBA::Long nextBufNo) {
  KeptLookup k;
  KeptPart part;
  if (!LookUpKept(this, "zkFileResume", userId, filePath, fileNm, updDt, &k) ||
      !state_->kept.Take(k.area_dir, k.target, k.user, NarrowSize(fileSize), k.upd, &part)) {
    return kTransferFileFailed;
  }
  if (from == 0) {  // the client starts again
    RemoveUploadFiles(k.area.get(), part.temp);
    return kTransferOk;
  }
  DirEntry st;
  if (from < 0 || nextBufNo < 2 || !k.area->Stat(part.temp, &st) || from > st.size ||
      !k.area->Resize(part.temp, from)) {
    for (const KeptPart& old : state_->kept.Keep(part)) RemoveKeptPart(fs_, old);
    return kTransferFileFailed;
  }
  const UploadKey key{CurrentConnectionId(state_->connections), k.area_dir, k.target};
  // The file's audit record carries its digest, of the kept bytes too: read once more here.
  std::shared_ptr<FileDigest> digest =
      state_->audit.on() ? DigestOfFile(k.area.get(), part.temp, from) : nullptr;
  for (const UploadLeftover& leftover :
       state_->uploads.Adopt(key, part, CurrentConnectionSocket(), UploadTable::Clock::now(), from,
                             nextBufNo, digest)) {
    RemoveLeftover(fs_, leftover);
  }
  return kTransferOk;
}

}  // namespace zk
