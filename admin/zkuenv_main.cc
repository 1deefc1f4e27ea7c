// zkuenv: writes a fresh user environment file for a registered user, with the connection
// settings that the server file holds now and the user's current password.
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
    return zk::PrintUsage(argv0, {"<ユーザID> ", zk::kUsageEnvFile, zk::kUsageAdminPassword});
  }
  const std::string user_id = scan.positional[0];

  std::string file;
  if (!zk::OpenServerEnv(zk::FileSystem::Default(), scan.Get('e', zk::kDefaultServerEnvFile),
                         argv[0], scan.Get('a'), &file)) {
    return zk::kExitFail;
  }
  zk::UserRow user;
  if (zk::ReadUser(file, user_id, &user) == zk::ReadStatus::kMissing) {
    zk::PrintErr("ERROR:存在しないユーザIDです。(" + user_id + ")");
    return zk::kExitFail;
  }
  return zk::WriteUserEnvFile(file, user_id, user.password);
}
