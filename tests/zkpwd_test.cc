// zkpwd against a real server: the change in both places, its prompts, the local checks that
// come before any connection, and the client session's failures (settings, naming, stale
// binding, refused authentication).
#include <gtest/gtest.h>

#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kDone[] = "パスワードを変更しました。\n";
const char kPromptCurrent[] = "現在のパスワードを入力してください\n\n";
const char kPromptNew[] = "新しいパスワードを入力してください\n\n";
const char kPromptAgain[] = "新しいパスワード(確認)を入力してください\n\n";
const char kWrongCurrent[] = "ERROR:現在のパスワードが誤っています。\n";
const char kWrongNew[] = "ERROR:新しいパスワードが誤っています。\n";
const char kAuthFailed[] = "ERROR:ユーザ認証に失敗しました。\n";

class ZkpwdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.AddUser("u1", "Secret1");
    fixture_.Start();
  }
  std::string LocalPassword() {
    return StoredPassword(fixture_.client_dir("u1") + "/client.zkd", "u1");
  }
  std::string ServerPassword() { return StoredPassword(fixture_.server_env(), "u1"); }
  RunResult Zkpwd(const std::vector<std::string>& args, const std::string& input = "") {
    return fixture_.RunClient("u1", "zkpwd", args, input);
  }

  ServerFixture fixture_;
};

TEST_F(ZkpwdTest, ChangesBothPlacesFromArguments) {
  RunResult r = Zkpwd({"Secret1", "New pass", "New pass"});
  EXPECT_TRUE(Ended(r, 0, kDone, ""));
  EXPECT_EQ("New pass", LocalPassword());
  EXPECT_EQ("New pass", ServerPassword());
}

TEST_F(ZkpwdTest, PromptsOnlyForWhatIsMissing) {
  // Leading blanks are skipped at a prompt and one word is taken.
  RunResult r = Zkpwd({"Secret1"}, "   Two\n Two \n");
  EXPECT_TRUE(Ended(r, 0, std::string(kPromptNew) + kPromptAgain + kDone, ""));
  EXPECT_EQ("Two", ServerPassword());

  // Empty arguments count as missing; all three prompts in order.
  r = Zkpwd({"", "", "", "-e", "client.zkd"}, "Two\nThree\nThree\n");
  EXPECT_TRUE(Ended(r, 0, std::string(kPromptCurrent) + kPromptNew + kPromptAgain + kDone, ""));
  EXPECT_EQ("Three", LocalPassword());
  EXPECT_EQ("Three", ServerPassword());
}

TEST_F(ZkpwdTest, LocalChecksComeFirst) {
  // Nothing answers any more: these runs must not need the network.
  fixture_.StopServer();
  fixture_.StopNaming();

  RunResult r = Zkpwd({"secret1", "x", "x"});
  EXPECT_TRUE(Ended(r, 20, "", kWrongCurrent));

  // Two words on one line: the second is the confirmation, and it differs.
  r = Zkpwd({"Secret1"}, "New1 New2\n");
  EXPECT_TRUE(Ended(r, 20, std::string(kPromptNew) + kPromptAgain, kWrongNew));

  // Nothing typed at all (end of input) does not blank the password.
  r = Zkpwd({"Secret1"});
  EXPECT_TRUE(Ended(r, 20, std::string(kPromptNew) + kPromptAgain, kWrongNew));
  EXPECT_EQ("Secret1", LocalPassword());
}

TEST_F(ZkpwdTest, CurrentPasswordIsCheckedAgainstTheLocalFile) {
  // The server already has the new password, the local file the old one.
  ASSERT_EQ(WriteStatus::kDone, SetUserPassword(fixture_.server_env(), "u1", "Server only"));
  RunResult r = Zkpwd({"Server only", "n", "n"});
  EXPECT_TRUE(Ended(r, 20, "", kWrongCurrent));

  // The local password is right, but the server refuses it: nothing is written anywhere.
  r = Zkpwd({"Secret1", "n", "n"});
  EXPECT_TRUE(Ended(r, 20, "", kAuthFailed));
  EXPECT_EQ("Secret1", LocalPassword());
  EXPECT_EQ("Server only", ServerPassword());
}

