// Remote jobs: order of checks and parameter building.
#include "server/jobs.h"

#include <cstdint>
#include <utility>

#include "platform/process.h"

namespace zk {

std::string ReplaceStoragePrefix(const std::string& params, const std::string& dir) {
  std::string out;
  size_t from = 0;
  while (true) {
    size_t at = params.find("::", from);
    if (at == std::string::npos) break;
    out.append(params, from, at - from);
    out += dir;
    from = at + 2;
  }
  out.append(params, from, std::string::npos);
  return out;
}

std::vector<std::string> JobArgv(const std::string& program, const std::string& params) {
  std::vector<std::string> argv;
  argv.push_back(program.find('/') == std::string::npos ? "./" + program : program);
  for (std::string& a : SplitCommandLine(params)) argv.push_back(std::move(a));
  return argv;
}

int RunRemoteJob(JobHost* host, const JobRequest& request, std::string* ret_value) {
  *ret_value = kJobNoReturnValue;
  std::string dir;
  // The storage directory comes first, so it exists even when a later check fails. A user id
  // without a registry row has no directory and is refused like an unknown job.
  if (!host->StorageDir(request.user_id, &dir)) return kJobUnknown;
  // A registry that cannot be read has no job to run either.
  JobRow job;
  if (host->ReadJob(request.job_id, &job) != ReadStatus::kFound) return kJobUnknown;

  if (!host->IsFile(job.program)) return kJobNoProgram;

  const std::string params =
      ReplaceStoragePrefix(request.params.empty() ? job.params : request.params, dir);

  if (!job.run_password.empty() && job.run_password != request.password) return kJobWrongPassword;

  std::vector<std::string> argv = JobArgv(job.program, params);
  if (request.run_mode == kJobWaitMode) {
    int exit_code = 0;
    if (!host->RunAndWait(argv, &exit_code)) return kJobStartFailed;
    *ret_value = std::to_string(static_cast<int32_t>(exit_code));
    return kJobStarted;
  }
  host->StartDetached(argv);
  return kJobStarted;
}

}  // namespace zk
