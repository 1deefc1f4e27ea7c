// zklj: lists the registered jobs with their programs and parameters; a job guarded by a run
// password is marked " (*)", the password itself is never shown.
#include <ace/OS_main.h>

#include <string>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/options.h"
#include "settings/zkdb.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:a:");
  if (!scan.ok) return zk::PrintUsage(argv0, {zk::kUsageEnvFile, zk::kUsageAdminPassword});

  std::string file;
  if (!zk::OpenServerEnv(zk::FileSystem::Default(), scan.Get('e', zk::kDefaultServerEnvFile),
                         argv[0], scan.Get('a'), &file)) {
    return zk::kExitFail;
  }
  if (zk::ReadJobCount(file) == 0) {
    zk::PrintErr("ERROR:ジョブが存在しません。");
    return zk::kExitFail;
  }
  int k = 0;
  for (const std::string& job_id : zk::RegisteredJobs(file)) {
    zk::JobRow job;
    zk::ReadJob(file, job_id, &job);
    std::string line = std::to_string(++k) + ": " + job_id + " = " + job.program + " " + job.params;
    if (!job.run_password.empty()) line += " (*)";
    zk::PrintOut(line);
  }
  return zk::kExitOk;
}
