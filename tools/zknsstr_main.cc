// zknsstr: starts the naming service in the background on the host and IIOP port of the
// server environment file, and returns at once.
#include <ace/OS_main.h>

#include <string>

#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/process.h"
#include "platform/startdir.h"
#include "settings/zkdb.h"
#include "tools/launcher.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();

  std::string env_file;
  if (int status = zk::PrepareLaunch(argc, argv, &env_file)) return status;

  std::string ns = zk::ReadEnvSetting(env_file, "ns");
  std::string iiop = zk::ReadEnvSetting(env_file, "iiop");
  std::string config = zk::IsRegularFile("ns.conf") ? "ns.conf" : "";
  // What becomes of the started naming service is not watched: the launcher ends with 0.
  zk::StartDetached(zk::NamingServiceCommand(zk::LocateProgram("omniNames"), ns, iiop,
                                             zk::PrepareNamingDataDir(), config),
                    /*quiet=*/true);
  return zk::kExitOk;
}
