// zkau: registers a user with a password and a storage directory, creates the directory and
// writes the user's environment file.
#include <ace/OS_main.h>

#include <string>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/options.h"
#include "settings/zkdb.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:a:");
  const auto& pos = scan.positional;
  if (!scan.ok || pos.size() != 3 || pos[0].empty() || pos[1].empty() || pos[2].empty()) {
    return zk::PrintUsage(argv0, {"<ユーザID> ", "<パスワード> ", "<格納ディレクトリ> ",
                                  zk::kUsageEnvFile, zk::kUsageAdminPassword});
  }
  const std::string& user_id = pos[0];
  const std::string& password = pos[1];
  const std::string& directory = pos[2];

  zk::FileSystem* fs = zk::FileSystem::Default();
  std::string file;
  if (!zk::OpenServerEnv(fs, scan.Get('e', zk::kDefaultServerEnvFile), argv[0], scan.Get('a'),
                         &file)) {
    return zk::kExitFail;
  }
  if (zk::ReadUser(file, user_id) != zk::ReadStatus::kMissing) {
    zk::PrintErr("ERROR:既に存在するユーザIDです。(" + user_id + ")");
    return zk::kExitFail;
  }
  // A relative directory is taken from the program's directory, the current one by now.
  const std::string create = zk::StorageDirToCreate(directory);
  auto names_file = [fs](const std::string& path) { return fs->Exists(path) && !fs->IsDir(path); };
  if (names_file(directory) || names_file(create)) {
    zk::PrintErr("ERROR:ファイル名が指定されています。(" + directory + ")");
    return zk::kExitFail;
  }
  if (!create.empty()) {
    zk::PrintOut("ユーザ用格納ディレクトリを作成しました。(" + create + ")");
    if (!zk::CreateStorageDir(fs, create)) {
      zk::PrintOut("WARNING:ユーザ用格納ディレクトリの作成に失敗しました。(" + create + ")");
      return zk::kExitNoStorageDir;
    }
  }

  // The directory is registered as typed, trailing separator included.
  if (zk::AddUser(file, user_id, password, directory) != zk::WriteStatus::kDone) {
    zk::PrintErr("ERROR:ユーザ追加に失敗しました。");
    return zk::kExitFail;
  }
  zk::PrintOut("ユーザを追加しました。");
  zk::PrintOut("");
  return zk::WriteUserEnvFile(file, user_id, password);
}
