// The opening shared by the administration tools and the pieces that zkau and zkuenv share.
#include "admin/admin.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/console.h"
#include "platform/options.h"
#include "platform/startdir.h"
#include "settings/zkdb.h"

namespace zk {

const char kDefaultServerEnv[] = "./server.zkd";
const char kUserEnvFile[] = "./client.zkd";
const char kUsageEnvFile[] = "-e <環境設定ファイル名> ";
const char kUsageAdminPassword[] = "-a <管理者パスワード> ";

int PrintUsage(const std::string& argv0, std::initializer_list<const char*> pieces) {
  PrintOut(UsageLine(argv0, pieces));
  return kExitFail;
}

std::string ProgramName(const char* argv0) { return FromConsole(argv0 ? argv0 : ""); }

bool LocateServerEnv(const std::string& name, const std::string& argv0, std::string* file) {
  *file = LocateEnvFile(name, argv0);
  if (!IsRegularFile(*file)) {
    PrintErr("ERROR:サーバ環境設定ファイルが存在しません。(" + *file + ")");
    return false;
  }
  if (ReadEnvSetting(*file, "envtype") != "server") {
    PrintErr("ERROR:サーバ環境設定ファイルではありません。(" + *file + ")");
    return false;
  }
  return true;
}

bool CheckAdministrator(const std::string& file, const std::string& given) {
  std::string word = given.empty() ? PromptWord("管理者パスワードを入力してください") : given;
  if (word.empty() || word != ReadEnvSetting(file, "adminpwd")) {
    PrintErr("ERROR:管理者パスワードが誤っています。");
    return false;
  }
  return true;
}

bool OpenServerEnv(const std::string& name, const std::string& argv0,
                   const std::string& admin_password, std::string* file) {
  return LocateServerEnv(name, argv0, file) && CheckAdministrator(*file, admin_password);
}

std::string StorageDirToCreate(const std::string& typed) {
  std::string dir = typed;
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  if (dir.find_first_not_of('/') == std::string::npos) return std::string();
  return dir;
}

bool CreateStorageDir(const std::string& dir) {
  if (dir.empty()) return false;
  if (IsDirectory(dir)) return true;
  // Parents first, each with the ordinary mode; the storage directory itself is owner-only.
  size_t pos = 0;
  while ((pos = dir.find('/', pos + 1)) != std::string::npos) {
    std::string parent = dir.substr(0, pos);
    if (parent.empty() || parent.back() == '/' || IsDirectory(parent)) continue;
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsDirectory(dir);
}

int WriteUserEnvFile(const std::string& server_file, const std::string& user_id,
                     const std::string& password) {
  const std::string where = std::string("(") + kUserEnvFile + ")";
  if (CreateUserEnvFile(kUserEnvFile, ReadEnvSetting(server_file, "ns"),
                        ReadEnvSetting(server_file, "iiop"), ReadEnvSetting(server_file, "ssl"),
                        ReadEnvSetting(server_file, "unit"), user_id,
                        password) != WriteStatus::kDone) {
    PrintErr("ERROR:ユーザ環境設定ファイルの作成に失敗しました。" + where);
    return kExitFail;
  }
  PrintOut("ユーザ環境設定ファイルを作成しました。" + where);
  return kExitOk;
}

}  // namespace zk
