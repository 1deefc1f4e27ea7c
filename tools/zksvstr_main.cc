// zksvstr: starts the server zksvr in the background with the given server environment file,
// and returns at once.
#include <ace/OS_main.h>

#include <string>

#include "platform/console.h"
#include "platform/exit_status.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/startdir.h"
#include "tools/launcher.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();
  zk::FileSystem* fs = zk::FileSystem::Default();

  std::string env_file;
  if (zk::PrepareLaunch(fs, argc, argv, &env_file) != zk::kExitOk) return zk::kExitFail;

  // What becomes of the started server is not watched: the launcher ends with 0.
  const std::string cwd = zk::CurrentDir();  // the launcher's own directory now
  zk::StartDetached(zk::ServerCommand(zk::LocateProgram(fs, cwd, "zksvr"), env_file),
                    /*quiet=*/true);
  return zk::kExitOk;
}
