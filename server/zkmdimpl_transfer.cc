// Chunked transfers: the servant looks up the caller's storage directory and hands the chunks to
// the transfer functions. An unregistered user has no directory, so its first chunk fails.
#include "server/storage.h"
#include "server/transfer.h"
#include "server/zkmdimpl.h"

namespace zk {

CORBA::Long ZKmdImpl::zkFileUpload(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                                   CORBA::Long& bufIndex) {
  bufIndex = 0;
  if (fileBufs.length() == 0) return kTransferOk;
  std::string area;
  GetUserStorageDir(env_file_, userId, &area);
  return StoreChunks(FileSystem::Default(), area, fileBufs, &bufIndex);
}

CORBA::Long ZKmdImpl::zkFileDownload(const char* userId, ZKmd::zkSeqFileBuf& fileBufs,
                                     CORBA::Long& bufIndex) {
  bufIndex = 0;
  if (fileBufs.length() == 0) return kTransferOk;
  std::string area;
  GetUserStorageDir(env_file_, userId, &area);
  return FillChunks(FileSystem::Default(), area, fileBufs, &bufIndex);
}

}  // namespace zk
