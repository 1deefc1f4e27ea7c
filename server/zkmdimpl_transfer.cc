// Chunked transfers: the servant checks that the caller is the user authenticated on its
// connection, looks up that user's storage directory and hands the chunks to the transfer
// functions. A refused caller gets 20 for the first chunk.
#include "server/connection_auth.h"
#include "server/storage.h"
#include "server/transfer.h"
#include "server/zkmdimpl.h"

namespace zk {

CORBA::Long ZKmdImpl::zkFileUpload(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                                   CORBA::Long& bufIndex) {
  bufIndex = 0;
  if (!CallerIs(userId, "zkFileUpload")) {
    bufIndex = 1;
    return kTransferFileFailed;
  }
  if (fileBufs.length() == 0) return kTransferOk;
  std::string area;
  GetUserStorageDir(env_file_, userId, &area);
  return StoreChunks(FileSystem::Default(), area, fileBufs, &bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownload(const char* userId, ZKmd::zkSeqFileBuf& fileBufs,
                                     CORBA::Long& bufIndex) {
  bufIndex = 0;
  if (!CallerIs(userId, "zkFileDownload")) {
    bufIndex = 1;
    return kTransferFileFailed;
  }
  if (fileBufs.length() == 0) return kTransferOk;
  std::string area;
  GetUserStorageDir(env_file_, userId, &area);
  return FillChunks(FileSystem::Default(), area, fileBufs, &bufIndex);
}

}  // namespace zk
