// The client tools' third place for client.zkd: the user's settings folder ($XDG_CONFIG_HOME/zk,
// by default ~/.config/zk), searched after the starting folder and the program's folder, with
// client.conf read beside the file found there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

class SettingsFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(fixture_.EnableTls(&why)) << why;  // the server speaks TLS only
    client_ = fixture_.AddUser("u1", "pw1");
    fixture_.Start();
    WriteFile(fixture_.storage_dir("u1") + "/stored.txt", "x");
    mkdir(elsewhere().c_str(), 0700);
    mkdir(home().c_str(), 0700);
  }

  std::string elsewhere() const { return fixture_.dir() + "/elsewhere"; }
  std::string home() const { return fixture_.dir() + "/home"; }

  // Moves the user's client.zkd and client.conf into `folder`.
  void MoveSettingsTo(const std::string& folder) {
    ASSERT_EQ(0, system(("mkdir -p '" + folder + "'").c_str()));
    for (const char* name : {"/client.zkd", "/client.conf"}) {
      ASSERT_EQ(0, rename((client_ + name).c_str(), (folder + name).c_str())) << name;
    }
  }

  // zkls from a folder that holds no settings, with the given environment.
  RunResult List(const std::vector<std::string>& env, const std::vector<std::string>& args = {}) {
    RunOptions options;
    options.cwd = elsewhere();
    options.env = env;
    std::vector<std::string> argv = {Program("zkls"), "-p", "pw1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Run(argv, options);
  }

  ServerFixture fixture_;
  std::string client_;
};

TEST_F(SettingsFolderTest, FoundInXdgConfigHomeWithItsClientConf) {
  MoveSettingsTo(home() + "/conf/zk");
  // The listing works only over TLS, so the client.conf beside the file found was read.
  RunResult r = List({"XDG_CONFIG_HOME=" + home() + "/conf", "HOME=/nonexistent"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("stored.txt")) << r.out;

  // A relative name given with -e is looked for there as well.
  ASSERT_EQ(
      0, rename((home() + "/conf/zk/client.zkd").c_str(), (home() + "/conf/zk/other.zkd").c_str()));
  r = List({"XDG_CONFIG_HOME=" + home() + "/conf"}, {"-e", "other.zkd"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("stored.txt")) << r.out;
}

TEST_F(SettingsFolderTest, DefaultFolderUnderHome) {
  MoveSettingsTo(home() + "/.config/zk");
  RunResult r = List({"HOME=" + home(), "XDG_CONFIG_HOME="});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("stored.txt")) << r.out;
}

TEST_F(SettingsFolderTest, TheStartingFolderComesFirst) {
  // Both folders hold settings; the settings folder's names a user the server does not know,
  // so a login that succeeds read the starting folder's.
  for (const char* name : {"/client.zkd", "/client.conf"}) {
    WriteFile(elsewhere() + name, ReadFile(client_ + name));
  }
  MoveSettingsTo(home() + "/.config/zk");
  const std::string& server = fixture_.server_env();
  ASSERT_EQ(WriteStatus::kDone,
            CreateUserEnvFile(home() + "/.config/zk/client.zkd", ReadEnvSetting(server, "ns"),
                              ReadEnvSetting(server, "iiop"), ReadEnvSetting(server, "ssl"), "1000",
                              "stranger", "pw1"));
  RunResult r = List({"HOME=" + home()});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("stored.txt")) << r.out;
  // Without the starting folder's copy the settings folder's is read, and refused by the server.
  unlink((elsewhere() + "/client.zkd").c_str());
  r = List({"HOME=" + home()});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ユーザ認証に失敗しました。\n"));
}

TEST_F(SettingsFolderTest, MissingEverywhereOrAbsoluteKeepsTheMessage) {
  MoveSettingsTo(home() + "/.config/zk");
  const std::string env = "HOME=" + fixture_.dir() + "/nobody";
  EXPECT_TRUE(
      Ended(List({env}), 20, "", "ERROR:ユーザ環境設定ファイルが存在しません。(./client.zkd)\n"));
  // An absolute name is never looked for in the settings folder.
  EXPECT_TRUE(Ended(List({"HOME=" + home()}, {"-e", "/nonexistent/client.zkd"}), 20, "",
                    "ERROR:ユーザ環境設定ファイルが存在しません。(/nonexistent/client.zkd)\n"));
}

}  // namespace
}  // namespace test
}  // namespace zk
