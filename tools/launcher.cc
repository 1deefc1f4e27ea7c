// Steps shared by the service launchers.
#include "tools/launcher.h"

#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/options.h"
#include "platform/startdir.h"
#include "settings/envfile.h"

namespace zk {

const char kNamingDataDir[] = "nsdata";

int PrepareLaunch(FileSystem* fs, int argc, char* argv[], std::string* env_file) {
  OptionScan scan = ScanOptions(argc, argv, "e:");
  if (!scan.ok) {
    PrintOut(UsageLine(argv[0], {"-e <環境設定ファイル名> "}));
    return kExitFail;
  }
  return OpenEnvFile(fs, EnvKind::kServer, scan.Get('e', kDefaultServerEnvFile), argv[0], env_file)
             ? kExitOk
             : kExitFail;
}

std::string LocateProgram(FileSystem* fs, const std::string& cwd, const std::string& name) {
  std::string local = AbsoluteFrom(cwd, name);
  if (fs->IsFile(local) && fs->CanExecute(local)) return local;
  return name;
}

std::string PrepareNamingDataDir(FileSystem* fs, const std::string& cwd) {
  std::string dir = AbsoluteFrom(cwd, kNamingDataDir);
  fs->MakeDir(dir, 0700);
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
