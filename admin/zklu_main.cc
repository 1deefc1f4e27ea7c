// zklu: lists the registered users with their storage directories, in the order of their numbers.
#include <ace/OS_main.h>

#include "admin/registry_tools.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) { return zk::RunRegistryTool("zklu", argc, argv); }
