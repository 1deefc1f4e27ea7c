// zklj: lists the registered jobs with their programs and parameters; a job guarded by a run
// password is marked " (*)", the password itself is never shown.
#include <ace/OS_main.h>

#include "admin/registry_tools.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) { return zk::RunRegistryTool("zklj", argc, argv); }
