// The bulk transfers' batches: the text boundary, the caller's check and the storage area, once
// for both ways a batch arrives.
#include "server/transfer_batch.h"

#include <vector>

#include "server/connection_auth.h"
#include "server/server_state.h"
#include "server/storage.h"
#include "server/zkmdimpl.h"

namespace zk {

UploadBatch::UploadBatch(ZKmdImpl* servant, const char* wire_user, bool verified)
    : wire_(verified ? "zkFileUploadVerified" : "zkFileUpload"), verified_(verified) {
  // The user id is checked before anything is written.
  std::string user;
  UploadCaller caller;
  if (!wire_.In("userId", wire_user, &user) ||
      !servant->OpenUploadArea(user.c_str(), &caller, &area_)) {
    texts_ = false;
    result_ = kTransferFileFailed;
    index_ = 1;
    return;
  }
  store_.reset(new ChunkStore(area_.get(), &servant->state()->uploads, caller, verified));
  audit_ = UploadBatchAudit(&servant->state()->transfer_audit, user, caller.conn, caller.socket);
  if (verified) audit_.Defer();
}

bool UploadBatch::Next(const char* path, const char* name, const char* upd, const char* crt) {
  ++count_;
  // The texts of each chunk up to the first one refused.
  if (texts_ && (!wire_.In("filePath", path, &path_) || !wire_.In("fileNm", name, &name_) ||
                 !wire_.In("updDt", upd, &upd_) || !wire_.In("crtDt", crt, &crt_))) {
    texts_ = false;
    if (result_ == kTransferOk) Fail(kTransferFileFailed);
  }
  return result_ == kTransferOk;
}

void UploadBatch::TakeTexts(ZKmd::zkStrctFileBuf* c) const {
  c->filePath = path_.c_str();
  c->fileNm = name_.c_str();
  c->updDt = upd_.c_str();
  c->crtDt = crt_.c_str();
}

void UploadBatch::Store(ZKmd::zkStrctFileBuf* c) {
  TakeTexts(c);
  Stored(store_->Store(*c));
  audit_.Stored(*c, c->fileBuf.length(), result_, store_->landed_digest());
}

void UploadBatch::Receive(size_t len) {
  audit_.Receiving(len);
  store_->Receive(path_.c_str(), name_.c_str(), len);
}

void UploadBatch::Piece(const uint8_t* data, size_t n) { store_->Piece(data, n); }

void UploadBatch::Received(ZKmd::zkStrctFileBuf* c) {
  TakeTexts(c);
  Stored(store_->Received(*c));
  audit_.Received(*c, result_, store_->landed_digest());
}

void UploadBatch::Verify(const uint8_t* digests, size_t len) {
  if (!store_) return;  // failed at its first chunk
  CORBA::Long index = 0;
  const CORBA::Long checked = store_->Verify(digests, len, &index);
  if (checked != kTransferOk) {
    result_ = checked;
    index_ = index;
  }
  audit_.Checked(result_, index_);
}

void UploadBatch::Stored(CORBA::Long stored) {
  // zkFileUpload has no answer of its own for an area at its limit.
  if (stored == kTransferQuotaFull && !verified_) stored = kTransferFileFailed;
  if (stored != kTransferOk) Fail(stored);
}

void UploadBatch::Fail(CORBA::Long result) {
  result_ = result;
  index_ = static_cast<CORBA::Long>(count_);
}

namespace {

// The requests' names in UTF-8, the client's own kept in `wire_paths`/`wire_names`: false, with
// *index at the refused request, when one does not pass the boundary.
template <class Chunks>
bool NamesIn(WireRequest* w, Chunks& chunks, CORBA::Long* index,
             std::vector<std::string>* wire_paths, std::vector<std::string>* wire_names) {
  const CORBA::ULong n = chunks.length();
  std::vector<std::string> paths(n), names(n);
  for (CORBA::ULong i = 0; i < n; ++i) {
    if (!w->In("filePath", chunks[i].filePath.in(), &paths[i]) ||
        !w->In("fileNm", chunks[i].fileNm.in(), &names[i])) {
      *index = static_cast<CORBA::Long>(i + 1);
      return false;
    }
  }
  wire_paths->resize(n);
  wire_names->resize(n);
  for (CORBA::ULong i = 0; i < n; ++i) {
    (*wire_paths)[i] = chunks[i].filePath.in();
    (*wire_names)[i] = chunks[i].fileNm.in();
    chunks[i].filePath = paths[i].c_str();
    chunks[i].fileNm = names[i].c_str();
  }
  return true;
}

// Checks the caller and opens each request's file in `source` (user id in UTF-8).
template <class Chunks>
CORBA::Long Open(ZKmdImpl* servant, const char* operation, const std::string& user, Chunks& chunks,
                 CORBA::Long* index, ChunkSource* source, DownloadBatchAudit* audit) {
  if (!CallerIs(servant->state()->connections, user.c_str(), operation)) {
    chunks.length(0);  // nothing of what the caller sent goes back
    *index = 1;
    return kTransferFileFailed;
  }
  if (chunks.length() == 0) return kTransferOk;
  std::unique_ptr<FileSystem> area = OpenUserArea(servant->fs(), servant->env_file(), user);
  const CORBA::Long result = OpenChunks(area.get(), chunks, index, source);
  audit->Opened(&servant->state()->transfer_audit, user, chunks, result, *index);
  source->Keep(std::move(area));
  // A failed batch is not written by the client: the reply carries none of it.
  if (result != kTransferOk) chunks.length(0);
  return result;
}

template <class Chunks>
CORBA::Long Download(ZKmdImpl* servant, const char* operation, const char* wire_user,
                     Chunks& chunks, CORBA::Long* index, ChunkSource* source,
                     DownloadBatchAudit* audit) {
  WireRequest w(operation);
  std::string user;
  *index = 0;
  if (!w.In("userId", wire_user, &user)) {
    *index = 1;
    return kTransferFileFailed;
  }
  std::vector<std::string> wire_paths, wire_names;
  if (!NamesIn(&w, chunks, index, &wire_paths, &wire_names)) return kTransferFileFailed;
  const CORBA::Long result = Open(servant, operation, user, chunks, index, source, audit);
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    chunks[i].filePath = wire_paths[i].c_str();
    chunks[i].fileNm = wire_names[i].c_str();
  }
  return result;
}

}  // namespace

CORBA::Long OpenDownload(ZKmdImpl* servant, const char* operation, const char* wire_user,
                         ZKmd::zkSeqFileBuf& chunks, CORBA::Long* index, ChunkSource* source,
                         DownloadBatchAudit* audit) {
  return Download(servant, operation, wire_user, chunks, index, source, audit);
}

CORBA::Long OpenDownload(ZKmdImpl* servant, const char* operation, const char* wire_user,
                         ZKmd::zkSeqFileBuf64& chunks, CORBA::Long* index, ChunkSource* source,
                         DownloadBatchAudit* audit) {
  return Download(servant, operation, wire_user, chunks, index, source, audit);
}

}  // namespace zk
