// zkdu: deletes a registered user. The user's storage directory and files stay in place.
#include <ace/OS_main.h>

#include "admin/registry_tools.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) { return zk::RunRegistryTool("zkdu", argc, argv); }
