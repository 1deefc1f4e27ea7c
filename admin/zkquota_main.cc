// zkquota: sets, removes or shows the storage limit of a registered user. With a limit it is
// stored (0 removes it); without one the limit is shown with what the user's storage directory
// holds now. The server refuses an upload that would take the area past the limit.
#include <ace/OS_main.h>

#include <cstdint>
#include <string>

#include "admin/admin.h"
#include "admin/quota.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/options.h"
#include "settings/zkdb.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:a:");
  const auto& pos = scan.positional;
  if (!scan.ok || pos.empty() || pos.size() > 2 || pos[0].empty()) {
    return zk::PrintUsage(
        argv0, {"<ユーザID> ", "<容量制限(バイト)> ", zk::kUsageEnvFile, zk::kUsageAdminPassword});
  }
  const std::string& user_id = pos[0];
  const bool setting = pos.size() == 2;
  int64_t limit = 0;
  // A limit that is no number is refused before anything is asked or opened.
  if (setting && !zk::ParseByteLimit(pos[1], &limit)) {
    zk::PrintErr("ERROR:容量制限の指定が誤っています。(" + pos[1] + ")");
    return zk::kExitFail;
  }

  zk::FileSystem* fs = zk::FileSystem::Default();
  std::string file;
  if (!zk::OpenServerEnv(fs, scan.Get('e', zk::kDefaultServerEnvFile), argv[0], scan.Get('a'),
                         &file)) {
    return zk::kExitFail;
  }
  zk::UserRow user;
  const zk::ReadStatus found = zk::ReadUser(file, user_id, &user);
  if (found == zk::ReadStatus::kMissing) {
    zk::PrintErr("ERROR:存在しないユーザIDです。(" + user_id + ")");
    return zk::kExitFail;
  }

  if (setting) {
    if (found != zk::ReadStatus::kFound ||
        zk::SetUserQuota(file, user_id, limit) != zk::WriteStatus::kDone) {
      zk::PrintErr("ERROR:容量制限の設定に失敗しました。");
      return zk::kExitFail;
    }
    zk::PrintOut((limit > 0 ? "容量制限を設定しました。(" : "容量制限を解除しました。(") + user_id +
                 ")");
    zk::PrintOut(zk::LimitLine(limit));
    return zk::kExitOk;
  }

  // Show: the stored limit, and the bytes below the storage directory (relative to the program's
  // directory, the current one by now), upload temporary files included; a directory the server
  // has not made yet holds nothing.
  if (found != zk::ReadStatus::kFound ||
      zk::ReadUserQuota(file, user_id, &limit) == zk::ReadStatus::kFailed) {
    zk::PrintErr("ERROR:容量制限を読み込めませんでした。");
    return zk::kExitFail;
  }
  const std::string dir = zk::NativeStorageDir(user.storage_dir);
  int64_t use = 0;
  if (fs->Exists(dir) && !zk::TreeFileBytes(fs, dir, &use)) {
    zk::PrintErr("ERROR:格納ディレクトリを読み込めませんでした。(" + dir + ")");
    return zk::kExitFail;
  }
  for (const std::string& line : zk::QuotaLines(user_id, limit, use)) zk::PrintOut(line);
  return zk::kExitOk;
}
