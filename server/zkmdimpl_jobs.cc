// Remote jobs: the servant's entry point and the real job host over the registry in the server
// environment file, the servant's file system and the process layer. The checks live in
// server/jobs.cc.
#include <chrono>
#include <string>
#include <utility>

#include "platform/fs.h"
#include "platform/process.h"
#include "server/audit_events.h"
#include "server/connection_auth.h"
#include "server/jobs.h"
#include "server/server_state.h"
#include "server/storage.h"
#include "server/zkmdimpl.h"
#include "settings/zkdb.h"

namespace zk {
namespace {

class RegistryJobHost : public JobHost {
 public:
  RegistryJobHost(FileSystem* fs, const std::string& env_file) : fs_(fs), env_file_(env_file) {}

  bool StorageDir(const std::string& user_id, std::string* dir) override {
    return GetUserStorageDir(fs_, env_file_, user_id, dir);
  }
  ReadStatus ReadJob(const std::string& job_id, JobRow* row) override {
    return zk::ReadJob(env_file_, job_id, row);
  }
  bool IsFile(const std::string& path) override { return fs_->IsFile(path); }
  bool RunAndWait(const std::vector<std::string>& argv, int* exit_code) override {
    return zk::RunAndWait(argv, exit_code);
  }
  void StartDetached(const std::vector<std::string>& argv) override {
    // The job keeps the server's standard output and error, as a console job would.
    zk::StartDetached(argv, false);
  }

 private:
  FileSystem* fs_;
  std::string env_file_;
};

}  // namespace

CORBA::Long ZKmdImpl::zkRemoteJob(const char* userId, const char* jobId, const char* jobParams,
                                  const char* jobPassword, const char* runMode, char*& retValue) {
  if (!CallerIs(state_->connections, userId, "zkRemoteJob")) {
    CORBA::string_free(retValue);
    retValue = CORBA::string_dup(kJobNoReturnValue);
    return kJobUnknown;
  }
  JobRequest request;
  request.user_id = userId ? userId : "";
  request.job_id = jobId ? jobId : "";
  request.params = jobParams ? jobParams : "";
  request.password = jobPassword ? jobPassword : "";
  request.run_mode = runMode ? runMode : "";
  RegistryJobHost host(fs_, env_file_);
  std::string ret;
  const auto started = std::chrono::steady_clock::now();
  CORBA::Long result = RunRemoteJob(&host, request, &ret);
  if (state_->audit.on()) {
    AuditRecord r = CallRecord(AuditEvent::kJob, request.user_id, started);
    r.job = LogText(request.job_id);
    r.result = result;
    // A job that was waited for came back with its exit code.
    if (result == kJobStarted && request.run_mode == kJobWaitMode) r.exit = std::stoll(ret);
    state_->audit.Record(std::move(r));
  }
  CORBA::string_free(retValue);
  retValue = CORBA::string_dup(ret.c_str());
  return result;
}

}  // namespace zk
