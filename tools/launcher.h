// Steps shared by the service launchers zknsstr and zksvstr: the command line, the server
// environment file check and how the started programs are found.
#ifndef ZK_TOOLS_LAUNCHER_H_
#define ZK_TOOLS_LAUNCHER_H_

#include <string>
#include <vector>

#include "platform/fs.h"

namespace zk {

// Parses "-e FILE" (other words are ignored) and opens the server environment file (OpenEnvFile,
// which moves the process to the launcher's own directory). Prints the usage line or the error
// message itself. Returns kExitOk with the file name in *env_file, or kExitFail.
int PrepareLaunch(FileSystem* fs, int argc, char* argv[], std::string* env_file);

// How a launcher names a program to start: the file of that name in the current directory `cwd`
// (as an absolute path) when it is an executable file, otherwise the bare name, searched in PATH.
// The launchers pass the process's current directory (CurrentDir()), where PrepareLaunch left it.
std::string LocateProgram(FileSystem* fs, const std::string& cwd, const std::string& name);

// Name of the naming service's data folder beside the launcher (in the current directory).
extern const char kNamingDataDir[];

// The naming service's data folder in the current directory `cwd`, created (owner only) when
// missing. Returns its absolute path; the folder may still be missing when it cannot be made.
std::string PrepareNamingDataDir(FileSystem* fs, const std::string& cwd);

// The naming service's command line: it listens on host `ns`, port `iiop`, keeps its data in
// `data_dir` and starts over existing data; `config` (when not empty) is its ORB configuration.
std::vector<std::string> NamingServiceCommand(const std::string& program, const std::string& ns,
                                              const std::string& iiop, const std::string& data_dir,
                                              const std::string& config);

// The server's command line for the environment file `env_file`.
std::vector<std::string> ServerCommand(const std::string& program, const std::string& env_file);

}  // namespace zk

#endif  // ZK_TOOLS_LAUNCHER_H_
