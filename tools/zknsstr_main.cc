// zknsstr: starts the naming service in the background on the host and IIOP port of the
// server environment file, and returns at once.
#include <ace/OS_main.h>

#include <string>

#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/startdir.h"
#include "settings/envfile.h"
#include "tools/launcher.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  zk::FileSystem* fs = zk::FileSystem::Default();

  std::string env_file;
  if (zk::PrepareLaunch(fs, argc, argv, &env_file) != zk::kExitOk) return zk::kExitFail;

  const zk::ConnectionSettings c = zk::ReadConnectionSettings(env_file);
  const std::string config = fs->IsFile("ns.conf") ? "ns.conf" : "";
  const std::string cwd = zk::CurrentDir();  // the launcher's own directory now
  // What becomes of the started naming service is not watched: the launcher ends with 0.
  zk::StartDetached(zk::NamingServiceCommand(zk::LocateProgram(fs, cwd, "omniNames"), c.ns, c.iiop,
                                             zk::PrepareNamingDataDir(fs, cwd), config),
                    /*quiet=*/true);
  return zk::kExitOk;
}
