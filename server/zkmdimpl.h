// The servant of ZKmd. It holds the path of the server environment file and the file system it
// reaches the users' storage directories through; every operation works on its arguments, that
// file and those directories. zkExistsUser reads the users through a connection to that file that
// the servant keeps open (it sees every change at once: settings/zkdb.h, UserReader), and binds
// its user id to the calling connection; every other operation serves only that user id on that
// connection (server/connection_auth.h).
#ifndef ZK_SERVER_ZKMDIMPL_H_
#define ZK_SERVER_ZKMDIMPL_H_

#include <memory>
#include <string>

#include "idl/omniorb/calls.h"
#include "idl/orb.h"
#include "platform/fs.h"
#include "settings/zkdb.h"

namespace zk {

struct ServerState;
struct UploadCaller;

class ZKmdImpl : public DispatchingServant {
 public:
  // `state` outlives the servant.
  explicit ZKmdImpl(ServerState* state);
  ~ZKmdImpl() override;
  ServerState* state() const { return state_; }

  // Given once, right after construction, before the object reference is made.
  void SetEnvFile(const std::string& env_file);
  void SetFileSystem(FileSystem* fs) { fs_ = fs; }
  const std::string& env_file() const { return env_file_; }
  FileSystem* fs() const { return fs_; }

  // Users and passwords.
  CORBA::Long zkChgUserPwd(const char* userId, const char* newPassword) override;
  CORBA::Long zkExistsUser(const char* userId, const char* password) override;
  // Listing and existence queries.
  CORBA::Long zkExistsDir(const char* userId, const char* dirName) override;
  CORBA::Long zkExistsFile(const char* userId, const char* fileName) override;
  CORBA::Long zkFileCount(const char* userId, const char* dirName, const char* fileMask) override;
  CORBA::Long zkFileList(const char* userId, const char* dirName, const char* fileMask,
                         const char* sortKey, ZKmd::zkSeqFileLst& fileList) override;
  CORBA::Long zkFileList64(const char* userId, const char* dirName, const char* fileMask,
                           const char* sortKey, ZKmd::zkSeqFileLst64& fileList) override;
  // Transfers, each batch served as the server's own calls serve it (server/transfer_batch.h):
  // their texts pass the text boundary there.
  CORBA::Long zkFileUpload(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                           CORBA::Long& bufIndex) override;
  CORBA::Long zkFileUploadVerified(const char* userId, const ZKmd::zkSeqFileBuf& fileBufs,
                                   const ZKmd::DataBuffer& digests,
                                   CORBA::Long& bufIndex) override;
  // Stopped uploads, kept for their owner (server/kept_uploads.h).
  CORBA::Long zkFileKept(const char* userId, const char* filePath, const char* fileNm,
                         CORBA::LongLong fileSize, const char* updDt, CORBA::LongLong& keptSize,
                         ZKmd::DataBuffer_out blockDigests) override;
  CORBA::Long zkFileResume(const char* userId, const char* filePath, const char* fileNm,
                           CORBA::LongLong fileSize, const char* updDt, CORBA::LongLong from,
                           CORBA::Long nextBufNo) override;
  // How far a download's partial file agrees with the file it is of (zkmdimpl_resume.cc).
  CORBA::Long zkFileAgreed(const char* userId, const char* filePath, const char* fileNm,
                           CORBA::LongLong fileSize, const char* updDt, CORBA::LongLong length,
                           const ZKmd::DataBuffer& blockDigests, CORBA::LongLong& agreed) override;
  CORBA::Long zkFileDownload(const char* userId, ZKmd::zkSeqFileBuf& fileBufs,
                             CORBA::Long& bufIndex) override;
  CORBA::Long zkFileDownload64(const char* userId, ZKmd::zkSeqFileBuf64& fileBufs,
                               CORBA::Long& bufIndex) override;
  CORBA::Long zkFileDownloadVerified(const char* userId, ZKmd::zkSeqFileBuf64& fileBufs,
                                     CORBA::Long& bufIndex, ZKmd::DataBuffer_out digests) override;
  // The caller of an upload batch (server/transfer_batch.h): true when `userId` (UTF-8) is the
  // user logged in on the calling connection, with who uploads in *caller and the user's storage
  // area in *area (null when there is none); false, logged, for another caller.
  bool OpenUploadArea(const char* userId, UploadCaller* caller, std::unique_ptr<FileSystem>* area);
  // Removal.
  CORBA::Long zkDirRemove(const char* userId, const char* dirName) override;
  CORBA::Long zkFileRemove(const char* userId, const char* fileName) override;
  // Jobs.
  CORBA::Long zkRemoteJob(const char* userId, const char* jobId, const char* jobParams,
                          const char* jobPassword, const char* runMode, char*& retValue) override;

 protected:
  // Notes the calling connection of each request for the operations' guard.
  CORBA::Boolean Dispatch(IncomingRequest& request) override;

 private:
  // zkChgUserPwd but its audit record.
  CORBA::Long ChangePassword(const char* userId, const char* newPassword);

  ServerState* state_;
  std::string env_file_;
  FileSystem* fs_ = nullptr;
};

}  // namespace zk

#endif  // ZK_SERVER_ZKMDIMPL_H_
