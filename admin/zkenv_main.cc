// zkenv: creates (or re-creates) the server environment file with the naming-service host and
// port, the SSL port and the transfer unit size, and prints what the file now holds.
#include <ace/OS_main.h>
#include <unistd.h>

#include <string>

#include "admin/admin.h"
#include "platform/console.h"
#include "platform/options.h"
#include "platform/startdir.h"
#include "settings/zkdb.h"

namespace {

// This computer's name; empty when it cannot be obtained.
std::string ComputerName() {
  char buf[256];
  if (gethostname(buf, sizeof(buf)) != 0) return std::string();
  buf[sizeof(buf) - 1] = '\0';
  return buf;
}

}  // namespace

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  const std::string argv0 = zk::ProgramName(argv[0]);
  const std::string host_default = ComputerName();
  zk::OptionScan scan = zk::ScanOptions(argc, argv, "e:n:i:s:u:");
  if (!scan.ok) {
    return zk::PrintUsage(argv0, {zk::kUsageEnvFile, "-n <NSサーバ名> ", "-i <IIOPポート番号> ",
                                  "-s <SSLポート番号> ", "-u <転送ユニットサイズ(KB)> "});
  }

  zk::FileSystem* fs = zk::FileSystem::Default();
  const std::string file = zk::LocateEnvFile(fs, scan.Get('e', zk::kDefaultServerEnvFile), argv[0]);
  // Replacing an existing file drops its users and jobs: only the administrator may do that.
  if (fs->Exists(file)) {
    if (!zk::CheckEnvKind(zk::EnvKind::kServer, file)) return zk::kExitFail;
    if (!zk::CheckAdministrator(file, "")) return zk::kExitFail;
  }

  if (zk::CreateServerEnvFile(file, scan.Get('n', host_default), scan.Get('i', "11108"),
                              scan.Get('s', "81"),
                              scan.Get('u', "1000")) != zk::WriteStatus::kDone) {
    zk::PrintErr("ERROR:サーバ環境設定ファイルの作成・設定に失敗しました。(" + file + ")");
    return zk::kExitFail;
  }
  const zk::ConnectionSettings c = zk::ReadConnectionSettings(file);
  zk::PrintOut("サーバ環境設定ファイルを作成・設定しました。(" + file + ")");
  zk::PrintOut("  NSサーバ名     :" + c.ns);
  zk::PrintOut("  IIOPポート番号 :" + c.iiop);
  zk::PrintOut("  SSLポート番号  :" + c.ssl);
  zk::PrintOut("  ユニットサイズ :" + c.unit + " KB");
  return zk::kExitOk;
}
