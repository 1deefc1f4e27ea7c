// zklu: lists the registered users with their storage directories, in the order of their numbers.
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
  if (zk::ReadUserCount(file) == 0) {
    zk::PrintErr("ERROR:ユーザが存在しません。");
    return zk::kExitFail;
  }
  // The listing counts the users it shows, not their numbers.
  int k = 0;
  for (const std::string& name : zk::RegisteredUsers(file)) {
    zk::UserRow user;
    zk::ReadUser(file, name, &user);
    zk::PrintOut(std::to_string(++k) + ": " + name + " (" + user.storage_dir + ")");
  }
  return zk::kExitOk;
}
