// The servant as the ORB serves it: every string of every operation passes the text boundary
// (server/wire_text.h) here, on its way in and out, and ZKmdImpl works on UTF-8 text only; the
// bulk transfers, which read their arguments themselves, pass it in their batches
// (server/transfer_batch.h).
#ifndef ZK_SERVER_ZKMDIMPL_WIRE_H_
#define ZK_SERVER_ZKMDIMPL_WIRE_H_

#include "server/zkmdimpl.h"

namespace zk {

class ZKmdWireImpl : public ZKmdImpl {
 public:
  using ZKmdImpl::ZKmdImpl;
  CORBA::Long zkChgUserPwd(const char* userId, const char* newPassword) override;
  CORBA::Long zkExistsUser(const char* userId, const char* password) override;
  CORBA::Long zkExistsDir(const char* userId, const char* dirName) override;
  CORBA::Long zkExistsFile(const char* userId, const char* fileName) override;
  CORBA::Long zkFileCount(const char* userId, const char* dirName, const char* fileMask) override;
  CORBA::Long zkFileList(const char* userId, const char* dirName, const char* fileMask,
                         const char* sortKey, ZKmd::zkSeqFileLst& fileList) override;
  CORBA::Long zkFileList64(const char* userId, const char* dirName, const char* fileMask,
                           const char* sortKey, ZKmd::zkSeqFileLst64& fileList) override;
  CORBA::Long zkDirRemove(const char* userId, const char* dirName) override;
  CORBA::Long zkFileRemove(const char* userId, const char* fileName) override;
  CORBA::Long zkRemoteJob(const char* userId, const char* jobId, const char* jobParams,
                          const char* jobPassword, const char* runMode, char*& retValue) override;
};

}  // namespace zk

#endif  // ZK_SERVER_ZKMDIMPL_WIRE_H_
