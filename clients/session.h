// The client session shared by zkcp, zkjob, zkls, zkrm and zkpwd: locate and check the user's
// environment file, obtain the password, connect through the naming service and authenticate.
// A tool's main calls the steps in its own order; each step prints its own message on failure.
#ifndef ZK_CLIENTS_SESSION_H_
#define ZK_CLIENTS_SESSION_H_

#include <functional>
#include <string>
#include <vector>

#include "clients/server_text.h"
#include "idl/orb.h"
#include "platform/exit_status.h"
#include "platform/fs.h"

namespace zk {

// A server path after the "::" prefix, split into directory and mask.
struct ServerPath {
  std::string dir;   // wire form, ends in "\" (".\" for the root)
  std::string mask;  // kEveryEntry when the path ends in a separator
};

// Server-path steps a to c: drops "::", turns "/" into "\", puts "." before a leading "\".
// Returns false (after printing the "..\" / "../" error) when the path holds either sequence.
bool NormaliseServerPath(const std::string& arg, std::string* out);
// Step d: the split into directory and mask.
ServerPath SplitServerPath(const std::string& path);

class ClientSession {
 public:
  // `fs` is where the environment file and client.conf are looked for.
  ClientSession(FileSystem* fs, const std::string& argv0);
  ~ClientSession();  // destroys the ORB if still up

  // The opening of every client tool: OpenEnvFile for a user file (the starting directory, the
  // program directory, then the user's settings folder $XDG_CONFIG_HOME/zk, by default
  // ~/.config/zk), then the user id (ReadUserName(file, 1)). False after the opening's message.
  bool Open(const std::string& env_file);
  // Reads ns/iiop/ssl (false after "ERROR:サーバ接続情報が設定されていません。(...)"), takes the
  // wire code from client.conf, starts the ORB, resolves "ZKmdImpl" and narrows it (false after
  // "orb->destroy error"). CORBA exceptions propagate to the caller's handler.
  bool Connect();
  // zkExistsUser; false after "ERROR:ユーザ認証に失敗しました。" (the ORB is destroyed), also when
  // the user id or the password cannot be written in the wire code.
  bool Authenticate(const std::string& password);
  // The server over a connection of its own (OwnConnection with `id`), logged in with
  // `password` like the session's own; nil, with nothing printed, when that cannot be had.
  ZKmd_ptr SecondConnection(CORBA::ULong id, const std::string& password);
  // Destroys the ORB (idempotent).
  void Shutdown();

  // Connect, then Authenticate.
  bool Login(const std::string& password);

  const std::string& argv0() const { return argv0_; }
  const std::string& start_dir() const { return start_dir_; }
  const std::string& env_file() const { return env_file_; }
  const std::string& user() const { return user_; }
  // The user id as every request carries it (set by Authenticate).
  const std::string& wire_user() const { return wire_user_; }
  // The conversion of texts to and from the server (set by Connect).
  const ServerText& text() const { return text_; }
  ZKmd_ptr server() const { return server_.in(); }

 private:
  // zkExistsUser of the session's user (wire_user_) with `password` on `server`; false when the
  // password has no wire form or the server refuses it. CORBA exceptions propagate.
  bool LogInOn(ZKmd_ptr server, const std::string& password) const;

  FileSystem* fs_;
  std::string argv0_;
  std::string start_dir_;
  std::string env_file_;
  std::string user_;
  std::string wire_user_;
  ServerText text_;
  CORBA::ORB_var orb_;
  ZKmd_var server_;
};

// The password given with -p, or, when that is empty, the word typed at the password prompt.
std::string PasswordOrPrompt(const std::string& given);

// The run of the tools that take one "::" path (zkls, zkrm), once their options are parsed, inside
// RunGuarded(true): a session on `fs` for `argv0` opened on `env_file`, the password
// (`given_password` or the prompt), `path` normalised and split, Login, then `work` on the session
// and the split path, and Shutdown. Gives kExitFail after the failing step's own message; when
// `work` throws, after the lines `failure` on standard error. Gives kExitOk when `work` returns.
int RunOnServerPath(FileSystem* fs, const std::string& argv0, const std::string& env_file,
                    const std::string& given_password, const std::string& path,
                    const std::vector<std::string>& failure,
                    const std::function<void(ClientSession&, const ServerPath&)>& work);

// Runs `body` inside the session's exception handler: a CORBA exception prints
// "CORBA Exception: " + its text and gives 20; with `catch_other`, any other exception prints
// "Error: " and gives 20.
int RunGuarded(bool catch_other, const std::function<int()>& body);

}  // namespace zk

#endif  // ZK_CLIENTS_SESSION_H_
