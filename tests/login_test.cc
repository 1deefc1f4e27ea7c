// Logins as an attacker tries them: a registry that cannot be read, users without a usable
// password, an empty new password, and password guessing over one or many connections. Every
// refused login is one line of the server's log naming the user id and the caller. And logins as
// the administrator expects them: a change to the registry counts from the next login on.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "settings/zkdb.h"
#include "tests/direct_client.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kUnreadable[] = "WARNING:サーバ環境設定ファイルを読めないため、認証を拒否しました。(";
const char kWrongPassword[] = "WARNING:認証に失敗しました。パスワードが違います。(";
const char kNoPassword[] = "WARNING:認証に失敗しました。パスワードが登録されていません。(";
const char kNoUser[] = "WARNING:認証に失敗しました。ユーザが登録されていません。(";
const char kHeldBack[] = "秒は認証を受け付けません。(";

class LoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = fixture_.AddUser("u1", "pw1");
    WriteFile(fixture_.storage_dir("u1") + "/secret.txt", "secret");
    fixture_.Start();
  }
  // Lines of the server's log that begin with `start` (a WARNING text) and contain `part`.
  int Lines(const std::string& start, const std::string& part = "") const {
    std::istringstream log(ReadFile(fixture_.dir() + "/zksvr.log"));
    int n = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.rfind(start, 0) == 0 && line.find(part) != std::string::npos) ++n;
    }
    return n;
  }

  ServerFixture fixture_;
  std::string client_;
};

// The caller as the log names it, after the user id.
const char kCaller[] = " giop:tcp:";

TEST_F(LoginTest, LockedOrUnreadableRegistryNeverAuthenticates) {
  const std::string env = fixture_.server_env();
  DirectClient c(fixture_.ns_port(), 1);
  ASSERT_EQ(-1, c->zkExistsUser("u1", "pw1"));
  {
    // Another process holds the registry locked for longer than a login waits.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(env.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN EXCLUSIVE; SELECT count(*) FROM zkenv;", nullptr,
                                      nullptr, nullptr));
    EXPECT_EQ(0, c->zkExistsUser("u1", ""));
    EXPECT_EQ(0, c->zkExistsUser("u1", "pw1"));
    // The refusal also ended the login that the connection had.
    EXPECT_EQ(0, c->zkExistsFile("u1", "secret.txt"));
    // zkcp with Enter at the password prompt gets nothing.
    RunResult r = fixture_.RunClient("u1", "zkcp", {"::secret.txt", "dl"}, "\n");
    EXPECT_EQ(20, r.status) << r.out << r.err;
    EXPECT_FALSE(Exists(client_ + "/dl/secret.txt"));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_EQ(3, Lines(kUnreadable, env + ": database is locked; u1" + kCaller));

  // A registry that is not a database at all.
  const std::string saved = ReadFile(env);
  WriteFile(env, std::string(4096, 'x'));
  EXPECT_EQ(0, c->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(1, Lines(kUnreadable, env + ": file is not a database; u1" + kCaller));

  // Readable again: the same connection logs in.
  WriteFile(env, saved);
  EXPECT_EQ(-1, c->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(1, c->zkExistsFile("u1", "secret.txt"));
}

TEST_F(LoginTest, MissingUsersAndEmptyStoredPasswordsNeverAuthenticate) {
  // A row written with an empty password (the registry stores it as given).
  ASSERT_EQ(WriteStatus::kDone,
            AddUser(fixture_.server_env(), "blank", "", fixture_.storage_dir("u1") + "/"));
  ASSERT_EQ("", StoredPassword(fixture_.server_env(), "blank"));
  DirectClient c(fixture_.ns_port(), 1);
  EXPECT_EQ(0, c->zkExistsUser("blank", ""));
  EXPECT_EQ(0, c->zkExistsFile("blank", "secret.txt"));
  EXPECT_EQ(0, c->zkExistsUser("ghost", ""));
  EXPECT_EQ(0, c->zkExistsUser("u1", "PW1"));
  EXPECT_EQ(1, Lines(kNoPassword, std::string("blank") + kCaller));
  EXPECT_EQ(1, Lines(kNoUser, std::string("ghost") + kCaller));
  EXPECT_EQ(1, Lines(kWrongPassword, std::string("u1") + kCaller));

  // A user id cannot write lines of its own into the log.
  EXPECT_EQ(0, c->zkExistsUser("evil\nWARNING:forged", ""));
  EXPECT_EQ(1, Lines(kNoUser, "evil?WARNING:forged" + std::string(kCaller)));
  EXPECT_EQ(0, Lines("WARNING:forged"));
}

TEST_F(LoginTest, EmptyNewPasswordIsRefusedAndTheOldOneKept) {
  DirectClient c(fixture_.ns_port(), 1);
  ASSERT_EQ(-1, c->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(-1, c->zkChgUserPwd("u1", ""));
  EXPECT_EQ("pw1", StoredPassword(fixture_.server_env(), "u1"));
  DirectClient again(fixture_.ns_port(), 2);
  EXPECT_EQ(-1, again->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(0, again->zkChgUserPwd("u1", "pw2"));
  EXPECT_EQ("pw2", StoredPassword(fixture_.server_env(), "u1"));
}

TEST_F(LoginTest, ElevenWrongGuessesThenTheRightPasswordAfterTheDelay) {
  DirectClient c(fixture_.ns_port(), 1);
  for (int i = 0; i < 11; ++i)
    EXPECT_EQ(0, c->zkExistsUser("u1", ("guess" + std::to_string(i)).c_str()));
  int tries = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        ++tries;
        return c->zkExistsUser("u1", "pw1") == -1;
      },
      10));
  EXPECT_EQ(1, c->zkExistsFile("u1", "secret.txt"));

  // Every refused attempt is one line; the first five guesses were checked, most later ones were
  // held back unchecked (at least one second passes before a sixth is checked).
  const int checked = Lines(kWrongPassword, std::string("u1") + kCaller);
  const int held = Lines("WARNING:", kHeldBack + std::string("u1") + kCaller);
  EXPECT_GE(checked, 5);
  EXPECT_LT(checked, 11);
  EXPECT_GE(tries, 2);  // the right password was held back at first, too
  EXPECT_EQ(11 + tries - 1, checked + held);
}

