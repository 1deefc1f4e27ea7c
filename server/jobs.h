// Remote jobs: the fixed order of checks of one job request, the "::" replacement in its
// parameters and the argument vector it is started with. The outside world (registry, files,
// processes) is reached only through JobHost, so the logic runs against fakes in tests; the
// servant supplies the real host.
#ifndef ZK_SERVER_JOBS_H_
#define ZK_SERVER_JOBS_H_

#include <string>
#include <vector>

#include "idl/wire.h"
#include "settings/zkdb.h"

namespace zk {

struct JobRequest {
  std::string user_id;
  std::string job_id;
  std::string params;    // from the client; empty means the registered parameters
  std::string password;  // run password from the client
  std::string run_mode;  // kJobWaitMode: wait for the job; anything else: start it and return
};

// Everything a job request touches outside itself.
class JobHost {
 public:
  virtual ~JobHost() = default;
  // The user's storage directory in native form ending in "/", created when missing.
  // False when the user id is not registered.
  virtual bool StorageDir(const std::string& user_id, std::string* dir) = 0;
  // The job's registry row, read afresh.
  virtual ReadStatus ReadJob(const std::string& job_id, JobRow* row) = 0;
  // True only when a file (not a directory) exists at `path`.
  virtual bool IsFile(const std::string& path) = 0;
  // Starts argv and waits for it; false when the process could not be created.
  virtual bool RunAndWait(const std::vector<std::string>& argv, int* exit_code) = 0;
  // Starts argv detached; the outcome is not examined.
  virtual void StartDetached(const std::vector<std::string>& argv) = 0;
};

// Every "::" in `params`, left to right and without overlap, replaced by `dir`.
std::string ReplaceStoragePrefix(const std::string& params, const std::string& dir);

// The argument vector of a job: the program path exactly as registered (a bare name gets "./"
// so that the file that was checked is the one started, never one found through PATH), then
// `params` split the Windows way. The program path is never split, so a path with blanks can
// not start a different program named by its first word.
std::vector<std::string> JobArgv(const std::string& program, const std::string& params);

// Serves one request: storage directory, job row, program file, parameters, run password, then
// the start in wait or shell mode. Returns one of the kJob codes and sets *ret_value
// (kJobNoReturnValue unless a waited-for job returned its exit code).
int RunRemoteJob(JobHost* host, const JobRequest& request, std::string* ret_value);

}  // namespace zk

#endif  // ZK_SERVER_JOBS_H_
