// The administration tools as processes: exact console output, streams and exit statuses,
// passwords given with -a or typed at the prompt, and what each run leaves on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/startdir.h"
#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

const char kAdminPrompt[] = "管理者パスワードを入力してください\n\n";
const char kWrongAdmin[] = "ERROR:管理者パスワードが誤っています。\n";
const char kEnvOpts[] = "-e <環境設定ファイル名> -a <管理者パスワード> \n";
const char kUserFileMade[] = "ユーザ環境設定ファイルを作成しました。(./client.zkd)\n";
const char kUserAdded[] = "ユーザを追加しました。\n\n";

// The tools linked into one folder (their program directory), run from a separate starting
// folder, with the server file in the program directory.
class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool :
         {"zkenv", "zkuenv", "zkau", "zkdu", "zklu", "zkaj", "zkdj", "zklj", "zkapwd"}) {
      LinkProgram(bin_.path(), tool);
    }
    server_ = bin_ / "server.zkd";
  }

  RunResult Tool(const std::string& tool, std::vector<std::string> args,
                 const std::string& input = "") {
    args.insert(args.begin(), bin_ / tool);
    RunOptions options;
    options.cwd = start_.path();
    options.input = input;
    return test::Run(args, options);
  }

  void NewServerFile() {
    ASSERT_EQ(CreateServerEnvFile(server_, "nshost", "2809", "81", "64"), WriteStatus::kDone);
  }

  std::string Usage(const std::string& tool, const std::string& pieces) {
    return "usage: " + (bin_ / tool) + " " + pieces;
  }

  TempDir bin_;
  TempDir start_;
  std::string server_;
};

std::string HostName() {
  char buf[256] = {};
  gethostname(buf, sizeof(buf) - 1);
  return buf;
}

std::string Created(const std::string& file, const std::string& ns, const std::string& iiop,
                    const std::string& ssl, const std::string& unit) {
  return "サーバ環境設定ファイルを作成・設定しました。(" + file + ")\n" +
         "  NSサーバ名     :" + ns + "\n" + "  IIOPポート番号 :" + iiop + "\n" +
         "  SSLポート番号  :" + ssl + "\n" + "  ユニットサイズ :" + unit + " KB\n";
}