TEST_F(LoginTest, ManyConnectionsGuessNoFasterThanOne) {
  const int kConnections = 4;
  std::atomic<bool> stop(false);
  std::atomic<int> attempts(0);
  std::vector<std::thread> guessers;
  for (int i = 0; i < kConnections; ++i) {
    guessers.emplace_back([&, i] {
      DirectClient c(fixture_.ns_port(), static_cast<CORBA::ULong>(i + 1));
      while (!stop) {
        if (c->zkExistsUser("u1", "wrong") != 0) return;
        ++attempts;
      }
    });
  }
  auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  for (std::thread& t : guessers) t.join();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const int checked = Lines(kWrongPassword, std::string("u1") + kCaller);
  EXPECT_GT(attempts, 100);          // many guesses were made ...
  EXPECT_LT(checked, 10 * seconds);  // ... few were checked
  EXPECT_EQ(attempts, Lines("WARNING:", std::string("u1") + kCaller));
}

// The server keeps the registry open between logins; whatever the administration tools, zkpwd or
// a new file change while it runs counts from the very next login on the same connection.
TEST_F(LoginTest, RegistryChangesWhileTheServerRunsCountAtTheNextLogin) {
  const std::string env = fixture_.server_env();
  for (const char* tool : {"zkau", "zkdu", "zkenv"}) LinkProgram(fixture_.dir(), tool);
  // Each tool with the administrator password typed at its prompt.
  auto admin = [&](const std::string& tool, std::vector<std::string> args) {
    args.insert(args.begin(), {fixture_.dir() + "/" + tool, "-e", env});
    RunOptions options;
    options.cwd = fixture_.dir();
    options.input = "lanternshadow\n";
    return test::Run(args, options);
  };
  DirectClient c(fixture_.ns_port(), 1);
  ASSERT_EQ(-1, c->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(0, c->zkExistsUser("u2", "pw2"));

  RunResult r = admin("zkau", {"u2", "pw2", fixture_.storage_dir("u2") + "/"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(-1, c->zkExistsUser("u2", "pw2"));

  r = fixture_.RunClient("u1", "zkpwd", {"pw1", "pw1b", "pw1b"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(0, c->zkExistsUser("u1", "pw1"));
  EXPECT_EQ(-1, c->zkExistsUser("u1", "pw1b"));

  r = admin("zkdu", {"u2"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(0, c->zkExistsUser("u2", "pw2"));

  // A new server.zkd from zkenv registers nobody.
  r = admin("zkenv", {"-n", "127.0.0.1", "-i", std::to_string(fixture_.ns_port()), "-s", "0"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(0, c->zkExistsUser("u1", "pw1b"));

  // A file put in its place by rename.
  const std::string next = fixture_.dir() + "/next.zkd";
  ASSERT_EQ(
      WriteStatus::kDone,
      CreateServerEnvFile(next, "127.0.0.1", std::to_string(fixture_.ns_port()), "0", "1000"));
  ASSERT_EQ(WriteStatus::kDone, AddUser(next, "u1", "pw1c", fixture_.storage_dir("u1") + "/"));
  ASSERT_EQ(0, rename(next.c_str(), env.c_str()));
  EXPECT_EQ(-1, c->zkExistsUser("u1", "pw1c"));
  EXPECT_EQ(1, c->zkExistsFile("u1", "secret.txt"));
}

}  // namespace
}  // namespace test
}  // namespace zk
