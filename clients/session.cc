// The client session: environment file, connection through the naming service, authentication,
// the exception handler around a tool's work, and the server-path notation "::".
#include "clients/session.h"

#include <exception>

#include "idl/wire.h"
#include "platform/console.h"
#include "settings/envfile.h"
#include "settings/zkdb.h"

namespace zk {

bool NormaliseServerPath(const std::string& arg, std::string* out) {
  std::string path = arg.size() > 2 ? arg.substr(2) : std::string();
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (!path.empty() && path[0] == '\\') path.insert(0, ".");
  // "/" became "\" above, so one search covers both spellings of the parent directory.
  if (path.find("..\\") != std::string::npos) {
    PrintErr("ERROR:サーバディレクトリに「..\\」「../」は指定できません。");
    return false;
  }
  *out = path;
  return true;
}

ServerPath SplitServerPath(const std::string& path) {
  ServerPath result;
  size_t last = path.find_last_of("\\:");
  std::string dir = last == std::string::npos ? std::string() : path.substr(0, last + 1);
  if (!dir.empty()) dir.pop_back();
  if (dir.empty()) {
    dir = ".\\";
  } else if (dir.back() != '\\') {
    dir.push_back('\\');
  }
  result.dir = dir;
  result.mask = last == std::string::npos ? path : path.substr(last + 1);
  if (result.mask.empty()) result.mask = kEveryEntry;
  return result;
}

ClientSession::ClientSession(FileSystem* fs, const std::string& argv0) : fs_(fs), argv0_(argv0) {}

ClientSession::~ClientSession() {
  try {
    Shutdown();
  } catch (...) {
    // Leaving anyway. The ORB may throw its own exceptions besides CORBA's
    // (omniORB::fatalException), and nothing may leave a destructor.
  }
}

bool ClientSession::Open(const std::string& env_file) {
  if (!OpenEnvFile(fs_, EnvKind::kUser, env_file, argv0_, &env_file_, &start_dir_)) return false;
  user_ = ReadUserName(env_file_, 1);
  return true;
}

bool ClientSession::Login(const std::string& password) {
  return Connect() && Authenticate(password);
}

std::string PasswordOrPrompt(const std::string& given) {
  return GivenOrPrompted(given, "パスワードを入力してください");
}

int RunOnServerPath(FileSystem* fs, const std::string& argv0, const std::string& env_file,
                    const std::string& given_password, const std::string& path,
                    const std::vector<std::string>& failure,
                    const std::function<void(ClientSession&, const ServerPath&)>& work) {
  ClientSession session(fs, argv0);
  return RunGuarded(true, [&]() -> int {
    // Locate, check, authenticate.
    if (!session.Open(env_file)) return kExitFail;
    const std::string password = PasswordOrPrompt(given_password);
    std::string normalised;
    if (!NormaliseServerPath(path, &normalised)) return kExitFail;
    const ServerPath where = SplitServerPath(normalised);
    if (!session.Login(password)) return kExitFail;

    // Work.
    try {
      work(session, where);
    } catch (...) {  // a failed request, a path without a wire form, or the ORB's own exceptions
      for (const std::string& line : failure) PrintErr(line);
      session.Shutdown();
      return kExitFail;
    }
    session.Shutdown();
    return kExitOk;
  });
}

bool ClientSession::Connect() {
  const ConnectionSettings c = ReadConnectionSettings(env_file_);
  if (!c.complete()) {
    PrintErr("ERROR:サーバ接続情報が設定されていません。(" + env_file_ + ")");
    return false;
  }

  const std::string conf = ClientConfigFile(env_file_);
  WireCode code = WireCode::kUtf8;
  if (!ReadWireCode(conf, &code)) {
    PrintErr(std::string("WARNING:client.confの") + kWireTextKey +
             "はutf-8かcp932です。utf-8を使います。(" + ConfigValue(conf, kWireTextKey) + ")");
  }
  text_ = ServerText(code);
  orb_ = InitOrb(ClientOrbSetup(fs_, argv0_, c, conf));
  CosNaming::NamingContext_var naming = NamingContext(orb_.in());
  CORBA::Object_var obj = naming->resolve(ServerName());
  server_ = ZKmd::_narrow(obj.in());
  if (CORBA::is_nil(server_.in())) {
    Shutdown();
    PrintErr("orb->destroy error");
    return false;
  }
  return true;
}

bool ClientSession::Authenticate(const std::string& password) {
  if (!text_.Out(user_, &wire_user_) || !LogInOn(server_.in(), password)) {
    PrintErr("ERROR:ユーザ認証に失敗しました。");
    Shutdown();
    return false;
  }
  return true;
}

bool ClientSession::LogInOn(ZKmd_ptr server, const std::string& password) const {
  std::string wire_password;
  return text_.OutSecret(password, &wire_password) &&
         server->zkExistsUser(wire_user_.c_str(), wire_password.c_str()) != kLoginRefused;
}

ZKmd_ptr ClientSession::SecondConnection(CORBA::ULong id, const std::string& password) {
  if (CORBA::is_nil(server_.in())) return ZKmd::_nil();
  try {
    ZKmd_var own = OwnConnection(server_.in(), id);
    if (CORBA::is_nil(own.in()) || !LogInOn(own.in(), password)) return ZKmd::_nil();
    return own._retn();
  } catch (const CORBA::Exception&) {
    return ZKmd::_nil();
  }
}

void ClientSession::Shutdown() {
  server_ = ZKmd::_nil();
  if (CORBA::is_nil(orb_.in())) return;
  CORBA::ORB_var orb = orb_._retn();
  orb->destroy();
}

int RunGuarded(bool catch_other, const std::function<int()>& body) {
  try {
    return body();
  } catch (const CORBA::Exception& e) {
    PrintErr("CORBA Exception: " + ExceptionText(e));
    return kExitFail;
  } catch (...) {
    // Whatever else a tool's work throws: the standard library's, and the ORB's own
    // (omniORB::fatalException), which derive from neither.
    if (!catch_other) throw;
    PrintErr("Error: ");
    return kExitFail;
  }
}

}  // namespace zk
