// The two directory walks of zkcp: local tree to the user's server area (clients/upload_walk.h),
// and server tree to a local directory (clients/download_walk.h). They reach the server through
// CopyServer (clients/copy_server.h) and the disk through FileSystem, so tests can run them against
// fakes; zkcp's main passes the ORB-backed server and the real disk.
#ifndef ZK_CLIENTS_COPY_WALK_H_
#define ZK_CLIENTS_COPY_WALK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "clients/copy_plan.h"
#include "clients/copy_server.h"
#include "platform/exit_status.h"
#include "platform/fs.h"

namespace zk {

// Where the walks print: lines to `out`, messages to `err`, and, when set, the progress of the
// file being copied (its name as printed, bytes done, its size) to `progress`.
struct CopyConsole {
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
  std::function<void(const std::string&, int64_t, int64_t)> progress;
  // PrintOut / PrintErr, and the progress line when standard error is a terminal.
  static CopyConsole Standard();
};

// The temporary name of a download in progress, beside the file it becomes: ".zkcp-PID-N.part".
// A file of that form whose process is gone is a leftover of an interrupted download; the walk
// removes those it meets in the directories it writes to.
std::string DownloadTempName(int pid, uint64_t serial);
// True for a name of that form; *pid is the process that made it.
bool IsDownloadTempName(const std::string& name, int* pid);
// The temporary name of a download that can be continued when it stops: ".zkcp-N-V.part", N from
// the file's name and V from its size and time on the server, each 16 hexadecimal digits, so that
// the next zkcp of the same file finds what this one wrote. The run that writes it holds its lock;
// one left unlocked and unused for kKeptPartSeconds is removed where the walk meets it.
std::string ResumableTempName(const std::string& name, int64_t size, const std::string& upd);
// True for a name of that form; *name_key is its N.
bool IsResumableTempName(const std::string& name, std::string* name_key);
constexpr int64_t kKeptPartSeconds = 24 * 60 * 60;

class CopyWalk {
 public:
  // `unit` in bytes, already checked (ParseUnit).
  CopyWalk(FileSystem* fs, CopyServer* server, CopyMode mode, int64_t unit, CopyConsole console);
  ~CopyWalk();

  // Copies the entries of local directory `local_dir` (ending in "/") that match `mask` to server
  // directory `server_dir` (wire form, ending in "\"), subdirectories with all they hold.
  // Either walk returns kExitOk, or kExitFail when a listing failed at some level or the walk
  // stopped.
  int ToServer(const std::string& local_dir, const std::string& mask,
               const std::string& server_dir);
  // Copies the entries of server directory `server_dir` matching `mask` into `local_dir`. Each
  // file is written into a temporary file beside it, which takes its place, with its time, once
  // the last chunk is written: a file is there whole or not at all.
  int FromServer(const std::string& server_dir, const std::string& mask,
                 const std::string& local_dir);

  int32_t copied() const;
  int32_t unreadable() const;
  // True when any file could not be read, sent, stored or written, or a request failed.
  bool failed() const;
  // True when the connection to the server was lost: the walk stopped there.
  bool stopped() const;

 private:
  struct Walks;  // the state and the two walks over it (clients/walk_part.h)
  std::unique_ptr<Walks> walks_;
};

}  // namespace zk

#endif  // ZK_CLIENTS_COPY_WALK_H_
