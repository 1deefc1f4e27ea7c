// zkaj: registers a job: a job id for a program with fixed parameters and an optional run
// password.
#include <ace/OS_main.h>

#include <string>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/options.h"
#include "settings/zkdb.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:a:o:r:");
  const auto& pos = scan.positional;
  if (!scan.ok || pos.size() != 2 || pos[0].empty() || pos[1].empty()) {
    return zk::PrintUsage(
        argv0, {"<ジョブID> ", "<実行プログラム> ", "-o <実行パラメタ> ", "-r <実行パスワード> ",
                zk::kUsageEnvFile, zk::kUsageAdminPassword});
  }
  const std::string& job_id = pos[0];
  const std::string& program = pos[1];

  std::string file;
  if (!zk::OpenServerEnv(zk::FileSystem::Default(), scan.Get('e', zk::kDefaultServerEnvFile),
                         argv[0], scan.Get('a'), &file)) {
    return zk::kExitFail;
  }
  if (zk::ReadJob(file, job_id) != zk::ReadStatus::kMissing) {
    zk::PrintErr("ERROR:既に存在するジョブIDです。(" + job_id + ")");
    return zk::kExitFail;
  }
  // Parameters and run password are stored as given; when absent they stay empty.
  if (zk::AddJob(file, job_id, program, scan.Get('o'), scan.Get('r')) != zk::WriteStatus::kDone) {
    zk::PrintErr("ERROR:ジョブ追加に失敗しました。");
    return zk::kExitFail;
  }
  zk::PrintOut("ジョブを追加しました。");
  zk::PrintOut("");
  return zk::kExitOk;
}