TEST_F(AdminTest, ZkenvCreatesWithDefaultsThenAsksBeforeReplacing) {
  RunResult r = Tool("zkenv", {});
  EXPECT_TRUE(Ended(r, 0, Created("./server.zkd", HostName(), "11108", "81", "1000"), ""));
  struct stat st;
  ASSERT_EQ(stat(server_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(AddUser(server_, "u1", "p1", "/srv/u1/"), WriteStatus::kDone);

  // A wrong password (or one cut at a blank) changes nothing, even with every option given.
  for (const std::string typed : {"wrong\n", "lantern shadow\n", ""}) {
    r = Tool("zkenv", {"-n", "h2", "-i", "1", "-s", "2", "-u", "512"}, typed);
    EXPECT_TRUE(Ended(r, 20, kAdminPrompt, kWrongAdmin));
    EXPECT_EQ(ReadEnvSetting(server_, "ns"), HostName());
    EXPECT_EQ(ReadUser(server_, "u1"), ReadStatus::kFound);
  }

  // Options may follow other arguments; the values shown are those of the new file.
  r = Tool("zkenv", {"stray", "-u", "512", "-n", "first", "-n", "ns2"}, "lanternshadow\n");
  EXPECT_TRUE(Ended(r, 0, kAdminPrompt + Created("./server.zkd", "ns2", "11108", "81", "512"), ""));
  EXPECT_EQ(ReadUser(server_, "u1"), ReadStatus::kMissing);
  EXPECT_EQ(ReadUserCount(server_), 0);
  EXPECT_EQ(ReadEnvSetting(server_, "adminpwd"), "lanternshadow");
}

TEST_F(AdminTest, UsageLinesChangeNothing) {
  NewServerFile();
  const std::string env = kEnvOpts;
  const struct {
    const char* tool;
    std::vector<std::string> args;
    std::string pieces;
  } cases[] = {
      {"zkenv",
       {"-x"},
       "-e <環境設定ファイル名> -n <NSサーバ名> -i <IIOPポート番号> "
       "-s <SSLポート番号> -u <転送ユニットサイズ(KB)> \n"},
      {"zkenv",
       {"-u"},
       "-e <環境設定ファイル名> -n <NSサーバ名> -i <IIOPポート番号> "
       "-s <SSLポート番号> -u <転送ユニットサイズ(KB)> \n"},
      {"zkau", {"u1", "pw"}, "<ユーザID> <パスワード> <格納ディレクトリ> " + env},
      {"zkau", {"u1", "pw", ""}, "<ユーザID> <パスワード> <格納ディレクトリ> " + env},
      {"zkau", {"u1", "pw", "d", "extra"}, "<ユーザID> <パスワード> <格納ディレクトリ> " + env},
      {"zkau", {"-q", "u1", "pw", "d"}, "<ユーザID> <パスワード> <格納ディレクトリ> " + env},
      {"zkaj",
       {"-a", "lanternshadow", "j1"},
       "<ジョブID> <実行プログラム> -o <実行パラメタ> -r <実行パスワード> " + env},
      {"zkdj", {"-a", "lanternshadow"}, "<ジョブID> " + env},
      {"zkuenv", {"-a", "lanternshadow"}, "<ユーザID> " + env},
      {"zkapwd",
       {"a", "b", "c", "d"},
       "<現在のパスワード> <新しいパスワード> <新しいパスワード(確認)> -e <環境設定ファイル名> \n"},
  };
  const std::string before = ReadFile(server_);
  for (const auto& c : cases) {
    RunResult r = Tool(c.tool, c.args);
    EXPECT_EQ(r.status, 20) << c.tool << " " << c.args[0];
    EXPECT_EQ(r.out, Usage(c.tool, c.pieces));
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(before, ReadFile(server_));
  EXPECT_FALSE(Exists(bin_ / "client.zkd"));
}

TEST_F(AdminTest, ZkenvRefusals) {
  // A user file named relative to the starting folder is refused before any prompt.
  ASSERT_EQ(CreateUserEnvFile(start_ / "client.zkd", "h", "1", "2", "3", "u", "p"),
            WriteStatus::kDone);
  RunResult r = Tool("zkenv", {"-e", "client.zkd"}, "lanternshadow\n");
  EXPECT_TRUE(
      Ended(r, 20, "",
            "ERROR:サーバ環境設定ファイルではありません。(" + (start_ / "client.zkd") + ")\n"));
  EXPECT_EQ(ReadEnvSetting(start_ / "client.zkd", "envtype"), "user");

  // A file that cannot be created.
  r = Tool("zkenv", {"-e", "no/such/dir/server.zkd"});
  EXPECT_EQ(r.status, 20);
  EXPECT_EQ(r.err,
            "ERROR:サーバ環境設定ファイルの作成・設定に失敗しました。(no/such/dir/server.zkd)\n");
}

TEST_F(AdminTest, OpeningRefusesMissingForeignAndWrongPassword) {
  RunResult r = Tool("zklu", {"-a", "lanternshadow"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:サーバ環境設定ファイルが存在しません。(./server.zkd)\n"));

  WriteFile(server_, "plain text, not a settings file\n");
  r = Tool("zkdj", {"j1"}, "lanternshadow\n");
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:サーバ環境設定ファイルではありません。(./server.zkd)\n"));
  EXPECT_EQ(ReadFile(server_), "plain text, not a settings file\n");

  ASSERT_EQ(unlink(server_.c_str()), 0);
  NewServerFile();
  r = Tool("zkaj", {"-a", "nope", "j1", "/bin/true"});
  EXPECT_TRUE(Ended(r, 20, "", kWrongAdmin));
  // An empty -a means "ask"; end of input gives an empty word, which never passes.
  r = Tool("zkaj", {"-a", "", "j1", "/bin/true"});
  EXPECT_TRUE(Ended(r, 20, kAdminPrompt, kWrongAdmin));
  EXPECT_EQ(ReadJobCount(server_), 0);
}

TEST_F(AdminTest, UserToolsAddListDelete) {
  NewServerFile();
  // Typed password, relative directory with a trailing backslash, options after the arguments.
  RunResult r = Tool("zkau", {"alice", "pw-alice", "store/alice\\"}, "lanternshadow\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kAdminPrompt) +
                       "ユーザ用格納ディレクトリを作成しました。(store/alice)\n" + kUserAdded +
                       kUserFileMade);
  EXPECT_EQ(r.err, "");
  struct stat st;
  ASSERT_EQ(stat((bin_ / "store/alice").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(StoredUser(server_, "alice").storage_dir, "store/alice\\");
  const std::string client = bin_ / "client.zkd";
  EXPECT_EQ(ReadEnvSetting(client, "envtype"), "user");
  EXPECT_EQ(ReadEnvSetting(client, "ns"), "nshost");
  EXPECT_EQ(ReadEnvSetting(client, "unit"), "64");
  EXPECT_EQ(ReadUserName(client, 1), "alice");
  EXPECT_EQ(StoredPassword(client, "alice"), "pw-alice");
  EXPECT_FALSE(Exists(start_ / "client.zkd"));

  // An existing directory is announced all the same; the second user's file replaces the first.
  const std::string existing = start_ / "bobdir";
  ASSERT_EQ(mkdir(existing.c_str(), 0755), 0);
  r = Tool("zkau", {"bob", "pw-bob", existing + "/", "-a", "lanternshadow"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ユーザ用格納ディレクトリを作成しました。(" + existing + ")\n" + kUserAdded +
                       kUserFileMade);
  EXPECT_EQ(ReadUserName(client, 1), "bob");
  EXPECT_EQ(ReadUser(client, "alice"), ReadStatus::kMissing);

  // The root is registered without being created.
  r = Tool("zkau", {"-a", "lanternshadow", "carol", "pw", "/"});
  EXPECT_TRUE(Ended(r, 0, std::string(kUserAdded) + kUserFileMade, ""));

  r = Tool("zklu", {"-a", "lanternshadow", "surplus"});
  EXPECT_TRUE(
      Ended(r, 0, "1: alice (store/alice\\)\n2: bob (" + existing + "/)\n3: carol (/)\n", ""));

  r = Tool("zkdu", {"bob", "-a", "lanternshadow"});
  EXPECT_TRUE(Ended(r, 0, "ユーザを削除しました。\n", ""));
  EXPECT_TRUE(FileSystem::Default()->IsDir(existing));
  r = Tool("zklu", {"-a", "lanternshadow"});
  EXPECT_EQ(r.out, "1: alice (store/alice\\)\n2: carol (/)\n");

  r = Tool("zkdu", {"-a", "lanternshadow", "bob"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:存在しないユーザIDです。(bob)\n"));
  EXPECT_EQ(ReadUserCount(server_), 2);
  EXPECT_EQ(ReadUserHighMark(server_), 3);

  r = Tool("zkau", {"-a", "lanternshadow", "alice", "x", "elsewhere"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:既に存在するユーザIDです。(alice)\n"));
  EXPECT_FALSE(Exists(bin_ / "elsewhere"));

  for (const char* u : {"alice", "carol"}) ASSERT_EQ(DeleteUser(server_, u), WriteStatus::kDone);
  r = Tool("zklu", {"-a", "lanternshadow"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ユーザが存在しません。\n"));
}

TEST_F(AdminTest, ZkauRefusalsLeaveNothingBehind) {
  NewServerFile();
  WriteFile(bin_ / "afile", "x");
  RunResult r;
  for (const std::string typed : {"afile", "afile\\", "afile/"}) {
    r = Tool("zkau", {"-a", "lanternshadow", "u1", "pw", typed});
    EXPECT_TRUE(Ended(r, 20, "", "ERROR:ファイル名が指定されています。(" + typed + ")\n"));
  }

  // A directory below a file cannot be created: warning on standard output, status 10.
  r = Tool("zkau", {"-a", "lanternshadow", "u1", "pw", "afile/sub/"});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.out,
            "ユーザ用格納ディレクトリを作成しました。(afile/sub)\n"
            "WARNING:ユーザ用格納ディレクトリの作成に失敗しました。(afile/sub)\n");
  EXPECT_EQ(r.err, "");

  EXPECT_EQ(ReadUserCount(server_), 0);
  EXPECT_EQ(ReadUserHighMark(server_), 0);
  EXPECT_FALSE(Exists(bin_ / "client.zkd"));
}

TEST_F(AdminTest, JobTools) {
  NewServerFile();
  RunResult r =
      Tool("zkaj", {"j1", "-o", "-x 1", "/opt/bin/tool", "-r", "run", "-a", "lanternshadow"});
  EXPECT_TRUE(Ended(r, 0, "ジョブを追加しました。\n\n", ""));
  r = Tool("zkaj", {"j2", "/bin/echo"}, "lanternshadow\n");
  EXPECT_TRUE(Ended(r, 0, std::string(kAdminPrompt) + "ジョブを追加しました。\n\n", ""));
  EXPECT_EQ(StoredJob(server_, "j2").params, "");

  r = Tool("zklj", {"-a", "lanternshadow"});
  EXPECT_TRUE(Ended(r, 0, "1: j1 = /opt/bin/tool -x 1 (*)\n2: j2 = /bin/echo \n", ""));

  r = Tool("zkaj", {"-a", "lanternshadow", "j1", "/bin/other"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:既に存在するジョブIDです。(j1)\n"));
  EXPECT_EQ(StoredJob(server_, "j1").program, "/opt/bin/tool");

  r = Tool("zkdj", {"-a", "lanternshadow", "j1"});
  EXPECT_TRUE(Ended(r, 0, "ジョブを削除しました。\n", ""));
  r = Tool("zklj", {"-a", "lanternshadow"});
  EXPECT_EQ(r.out, "1: j2 = /bin/echo \n");

  r = Tool("zkdj", {"-a", "lanternshadow", "j1"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:存在しないジョブIDです。(j1)\n"));
  EXPECT_EQ(ReadJobCount(server_), 1);

  ASSERT_EQ(DeleteJob(server_, "j2"), WriteStatus::kDone);
  r = Tool("zklj", {"-a", "lanternshadow"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:ジョブが存在しません。\n"));
}

TEST_F(AdminTest, ZkapwdChangesOnlyAfterEveryCheck) {
  NewServerFile();
  const char kCurrentPrompt[] = "現在のパスワードを入力してください\n\n";
  const char kNewPrompt[] = "新しいパスワードを入力してください\n\n";
  const char kAgainPrompt[] = "新しいパスワード(確認)を入力してください\n\n";
  const char kChanged[] = "管理者パスワードを変更しました。\n";
  const char kWrongNew[] = "ERROR:新しいパスワードが誤っています。\n";

  RunResult r = Tool("zkapwd", {"wrong"}, "n1\nn1\n");
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:現在のパスワードが誤っています。\n"));

  r = Tool("zkapwd", {"lanternshadow", "n1", "n2"});
  EXPECT_TRUE(Ended(r, 20, "", kWrongNew));
  // End of input at the prompts: an empty new password is never stored.
  r = Tool("zkapwd", {"lanternshadow"});
  EXPECT_TRUE(Ended(r, 20, std::string(kNewPrompt) + kAgainPrompt, kWrongNew));
  EXPECT_EQ(ReadEnvSetting(server_, "adminpwd"), "lanternshadow");

  r = Tool("zkapwd", {"lanternshadow"}, "neu\nneu\n");
  EXPECT_TRUE(Ended(r, 0, std::string(kNewPrompt) + kAgainPrompt + kChanged, ""));
  EXPECT_EQ(ReadEnvSetting(server_, "adminpwd"), "neu");

  r = Tool("zkapwd", {}, "neu\nfinal\nfinal\n");
  EXPECT_TRUE(Ended(r, 0, std::string(kCurrentPrompt) + kNewPrompt + kAgainPrompt + kChanged, ""));

  r = Tool("zkau", {"-a", "lanternshadow", "u1", "pw", "d1"});
  EXPECT_TRUE(Ended(r, 20, "", kWrongAdmin));
  r = Tool("zkau", {"-a", "final", "u1", "pw", "d1"});
  EXPECT_EQ(r.status, 0);
}

TEST_F(AdminTest, ZkuenvRewritesUserFileFromServerFile) {
  NewServerFile();
  ASSERT_EQ(AddUser(server_, "ユーザ一", "old", "/srv/u/"), WriteStatus::kDone);
  ASSERT_EQ(SetUserPassword(server_, "ユーザ一", "changed"), WriteStatus::kDone);
  ASSERT_EQ(UpdateEnvSetting(server_, "ns", "newhost", "", ""), WriteStatus::kDone);
  const std::string client = bin_ / "client.zkd";

  RunResult r = Tool("zkuenv", {"-a", "wrong", "ユーザ一"});
  EXPECT_TRUE(Ended(r, 20, "", kWrongAdmin));
  EXPECT_FALSE(Exists(client));

  r = Tool("zkuenv", {"-a", "lanternshadow", "nobody"});
  EXPECT_TRUE(Ended(r, 20, "", "ERROR:存在しないユーザIDです。(nobody)\n"));
  EXPECT_FALSE(Exists(client));

  r = Tool("zkuenv", {"ユーザ一"}, "lanternshadow\n");
  EXPECT_TRUE(Ended(r, 0, std::string(kAdminPrompt) + kUserFileMade, ""));
  EXPECT_EQ(StoredPassword(client, "ユーザ一"), "changed");
  EXPECT_EQ(ReadEnvSetting(client, "ns"), "newhost");
  EXPECT_EQ(ReadEnvSetting(client, "iiop"), "2809");
  EXPECT_EQ(ReadUserCount(server_), 1);
}

TEST_F(AdminTest, NothingIsStoredInPlainText) {
  RunResult r = Tool("zkenv", {"-n", "plainhostname", "-i", "24680"});
  ASSERT_EQ(r.status, 0);
  r = Tool("zkau", {"-a", "lanternshadow", "plainuserid", "plainpassword", "plaindirectory"});
  ASSERT_EQ(r.status, 0);
  r = Tool("zkaj", {"-a", "lanternshadow", "-o", "plainparams", "plainjob", "plainprogram"});
  ASSERT_EQ(r.status, 0);
  for (const std::string& file : {server_, bin_ / "client.zkd"}) {
    const std::string bytes = ReadFile(file);
    ASSERT_FALSE(bytes.empty());
    for (const char* plain :
         {"plainhostname", "24680", "plainuserid", "plainpassword", "plaindirectory", "plainjob",
          "plainprogram", "plainparams", "lanternshadow", "env_ns", "env_adminpwd", "usr_", "uid_",
          "maxusers"}) {
      EXPECT_EQ(bytes.find(plain), std::string::npos) << file << ": " << plain;
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace zk
