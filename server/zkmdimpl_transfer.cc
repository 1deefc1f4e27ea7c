// Chunked transfers: the servant checks that the caller is the user authenticated on its
// connection, opens that user's storage area and hands the chunks to the transfer functions. A
// refused caller gets 20 for the first chunk.
#include "server/chunk_calls.h"
#include "server/connection_auth.h"
#include "server/server_state.h"
#include "server/storage.h"
#include "server/transfer.h"
#include "server/zkmdimpl.h"

namespace zk {
namespace {

// A download batch of either kind, answered as zkFileDownload answers: with the data read whole,
// or, given a `source`, with the files opened there for the reply to read.
template <class Chunks>
CORBA::Long Download(const ConnectionAuth& connections, FileSystem* fs,
                     const std::string& env_file, const char* userId, const char* operation,
                     Chunks& fileBufs, CORBA::Long& bufIndex, ChunkSource* source = nullptr) {
  bufIndex = 0;
  if (!CallerIs(connections, userId, operation)) {
    fileBufs.length(0);  // nothing of what the caller sent goes back
    bufIndex = 1;
    return kTransferFileFailed;
  }
  if (fileBufs.length() == 0) return kTransferOk;
  std::unique_ptr<FileSystem> area = OpenUserArea(fs, env_file, userId);
  CORBA::Long result = source ? OpenChunks(area.get(), fileBufs, &bufIndex, source)
                              : FillChunks(area.get(), fileBufs, &bufIndex, CurrentChunkArena());
  if (source) source->Keep(std::move(area));
  // A failed batch is not written by the client: the reply carries none of it.
  if (result != kTransferOk) fileBufs.length(0);
  return result;
}

}  // namespace

bool ZKmdImpl::OpenUploadArea(const char* userId, UploadCaller* caller,
                              std::unique_ptr<FileSystem>* area) {
  if (!CallerIs(state_->connections, userId, "zkFileUpload")) return false;
  caller->conn = CurrentConnectionId(state_->connections);
  caller->socket = CurrentConnectionSocket();
  caller->root = fs_;
  area->reset();
  if (GetUserStorageDir(fs_, env_file_, userId, &caller->area_dir)) {
    *area = fs_->Beneath(caller->area_dir);
  }
  return true;
}

CORBA::Long ZKmdImpl::zkFileUpload(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                                   CORBA::Long& bufIndex) {
  bufIndex = 0;
  UploadCaller caller;
  std::unique_ptr<FileSystem> area;
  if (!OpenUploadArea(userId, &caller, &area)) {
    bufIndex = 1;
    return kTransferFileFailed;
  }
  if (fileBufs.length() == 0) return kTransferOk;
  return StoreChunks(area.get(), &state_->uploads, caller, fileBufs, &bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownload(const char* userId, ZKmd::zkSeqFileBuf& fileBufs,
                                     CORBA::Long& bufIndex) {
  return Download(state_->connections, fs_, env_file_, userId, "zkFileDownload", fileBufs, bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownload64(const char* userId, ZKmd::zkSeqFileBuf64& fileBufs,
                                       CORBA::Long& bufIndex) {
  return Download(state_->connections, fs_, env_file_, userId, "zkFileDownload64", fileBufs, bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownloadOpen(const char* userId, ZKmd::zkSeqFileBuf& fileBufs,
                                         CORBA::Long& bufIndex, ChunkSource* source) {
  return Download(state_->connections, fs_, env_file_, userId, "zkFileDownload", fileBufs, bufIndex, source);
}

CORBA::Long ZKmdImpl::zkFileDownload64Open(const char* userId, ZKmd::zkSeqFileBuf64& fileBufs,
                                           CORBA::Long& bufIndex, ChunkSource* source) {
  return Download(state_->connections, fs_, env_file_, userId, "zkFileDownload64", fileBufs, bufIndex, source);
}

}  // namespace zk
