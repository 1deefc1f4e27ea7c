// Chunked transfers as the skeleton takes them: whole batches, served by the same batches as the
// server's own calls (server/transfer_batch.h), with a download's data read whole.
#include <algorithm>
#include <cstdint>

#include "platform/digest.h"
#include "server/connection_auth.h"
#include "server/server_state.h"
#include "server/storage.h"
#include "server/transfer.h"
#include "server/transfer_batch.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

template <class Chunks>
CORBA::Long DownloadWhole(ZKmdImpl* servant, const char* operation, const char* userId,
                          Chunks& fileBufs, CORBA::Long& bufIndex) {
  ChunkSource source(nullptr, SIZE_MAX);
  DownloadBatchAudit audit;
  const CORBA::Long result =
      OpenDownload(servant, operation, userId, fileBufs, &bufIndex, &source, &audit);
  if (result != kTransferOk) return result;
  CopyChunkData(source, fileBufs);
  for (CORBA::ULong i = 0; i < fileBufs.length(); ++i) {
    audit.Data(i, 0, fileBufs[i].fileBuf.get_buffer(), fileBufs[i].fileBuf.length());
    audit.Served(i);
  }
  return result;
}

// Stores every chunk of `fileBufs` in `batch`, as far as it takes them.
void StoreAll(const ZKmd::zkSeqFileBuf& fileBufs, UploadBatch* batch) {
  ZKmd::zkStrctFileBuf c;
  for (CORBA::ULong i = 0; i < fileBufs.length(); ++i) {
    const ZKmd::zkStrctFileBuf& in = fileBufs[i];
    if (!batch->Next(in.filePath.in(), in.fileNm.in(), in.updDt.in(), in.crtDt.in())) continue;
    BorrowChunkData(in, &c);
    batch->Store(&c);
  }
}

}  // namespace

bool ZKmdImpl::OpenUploadArea(const char* userId, UploadCaller* caller,
                              std::unique_ptr<FileSystem>* area) {
  if (!CallerIs(state_->connections, userId, "zkFileUpload")) return false;
  caller->conn = CurrentConnectionId(state_->connections);
  caller->socket = CurrentConnectionSocket();
  caller->root = fs_;
  caller->user = userId;
  caller->kept = &state_->kept;
  caller->closing = &state_->closing;
  caller->digest = state_->audit.on();  // the audit records carry each file's digest
  area->reset();
  if (GetUserStorageDir(fs_, env_file_, userId, &caller->area_dir)) {
    *area = fs_->Beneath(caller->area_dir);
  }
  if (!ReadAreaQuota(state_->users.get(), &state_->area_usage, userId, caller->area_dir,
                     &caller->quota)) {
    area->reset();  // a limit that cannot be read refuses the batch
  }
  return true;
}

CORBA::Long ZKmdImpl::zkFileUpload(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                                   CORBA::Long& bufIndex) {
  UploadBatch batch(this, userId);
  StoreAll(fileBufs, &batch);
  bufIndex = batch.index();
  return batch.result();
}

CORBA::Long ZKmdImpl::zkFileUploadVerified(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                                           const ZKmd::DataBuffer& digests,
                                           CORBA::Long& bufIndex) {
  UploadBatch batch(this, userId, true);
  StoreAll(fileBufs, &batch);
  batch.Verify(digests.get_buffer(), digests.length());
  bufIndex = batch.index();
  return batch.result();
}

CORBA::Long ZKmdImpl::zkFileDownload(const char* userId, ZKmd::zkSeqFileBuf& fileBufs,
                                     CORBA::Long& bufIndex) {
  return DownloadWhole(this, "zkFileDownload", userId, fileBufs, bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownload64(const char* userId, ZKmd::zkSeqFileBuf64& fileBufs,
                                       CORBA::Long& bufIndex) {
  return DownloadWhole(this, "zkFileDownload64", userId, fileBufs, bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownloadVerified(const char* userId, ZKmd::zkSeqFileBuf64& fileBufs,
                                             CORBA::Long& bufIndex, ZKmd::DataBuffer_out digests) {
  const CORBA::Long result =
      DownloadWhole(this, "zkFileDownloadVerified", userId, fileBufs, bufIndex);
  digests = new ZKmd::DataBuffer;
  digests->length(fileBufs.length() * static_cast<CORBA::ULong>(sizeof(Digest128)));
  for (CORBA::ULong i = 0; i < fileBufs.length(); ++i) {
    const ZKmd::zkStrctFileBuf64& c = fileBufs[i];
    const Digest128 d = DigestOfChunk(c.bufPos, c.fileBuf.get_buffer(), c.fileBuf.length());
    std::copy(d.begin(), d.end(), digests->get_buffer() + i * sizeof(Digest128));
  }
  return result;
}

}  // namespace zk
