// zkdj: deletes a registered job.
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
  if (!scan.ok || scan.positional.size() != 1 || scan.positional[0].empty()) {
    return zk::PrintUsage(argv0, {"<ジョブID> ", zk::kUsageEnvFile, zk::kUsageAdminPassword});
  }
  const std::string job_id = scan.positional[0];

  std::string file;
  if (!zk::OpenServerEnv(zk::FileSystem::Default(), scan.Get('e', zk::kDefaultServerEnvFile),
                         argv[0], scan.Get('a'), &file)) {
    return zk::kExitFail;
  }
  if (zk::ReadJob(file, job_id) == zk::ReadStatus::kMissing) {
    zk::PrintErr("ERROR:存在しないジョブIDです。(" + job_id + ")");
    return zk::kExitFail;
  }
  if (zk::DeleteJob(file, job_id) != zk::WriteStatus::kDone) {
    zk::PrintErr("ERROR:ジョブ削除に失敗しました。");
    return zk::kExitFail;
  }
  zk::PrintOut("ジョブを削除しました。");
  return zk::kExitOk;
}
