// zkpwd: changes the user's password, first in the local client.zkd, then on the server.
// The current password is checked against the local file before any connection is made.
#include <ace/OS_main.h>

#include <string>

#include "clients/session.h"
#include "idl/wire.h"
#include "platform/console.h"
#include "platform/options.h"
#include "settings/zkdb.h"

int ACE_TMAIN(int argc, ACE_TCHAR* argv[]) {
  zk::InitConsole();

  // Parse.
  zk::OptionScan opts = zk::ScanOptions(argc, argv, "e:");
  if (!opts.ok || opts.positional.size() > 3) {
    zk::PrintOut(zk::UsageLine(zk::FromConsole(argv[0]),
                               {"<現在のパスワード> ", "<新しいパスワード> ",
                                "<新しいパスワード(確認)> ", "-e <環境設定ファイル名> "}));
    return zk::kExitFail;
  }
  opts.positional.resize(3);

  zk::ClientSession session(zk::FileSystem::Default(), argv[0]);
  return zk::RunGuarded(false, [&]() -> int {
    // Locate and check the local file.
    if (!session.Open(opts.Get('e', zk::kDefaultUserEnvFile))) return zk::kExitFail;

    // The current password must be the one stored locally.
    const std::string current =
        zk::GivenOrPrompted(opts.positional[0], "現在のパスワードを入力してください");
    const std::string& user = session.user();
    zk::UserRow row;
    zk::ReadUser(session.env_file(), user, &row);
    const std::string& stored = row.password;
    if (stored != current) {
      zk::PrintErr("ERROR:現在のパスワードが誤っています。");
      return zk::kExitFail;
    }

    // The new password, twice the same. An empty one (nothing typed, end of input) would leave
    // the account without a password and is refused like a mistyped one.
    const std::string fresh =
        zk::GivenOrPrompted(opts.positional[1], "新しいパスワードを入力してください");
    const std::string again =
        zk::GivenOrPrompted(opts.positional[2], "新しいパスワード(確認)を入力してください");
    if (fresh != again || fresh.empty()) {
      zk::PrintErr("ERROR:新しいパスワードが誤っています。");
      return zk::kExitFail;
    }

    // Connect and authenticate with the stored password. The new one must have a wire form
    // before anything is changed.
    if (!session.Login(stored)) return zk::kExitFail;
    std::string wire_fresh;
    if (!session.text().OutSecret(fresh, &wire_fresh)) {
      zk::PrintErr("ERROR:新しいパスワードが誤っています。");
      session.Shutdown();
      return zk::kExitFail;
    }

    // Work: the local file first, then the server.
    // A file without the user's row has nothing to change here; the server's row still changes.
    if (zk::SetUserPassword(session.env_file(), user, fresh) == zk::WriteStatus::kFailed) {
      zk::PrintErr("ERROR:パスワードの変更に失敗しました。(client)");
      session.Shutdown();
      return zk::kExitFail;
    }
    CORBA::String_var id = CORBA::string_dup(session.wire_user().c_str());
    CORBA::String_var word = CORBA::string_dup(wire_fresh.c_str());
    if (session.server()->zkChgUserPwd(id.in(), word.in()) != zk::kChangeDone) {
      zk::PrintErr("ERROR:パスワードの変更に失敗しました。(server)");
      session.Shutdown();
      return zk::kExitFail;
    }
    session.Shutdown();
    zk::PrintOut("パスワードを変更しました。");
    return zk::kExitOk;
  });
}
