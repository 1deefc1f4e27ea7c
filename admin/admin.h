// Steps shared by the administration tools: the usage line, the opening that locates and checks
// the server environment file and the administrator, the storage directory of a new user and
// the user environment file written for a user.
//
//   OptionScan scan = ScanOptions(argc, argv, "e:a:");
//   if (!scan.ok) return PrintUsage(argv0, {kUsageEnvFile, kUsageAdminPassword});
//   std::string file;
//   if (!OpenServerEnv(fs, scan.Get('e', kDefaultServerEnvFile), argv[0], scan.Get('a'), &file))
//     return kExitFail;
//
// The tools that differ only in texts and their registry call run from one table
// (admin/registry_tools.h).
#ifndef ZK_ADMIN_ADMIN_H_
#define ZK_ADMIN_ADMIN_H_

#include <initializer_list>
#include <string>

#include "platform/exit_status.h"
#include "platform/fs.h"
#include "settings/envfile.h"

namespace zk {

// zkau's exit status when the user's storage directory cannot be created (else kExitOk or
// kExitFail).
constexpr int kExitNoStorageDir = 10;

// Usage pieces shared by several tools.
extern const char kUsageEnvFile[];
extern const char kUsageAdminPassword[];

// Prints the usage line to standard output and returns kExitFail.
int PrintUsage(const std::string& argv0, std::initializer_list<const char*> pieces);

// The program name as invoked, as console text (for the usage line).
std::string ProgramName(const char* argv0);

// The administrator check: `given` when not empty, else the word typed at the prompt, compared
// with the file's administrator password. Prints the error and returns false on mismatch; an
// empty word never passes.
bool CheckAdministrator(const std::string& file, const std::string& given);

// OpenEnvFile for the server's file (`argv0` as the program was started), then
// CheckAdministrator: the opening of every tool with "-a".
bool OpenServerEnv(FileSystem* fs, const std::string& name, const std::string& argv0,
                   const std::string& admin_password, std::string* file);

// The directory that zkau creates for a typed storage directory: one trailing "/" or "\" is
// dropped. Empty when what remains is only the root, which is never created.
std::string StorageDirToCreate(const std::string& typed);

// Creates `dir` with all missing parents (mode 0755); the directory itself becomes owner-only
// (0700) when it is created here. True when it exists as a directory afterwards.
bool CreateStorageDir(FileSystem* fs, const std::string& dir);

// Writes kDefaultUserEnvFile (in the current directory) for `user_id` with the connection
// settings of `server_file` and prints the result line. Returns kExitOk or kExitFail.
int WriteUserEnvFile(const std::string& server_file, const std::string& user_id,
                     const std::string& password);

}  // namespace zk

#endif  // ZK_ADMIN_ADMIN_H_
