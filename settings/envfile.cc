// The opening of environment files and their connection settings.
#include "settings/envfile.h"

#include "platform/console.h"
#include "platform/startdir.h"
#include "settings/zkdb.h"

namespace zk {

const char kDefaultServerEnvFile[] = "./server.zkd";
const char kDefaultUserEnvFile[] = "./client.zkd";

namespace {

struct KindTexts {
  const char* envtype;   // the "envtype" setting of the kind
  const char* missing;   // the message when no file is there, before "(FILE)"
  const char* not_kind;  // the message when the file is of another kind
};

const KindTexts& TextsOf(EnvKind kind) {
  static const KindTexts kServer = {"server", "ERROR:サーバ環境設定ファイルが存在しません。",
                                    "ERROR:サーバ環境設定ファイルではありません。"};
  static const KindTexts kUser = {"user", "ERROR:ユーザ環境設定ファイルが存在しません。",
                                  "ERROR:ユーザ環境設定ファイルではありません。"};
  return kind == EnvKind::kServer ? kServer : kUser;
}

}  // namespace

bool OpenEnvFile(FileSystem* fs, EnvKind kind, const std::string& name, const std::string& argv0,
                 std::string* file, std::string* start_dir) {
  *file = kind == EnvKind::kUser ? LocateUserEnvFile(fs, name, argv0, start_dir)
                                 : LocateEnvFile(fs, name, argv0, start_dir);
  if (!fs->IsFile(*file)) {
    PrintErr(std::string(TextsOf(kind).missing) + "(" + *file + ")");
    return false;
  }
  return CheckEnvKind(kind, *file);
}

bool CheckEnvKind(EnvKind kind, const std::string& file) {
  const KindTexts& texts = TextsOf(kind);
  if (ReadEnvSetting(file, "envtype") == texts.envtype) return true;
  PrintErr(std::string(texts.not_kind) + "(" + file + ")");
  return false;
}

ConnectionSettings ReadConnectionSettings(const std::string& file) {
  ConnectionSettings c;
  c.ns = ReadEnvSetting(file, "ns");
  c.iiop = ReadEnvSetting(file, "iiop");
  c.ssl = ReadEnvSetting(file, "ssl");
  c.unit = ReadEnvSetting(file, "unit");
  return c;
}

}  // namespace zk
