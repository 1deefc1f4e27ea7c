// The opening shared by the administration tools and the pieces that zkau and zkuenv share.
#include "admin/admin.h"

#include <string>

#include "platform/console.h"
#include "platform/options.h"
#include "platform/pathtext.h"
#include "settings/zkdb.h"

namespace zk {

const char kUsageEnvFile[] = "-e <環境設定ファイル名> ";
const char kUsageAdminPassword[] = "-a <管理者パスワード> ";

int PrintUsage(const std::string& argv0, std::initializer_list<const char*> pieces) {
  PrintOut(UsageLine(argv0, pieces));
  return kExitFail;
}

std::string ProgramName(const char* argv0) { return FromConsole(argv0 ? argv0 : ""); }

bool CheckAdministrator(const std::string& file, const std::string& given) {
  std::string word = GivenOrPrompted(given, "管理者パスワードを入力してください");
  if (word.empty() || word != ReadEnvSetting(file, "adminpwd")) {
    PrintErr("ERROR:管理者パスワードが誤っています。");
    return false;
  }
  return true;
}

bool OpenServerEnv(FileSystem* fs, const std::string& name, const std::string& argv0,
                   const std::string& admin_password, std::string* file) {
  return OpenEnvFile(fs, EnvKind::kServer, name, argv0, file) &&
         CheckAdministrator(*file, admin_password);
}

std::string StorageDirToCreate(const std::string& typed) {
  std::string dir = typed;
  if (EndsWithSeparator(dir)) dir.pop_back();
  if (dir.find_first_not_of('/') == std::string::npos) return std::string();
  return dir;
}

bool CreateStorageDir(FileSystem* fs, const std::string& dir) {
  if (dir.empty()) return false;
  if (fs->IsDir(dir)) return true;
  // Parents first, each with the ordinary mode; the storage directory itself is owner-only.
  size_t pos = 0;
  while ((pos = dir.find('/', pos + 1)) != std::string::npos) {
    std::string parent = dir.substr(0, pos);
    if (parent.empty() || parent.back() == '/' || fs->IsDir(parent)) continue;
    if (!fs->MakeDir(parent, 0755)) return false;
  }
  return fs->MakeDir(dir, 0700).ok();
}

int WriteUserEnvFile(const std::string& server_file, const std::string& user_id,
                     const std::string& password) {
  const std::string where = std::string("(") + kDefaultUserEnvFile + ")";
  const ConnectionSettings c = ReadConnectionSettings(server_file);
  if (CreateUserEnvFile(kDefaultUserEnvFile, c.ns, c.iiop, c.ssl, c.unit, user_id, password) !=
      WriteStatus::kDone) {
    PrintErr("ERROR:ユーザ環境設定ファイルの作成に失敗しました。" + where);
    return kExitFail;
  }
  PrintOut("ユーザ環境設定ファイルを作成しました。" + where);
  return kExitOk;
}

}  // namespace zk
