// zkdj: deletes a registered job.
#include <ace/OS_main.h>

#include "admin/registry_tools.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) { return zk::RunRegistryTool("zkdj", argc, argv); }
