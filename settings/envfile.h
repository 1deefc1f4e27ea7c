// Opening an environment file, the one way every program does it, and reading the connection
// settings it holds.
//
//   std::string file;
//   if (!OpenEnvFile(fs, EnvKind::kServer, scan.Get('e', kDefaultServerEnvFile), argv[0], &file))
//     return kExitFail;  // the message is printed
//   ConnectionSettings c = ReadConnectionSettings(file);
#ifndef ZK_SETTINGS_ENVFILE_H_
#define ZK_SETTINGS_ENVFILE_H_

#include <string>

#include "platform/fs.h"

namespace zk {

// The two kinds of environment file: the server's (with the registry) and a user's.
enum class EnvKind { kServer, kUser };

// The names a program takes when -e gives none (found by the location rule).
extern const char kDefaultServerEnvFile[];  // "./server.zkd"
extern const char kDefaultUserEnvFile[];    // "./client.zkd"

// The opening: the location rule (platform/startdir.h; for a user file also the user's settings
// folder), then the checks that a regular file is there and that its "envtype" is the kind's,
// each with its message on standard error:
//   "ERROR:サーバ環境設定ファイルが存在しません。(FILE)"  (ユーザ for a user file)
//   "ERROR:サーバ環境設定ファイルではありません。(FILE)"
// FILE is the name as the location rule leaves it, which *file receives in any case. The process
// is in the program's directory afterwards. *start_dir (when given) is the starting directory.
bool OpenEnvFile(FileSystem* fs, EnvKind kind, const std::string& name, const std::string& argv0,
                 std::string* file, std::string* start_dir = nullptr);

// The kind check alone, with its message: true when the "envtype" of `file` is the kind's. A
// file that cannot be read is of no kind.
bool CheckEnvKind(EnvKind kind, const std::string& file);

// Where the naming service and the server are, and the transfer unit.
struct ConnectionSettings {
  std::string ns;    // naming-service host
  std::string iiop;  // naming-service port
  std::string ssl;   // the server's TLS port
  std::string unit;  // transfer unit in KB, as stored
  // True when ns, iiop and ssl are set: the client tools can connect.
  bool complete() const { return !ns.empty() && !iiop.empty() && !ssl.empty(); }
};

// The connection settings of `file`; a setting that is not there (or a file that cannot be read)
// reads as empty.
ConnectionSettings ReadConnectionSettings(const std::string& file);

}  // namespace zk

#endif  // ZK_SETTINGS_ENVFILE_H_
