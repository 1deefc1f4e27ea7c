// zkuenv: writes a fresh user environment file for a registered user, with the connection
// settings that the server file holds now and the user's current password.
#include <ace/OS_main.h>

#include "admin/registry_tools.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) { return zk::RunRegistryTool("zkuenv", argc, argv); }
