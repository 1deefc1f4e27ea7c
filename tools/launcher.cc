// Steps shared by the service launchers.
#include "tools/launcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/options.h"
#include "platform/startdir.h"
#include "settings/zkdb.h"

namespace zk {

const char kNamingDataDir[] = "nsdata";

int PrepareLaunch(int argc, char* argv[], std::string* env_file) {
  OptionScan scan = ScanOptions(argc, argv, "e:");
  if (!scan.ok) {
    PrintOut(UsageLine(argv[0], {"-e <環境設定ファイル名> "}));
    return kExitFail;
  }
  std::string file = LocateEnvFile(scan.Get('e', "./server.zkd"), argv[0]);
  if (!PathExists(file)) {
    PrintErr("ERROR:サーバ環境設定ファイルが存在しません。(" + file + ")");
    return kExitFail;
  }
  if (ReadEnvSetting(file, "envtype") != "server") {
    PrintErr("ERROR:サーバ環境設定ファイルではありません。(" + file + ")");
    return kExitFail;
  }
  *env_file = file;
  return kExitOk;
}

std::string LocateProgram(const std::string& name) {
  std::string local = AbsoluteFrom(CurrentDir(), name);
  if (IsRegularFile(local) && access(local.c_str(), X_OK) == 0) return local;
  return name;
}

std::string PrepareNamingDataDir() {
  std::string dir = AbsoluteFrom(CurrentDir(), kNamingDataDir);
  if (!IsDirectory(dir)) mkdir(dir.c_str(), 0700);
  return dir;
}

std::vector<std::string> NamingServiceCommand(const std::string& program, const std::string& ns,
                                              const std::string& iiop, const std::string& data_dir,
                                              const std::string& config) {
  std::vector<std::string> argv = {
      program,    "-start", iiop,           "-always",
      "-datadir", data_dir, "-ORBendPoint", "giop:tcp:" + ns + ":" + iiop};
  if (!config.empty()) {
    argv.push_back("-ORBconfigFile");
    argv.push_back(config);
  }
  return argv;
}

std::vector<std::string> ServerCommand(const std::string& program, const std::string& env_file) {
  return {program, "-e", env_file};
}

}  // namespace zk
