// The administration tools that differ only in their texts and their registry call, run from one
// table: zkdu and zkdj delete a registered user or job, zkuenv writes a user's environment file
// anew, zklu and zklj list the users or the jobs. Each tool's main is one call:
//
//   int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) { return zk::RunRegistryTool("zkdu", argc, argv); }
//
// A run reads like the tools' description: parse (-e, -a and the id), open the server file as
// the administrator, check that the id is registered (or that the registry is not empty), work.
#ifndef ZK_ADMIN_REGISTRY_TOOLS_H_
#define ZK_ADMIN_REGISTRY_TOOLS_H_

namespace zk {

// Runs the tool `name` of the table as a program's main; returns its exit status.
int RunRegistryTool(const char* name, int argc, char* argv[]);

}  // namespace zk

#endif  // ZK_ADMIN_REGISTRY_TOOLS_H_
