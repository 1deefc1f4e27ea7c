// The two directory walks of zkcp: local tree to the user's server area, and server tree to a
// local directory. They reach the server through CopyServer and the disk through FileSystem, so
// tests can run them against fakes; zkcp's main passes the ORB-backed server and the real disk.
#ifndef ZK_CLIENTS_COPY_WALK_H_
#define ZK_CLIENTS_COPY_WALK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "clients/copy_plan.h"
#include "clients/server_text.h"
#include "idl/orb.h"
#include "platform/exit_status.h"
#include "platform/fs.h"

namespace zk {

// The requests the walks make. Failures of a request itself are thrown (CORBA exceptions from
// the real server).
class CopyServer {
 public:
  virtual ~CopyServer() = default;
  // Entries of server directory `dir` matching `mask`, sorted by name (zkFileCount, then
  // zkFileList with kSortByName when the count is at least 1).
  virtual std::vector<ListEntry> List(const std::string& dir, const std::string& mask) = 0;
  // zkFileUpload / zkFileDownload: result code, *index the failing chunk's 1-based position.
  virtual CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) = 0;
  virtual CORBA::Long Download(ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) = 0;
};

// CopyServer over a ZKmd reference for one authenticated user (`user` in its wire form). Names
// travel in the wire code of `text`: a listed name that cannot be read is left out; a directory
// or mask that cannot be written fails the listing; a chunk whose names cannot be written fails
// as the server's 20 would, after the chunks before it were sent.
class ZKmdCopyServer : public CopyServer {
 public:
  ZKmdCopyServer(ZKmd_ptr server, const std::string& user, const ServerText& text = ServerText())
      : server_(server), user_(user), text_(text) {}
  std::vector<ListEntry> List(const std::string& dir, const std::string& mask) override;
  CORBA::Long Upload(const ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) override;
  CORBA::Long Download(ZKmd::zkSeqFileBuf& batch, CORBA::Long* index) override;

 private:
  ZKmd_ptr server_;
  std::string user_;
  ServerText text_;
};

// Where the walks print: progress lines to `out`, messages to `err`.
struct CopyConsole {
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
  static CopyConsole Standard();  // PrintOut / PrintErr
};

// The walks return kExitOk, or kExitFail when a listing failed at some level.

class CopyWalk {
 public:
  // `unit` in bytes, already checked (ParseUnit).
  CopyWalk(FileSystem* fs, CopyServer* server, CopyMode mode, int64_t unit, CopyConsole console);

  // Copies the entries of local directory `local_dir` (ending in "/") that match `mask` to server
  // directory `server_dir` (wire form, ending in "\"), subdirectories with all they hold.
  int ToServer(const std::string& local_dir, const std::string& mask,
               const std::string& server_dir);
  // Copies the entries of server directory `server_dir` matching `mask` into `local_dir`.
  int FromServer(const std::string& server_dir, const std::string& mask,
                 const std::string& local_dir);

  int32_t copied() const { return copied_; }
  int32_t unreadable() const { return unreadable_; }

 private:
  // One level's pending batch.
  struct Pending {
    explicit Pending(int64_t unit) : budget(unit) {}
    ZKmd::zkSeqFileBuf chunks;
    BatchBudget budget;
  };
  // Queues the chunks of one local file; false when it could not be read.
  bool QueueUpload(const std::string& path, const DirEntry& file, const std::string& server_dir,
                   Pending* pending);
  void QueueDownload(const ListEntry& file, const std::string& server_dir, Pending* pending,
                     const std::string& local_dir);
  void SendUpload(Pending* pending);
  void SendDownload(Pending* pending, const std::string& local_dir);
  void StoreDownloaded(const ZKmd::zkSeqFileBuf& chunks, const std::string& local_dir);

  FileSystem* fs_;
  CopyServer* server_;
  CopyMode mode_;
  int64_t unit_;
  CopyConsole console_;
  int32_t copied_ = 0;
  int32_t unreadable_ = 0;
  std::vector<std::string> walking_;  // real paths of the local directories being walked
};

}  // namespace zk

#endif  // ZK_CLIENTS_COPY_WALK_H_
