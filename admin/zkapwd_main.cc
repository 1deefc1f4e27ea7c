// zkapwd: changes the administrator password of a server environment file.
#include <ace/OS_main.h>

#include <string>
#include <vector>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/options.h"
#include "settings/zkdb.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:");
  if (!scan.ok || scan.positional.size() > 3) {
    return zk::PrintUsage(argv0, {"<現在のパスワード> ", "<新しいパスワード> ",
                                  "<新しいパスワード(確認)> ", zk::kUsageEnvFile});
  }
  std::vector<std::string> pos = scan.positional;
  pos.resize(3);  // a password not given is typed at its prompt

  std::string file;
  if (!zk::OpenEnvFile(zk::FileSystem::Default(), zk::EnvKind::kServer,
                       scan.Get('e', zk::kDefaultServerEnvFile), argv[0], &file)) {
    return zk::kExitFail;
  }
  const std::string current = zk::GivenOrPrompted(pos[0], "現在のパスワードを入力してください");
  if (current.empty() || current != zk::ReadEnvSetting(file, "adminpwd")) {
    zk::PrintErr("ERROR:現在のパスワードが誤っています。");
    return zk::kExitFail;
  }
  const std::string fresh = zk::GivenOrPrompted(pos[1], "新しいパスワードを入力してください");
  const std::string again = zk::GivenOrPrompted(pos[2], "新しいパスワード(確認)を入力してください");
  // An empty password would be stored as random filler that nobody knows.
  if (fresh.empty() || fresh != again) {
    zk::PrintErr("ERROR:新しいパスワードが誤っています。");
    return zk::kExitFail;
  }
  if (zk::UpdateEnvSetting(file, "adminpwd", fresh, "", "") != zk::WriteStatus::kDone) {
    zk::PrintErr("ERROR:管理者パスワードの変更に失敗しました。");
    return zk::kExitFail;
  }
  zk::PrintOut("管理者パスワードを変更しました。");
  return zk::kExitOk;
}
