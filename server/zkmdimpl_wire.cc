// Every operation's strings through the text boundary. A refused string gives the operation's
// own failure answer, the same one an unauthenticated caller gets: 0 for the queries and the
// listings, -1 for removals and zkChgUserPwd, -10 for jobs (the transfers:
// server/transfer_batch.h). Each answer is noted for the metrics (server/metrics.h).
#include "server/zkmdimpl_wire.h"

#include <string>

#include "server/connection_auth.h"
#include "server/jobs.h"
#include "server/metrics.h"
#include "server/server_state.h"
#include "server/wire_text.h"

namespace zk {

namespace {

// A listing of either kind through the boundary: its texts in, the names of its entries out.
// The listing holds only names that have a wire form (KeepWireNames); "<DIR>" and the times are
// ASCII, the same bytes in either code.
// `serve` is the servant's own operation (not the boundary's again).
template <class List, class Serve>
CORBA::Long WireList(const char* operation, const Serve& serve, const char* userId,
                     const char* dirName, const char* fileMask, const char* sortKey,
                     List& fileList) {
  WireRequest w(operation);
  std::string user, dir, mask, key;
  if (!w.In("userId", userId, &user) || !w.In("dirName", dirName, &dir) ||
      !w.In("fileMask", fileMask, &mask) || !w.In("sortKey", sortKey, &key)) {
    return 0;
  }
  CORBA::Long result = serve(user.c_str(), dir.c_str(), mask.c_str(), key.c_str(), fileList);
  NoteAnswer(result);
  if (ServerWireCode() != WireCode::kUtf8) {
    std::string wire;
    for (CORBA::ULong i = 0; i < fileList.length(); ++i) {
      auto& e = fileList[i];
      if (e.fileNm.in() && ToWire(ServerWireCode(), e.fileNm.in(), &wire)) {
        e.fileNm = wire.c_str();
      }
    }
  }
  return result;
}

// An operation on one path of the user's area through the boundary: `refused` when the user id
// or the path (argument `field`) is refused.
template <class Serve>
CORBA::Long WirePathOp(const char* operation, const char* field, CORBA::Long refused,
                       const Serve& serve, const char* userId, const char* path) {
  WireRequest w(operation);
  std::string user, text;
  if (!w.In("userId", userId, &user) || !w.In(field, path, &text)) return refused;
  return NoteAnswer(serve(user.c_str(), text.c_str()));
}

}  // namespace

CORBA::Long ZKmdWireImpl::zkChgUserPwd(const char* userId, const char* newPassword) {
  WireRequest w("zkChgUserPwd");
  std::string user, password;
  if (!w.In("userId", userId, &user) || !w.InSecret("newPassword", newPassword, &password)) {
    return kChangeFailed;
  }
  return NoteAnswer(ZKmdImpl::zkChgUserPwd(user.c_str(), password.c_str()));
}

CORBA::Long ZKmdWireImpl::zkExistsUser(const char* userId, const char* password) {
  WireRequest w("zkExistsUser");
  std::string user, word;
  if (!w.In("userId", userId, &user) || !w.InSecret("password", password, &word)) {
    state()->connections.Failed(CurrentCall().conn);  // like any refusal: nobody is left proven
    return kLoginRefused;
  }
  return NoteAnswer(ZKmdImpl::zkExistsUser(user.c_str(), word.c_str()));
}

CORBA::Long ZKmdWireImpl::zkExistsDir(const char* userId, const char* dirName) {
  auto serve = [this](const char* u, const char* p) { return ZKmdImpl::zkExistsDir(u, p); };
  return WirePathOp("zkExistsDir", "dirName", kEntryAbsent, serve, userId, dirName);
}

CORBA::Long ZKmdWireImpl::zkExistsFile(const char* userId, const char* fileName) {
  auto serve = [this](const char* u, const char* p) { return ZKmdImpl::zkExistsFile(u, p); };
  return WirePathOp("zkExistsFile", "fileName", kEntryAbsent, serve, userId, fileName);
}

CORBA::Long ZKmdWireImpl::zkFileCount(const char* userId, const char* dirName,
                                      const char* fileMask) {
  WireRequest w("zkFileCount");
  std::string user, dir, mask;
  if (!w.In("userId", userId, &user) || !w.In("dirName", dirName, &dir) ||
      !w.In("fileMask", fileMask, &mask)) {
    return 0;
  }
  return NoteAnswer(ZKmdImpl::zkFileCount(user.c_str(), dir.c_str(), mask.c_str()));
}

CORBA::Long ZKmdWireImpl::zkFileList(const char* userId, const char* dirName, const char* fileMask,
                                     const char* sortKey, ZKmd::zkSeqFileLst& fileList) {
  auto serve = [this](const char* u, const char* d, const char* m, const char* k,
                      ZKmd::zkSeqFileLst& l) { return ZKmdImpl::zkFileList(u, d, m, k, l); };
  return WireList("zkFileList", serve, userId, dirName, fileMask, sortKey, fileList);
}

CORBA::Long ZKmdWireImpl::zkFileList64(const char* userId, const char* dirName,
                                       const char* fileMask, const char* sortKey,
                                       ZKmd::zkSeqFileLst64& fileList) {
  auto serve = [this](const char* u, const char* d, const char* m, const char* k,
                      ZKmd::zkSeqFileLst64& l) { return ZKmdImpl::zkFileList64(u, d, m, k, l); };
  return WireList("zkFileList64", serve, userId, dirName, fileMask, sortKey, fileList);
}

CORBA::Long ZKmdWireImpl::zkDirRemove(const char* userId, const char* dirName) {
  auto serve = [this](const char* u, const char* p) { return ZKmdImpl::zkDirRemove(u, p); };
  return WirePathOp("zkDirRemove", "dirName", kChangeFailed, serve, userId, dirName);
}

CORBA::Long ZKmdWireImpl::zkFileRemove(const char* userId, const char* fileName) {
  auto serve = [this](const char* u, const char* p) { return ZKmdImpl::zkFileRemove(u, p); };
  return WirePathOp("zkFileRemove", "fileName", kChangeFailed, serve, userId, fileName);
}

CORBA::Long ZKmdWireImpl::zkRemoteJob(const char* userId, const char* jobId, const char* jobParams,
                                      const char* jobPassword, const char* runMode,
                                      char*& retValue) {
  WireRequest w("zkRemoteJob");
  std::string user, job, params, password, mode;
  if (!w.In("userId", userId, &user) || !w.In("jobId", jobId, &job) ||
      !w.In("jobParams", jobParams, &params) ||
      !w.InSecret("jobPassword", jobPassword, &password) || !w.In("runMode", runMode, &mode)) {
    CORBA::string_free(retValue);
    retValue = CORBA::string_dup(kJobNoReturnValue);
    return kJobUnknown;
  }
  // retValue is a decimal number: the same bytes in either code.
  return NoteAnswer(ZKmdImpl::zkRemoteJob(user.c_str(), job.c_str(), params.c_str(),
                                          password.c_str(), mode.c_str(), retValue));
}

}  // namespace zk