TEST_F(ZkpwdTest, CommandLineAndFileErrors) {
  const std::string usage = "usage: " + Program("zkpwd") +
                            " <現在のパスワード> <新しいパスワード> <新しいパスワード(確認)> "
                            "-e <環境設定ファイル名> \n";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"a", "b", "c", "d"}, {"-p", "x"}, {"a", "-e"}}) {
    RunResult r = Zkpwd(args);
    EXPECT_TRUE(Ended(r, 20, usage, ""));
  }

  RunResult r = Zkpwd({"-e", "nothing.zkd", "Secret1", "a", "a"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ユーザ環境設定ファイルが存在しません。(nothing.zkd)\n"));

  // The server's file is not a user's; the name is reported absolute.
  r = Zkpwd({"-e", fixture_.server_env(), "Secret1", "a", "a"});
  EXPECT_TRUE(Ended(
      r, 20, "", "ERROR:ユーザ環境設定ファイルではありません。(" + fixture_.server_env() + ")\n"));

  // Found in the starting directory: reported by its absolute name. An empty ssl port is
  // refused although the client does not use it.
  const std::string file = fixture_.client_dir("u1") + "/client.zkd";
  ASSERT_EQ(WriteStatus::kDone,
            CreateUserEnvFile(file, "127.0.0.1", std::to_string(fixture_.ns_port()), "", "1000",
                              "u1", "Secret1"));
  r = Zkpwd({"Secret1", "a", "a"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:サーバ接続情報が設定されていません。(" + file + ")\n"));
  EXPECT_EQ("Secret1", ServerPassword());
}

TEST_F(ZkpwdTest, NamingAndServerFailuresAreCorbaExceptions) {
  // A stopped server leaves its binding behind: the first call fails.
  fixture_.StopServer();
  RunResult r = Zkpwd({"Secret1", "a", "a"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ(0u, r.err.find("CORBA Exception: CORBA::TRANSIENT(")) << r.err;
  EXPECT_EQ("Secret1", LocalPassword());

  // Nothing bound under the name.
  fixture_.StopNaming();
  {
    ServerFixture other;
    std::string why;
    ASSERT_TRUE(other.StartNaming(&why)) << why;
    other.AddUser("u2", "p2");
    r = other.RunClient("u2", "zkpwd", {"p2", "a", "a"});
    EXPECT_EQ(20, r.status);
    EXPECT_EQ("CORBA Exception: User exception: IDL:omg.org/CosNaming/NamingContext/NotFound:1.0\n",
              r.err);

    // Something that is not a ZKmd under the name (here the naming context itself).
    CORBA::Object_var obj = TestOrb()->string_to_object(
        ("corbaloc:iiop:127.0.0.1:" + std::to_string(other.ns_port()) + "/NameService").c_str());
    CosNaming::NamingContext_var nc = CosNaming::NamingContext::_narrow(obj.in());
    nc->rebind(ServerName(), nc.in());
    r = other.RunClient("u2", "zkpwd", {"p2", "a", "a"});
    EXPECT_TRUE(Ended(r, 20, "", "orb->destroy error\n"));
    EXPECT_EQ("p2", StoredPassword(other.client_dir("u2") + "/client.zkd", "u2"));
  }

  // No naming service at all.
  r = Zkpwd({"Secret1", "a", "a"});
  EXPECT_EQ(20, r.status);
  EXPECT_EQ("CORBA Exception: CORBA::TRANSIENT(TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO)\n",
            r.err);
  EXPECT_EQ("", r.out);
}

}  // namespace
}  // namespace test
}  // namespace zk
