// Storage limits end to end: zkquota's console texts, streams and statuses, the limit it leaves
// in server.zkd for a running server, the server refusing an upload that would pass the limit
// (announced by the file's size, or at the chunk that passes it) with nothing of the file landed,
// another user copying on, and zkdu taking the limit with the user.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "settings/zkdb.h"
#include "tests/server_fixture.h"

namespace zk {
namespace test {
namespace {

// zkcp's line for an upload that the storage limit refused.
const char kLimitReached[] = "ERROR:格納ディレクトリの容量制限に達したため、アップロードできませんでした。(";

const char kAdmin[] = "lanternshadow";
const char kUsage[] =
    " <ユーザID> <容量制限(バイト)> -e <環境設定ファイル名> -a <管理者パスワード> \n";

std::string Count(int n) {
  std::string num = std::to_string(n);
  return std::string(18 - num.size(), ' ') + num + " ";
}
std::string Copied(int n) { return Count(n) + "個のファイルをコピーしました。\n"; }

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) & 0xff);
  return s;
}

std::string Shown(const std::string& user, const std::string& limit, const std::string& use) {
  return "  ユーザID :" + user + "\n  容量制限 :" + limit + "\n  使用量   :" + use + " バイト\n";
}

// The names in `dir`, the temporary files of uploads (their names begin with byte 0xFF) shown as
// "(temp)".
std::vector<std::string> Names(const std::string& dir) {
  std::vector<DirEntry> found;
  FileSystem::Default()->Search(dir, "*", &found);
  std::vector<std::string> names;
  for (const DirEntry& e : found) names.push_back(e.name[0] == '\xFF' ? "(temp)" : e.name);
  return names;
}

// A server with a unit of 1 KB and the users u1 and u2; zkquota, zkdu and zklu linked beside
// server.zkd, so that they find it in their program directory.
class QuotaTest : public ::testing::Test {
 protected:
  QuotaTest() : fx_("1") {
    fx_.AddUser("u1", "pw1");
    fx_.AddUser("u2", "pw2");
    for (const char* tool : {"zkquota", "zkdu", "zklu"}) LinkProgram(fx_.dir(), tool);
  }

  RunResult Admin(const std::string& tool, std::vector<std::string> args,
                  const std::string& input = "") {
    args.insert(args.begin(), fx_.dir() + "/" + tool);
    RunOptions options;
    options.cwd = start_.path();
    options.input = input;
    return test::Run(args, options);
  }
  RunResult Quota(std::vector<std::string> args) {
    args.insert(args.begin(), {"-a", kAdmin});
    return Admin("zkquota", args);
  }
  RunResult Zkcp(const std::string& user, std::vector<std::string> args) {
    args.push_back("-p");
    args.push_back(user == "u1" ? "pw1" : "pw2");
    return fx_.RunClient(user, "zkcp", args);
  }
  int64_t StoredLimit(const std::string& user) {
    int64_t bytes = -1;
    EXPECT_NE(ReadStatus::kFailed, ReadUserQuota(fx_.server_env(), user, &bytes));
    return bytes;
  }

  ServerFixture fx_;
  TempDir start_;
};

TEST_F(QuotaTest, ZkquotaSetsShowsAndRemovesTheLimitAndRefusesWhatIsNoLimit) {
  const std::string usage = "usage: " + fx_.dir() + "/zkquota" + kUsage;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"u1", "1K", "2K"}, {"", "1K"}, {"-x", "u1"}, {"u1", "-a"}}) {
    EXPECT_TRUE(Ended(Admin("zkquota", args), 20, usage, "")) << args.size();
  }
  // A limit that is no number is refused before the password is asked for.
  for (const char* bad : {"1.5G", "10KB", "1P", "8388608T", "9223372036854775808"}) {
    EXPECT_TRUE(Ended(Admin("zkquota", {"u1", bad}), 20, "",
                      std::string("ERROR:容量制限の指定が誤っています。(") + bad + ")\n"))
        << bad;
  }
  EXPECT_TRUE(Ended(Admin("zkquota", {"-a", "wrong", "u1", "1K"}), 20, "",
                    "ERROR:管理者パスワードが誤っています。\n"));
  EXPECT_TRUE(Ended(Quota({"nobody", "1K"}), 20, "", "ERROR:存在しないユーザIDです。(nobody)\n"));
  EXPECT_TRUE(Ended(Quota({"nobody"}), 20, "", "ERROR:存在しないユーザIDです。(nobody)\n"));
  EXPECT_EQ(0, StoredLimit("u1"));

  // Shown: no limit yet, and every byte below the directory (a temporary file of an upload too).
  WriteFile(fx_.storage_dir("u1") + "/a", std::string(1000, 'a'));
  FileSystem::Default()->MakeDirs(fx_.storage_dir("u1") + "/d/e");
  WriteFile(fx_.storage_dir("u1") + "/d/e/\xFFzk-upload.x.1", std::string(234, 't'));
  EXPECT_TRUE(Ended(Quota({"u1"}), 0, Shown("u1", "なし", "1,234"), ""));

  // Set (the password typed at the prompt), shown, changed, removed.
  EXPECT_TRUE(Ended(Admin("zkquota", {"u1", "10k"}, "lanternshadow\n"), 0,
                    "管理者パスワードを入力してください\n\n容量制限を設定しました。(u1)\n"
                    "  容量制限 :10,240 バイト\n",
                    ""));
  EXPECT_EQ(10240, StoredLimit("u1"));
  EXPECT_TRUE(Ended(Quota({"u1"}), 0, Shown("u1", "10,240 バイト", "1,234"), ""));
  EXPECT_TRUE(Ended(Quota({"u1", "3T"}), 0,
                    "容量制限を設定しました。(u1)\n  容量制限 :3,298,534,883,328 バイト\n", ""));
  EXPECT_EQ(3LL << 40, StoredLimit("u1"));
  EXPECT_EQ(0, StoredLimit("u2"));
  // The other tools print as before.
  EXPECT_TRUE(Ended(
      Admin("zklu", {"-a", kAdmin}), 0,
      "1: u1 (" + fx_.storage_dir("u1") + "/)\n2: u2 (" + fx_.storage_dir("u2") + "/)\n", ""));
  EXPECT_TRUE(Ended(Quota({"u1", "0"}), 0, "容量制限を解除しました。(u1)\n  容量制限 :なし\n", ""));
  EXPECT_EQ(0, StoredLimit("u1"));

  // zkdu takes the limit with the user.
  ASSERT_EQ(0, Quota({"u2", "5M"}).status);
  EXPECT_EQ(5LL << 20, StoredLimit("u2"));
  EXPECT_TRUE(Ended(Admin("zkdu", {"-a", kAdmin, "u2"}), 0, "ユーザを削除しました。\n", ""));
  EXPECT_EQ(0, StoredLimit("u2"));
  EXPECT_TRUE(Ended(Quota({"u2"}), 20, "", "ERROR:存在しないユーザIDです。(u2)\n"));
}

TEST_F(QuotaTest, AnUploadPastTheLimitLandsNothingAndOtherUsersCopyOn) {
  WriteFile(fx_.storage_dir("u1") + "/old", std::string(1000, 'o'));
  ASSERT_EQ(0, Quota({"u1", "10K"}).status);  // before the server starts: read per upload
  fx_.Start();

  // 1000 + 3000 + 3000 fit in 10,240; c.bin's 4000 would not: refused at its first chunk.
  const std::string src = fx_.client_dir("u1") + "/up";
  FileSystem::Default()->MakeDirs(src);
  WriteFile(src + "/a.bin", Bytes(3000, 1));
  WriteFile(src + "/b.bin", Bytes(3000, 2));
  WriteFile(src + "/c.bin", Bytes(4000, 3));
  RunResult r = Zkcp("u1", {"up/", "::up"});
  EXPECT_TRUE(Ended(r, 20, src + "/a.bin\n" + src + "/b.bin\n" + src + "/c.bin\n" + Copied(2),
                    std::string(kLimitReached) + "c.bin)\n"));
  EXPECT_EQ((std::vector<std::string>{"a.bin", "b.bin"}), Names(fx_.storage_dir("u1") + "/up"));
  EXPECT_EQ(Bytes(3000, 2), ReadFile(fx_.storage_dir("u1") + "/up/b.bin"));

  // A file whose size the upload cannot announce (2 GiB and more) is refused at the chunk that
  // passes the limit, the fourth of 1 KB: it never appears, its temporary file is gone, and the
  // rest of it is not sent.
  const std::string huge = fx_.client_dir("u1") + "/huge.bin";
  WriteFile(huge, "");
  ASSERT_EQ(0, truncate(huge.c_str(), (2LL << 30) + 1));
  r = Zkcp("u1", {"huge.bin", "::"});
  EXPECT_TRUE(
      Ended(r, 20, huge + "\n" + Copied(0), std::string(kLimitReached) + "huge.bin)\n"));
  EXPECT_EQ((std::vector<std::string>{"old", "up"}), Names(fx_.storage_dir("u1")));
  const std::string log = fx_.ServerLog();
  EXPECT_NE(
      std::string::npos,
      log.find("WARNING:容量制限を超えるため、アップロードを拒否しました。(up/c.bin; 10240; u1 "))
      << log;
  EXPECT_NE(
      std::string::npos,
      log.find("WARNING:容量制限を超えるため、アップロードを拒否しました。(huge.bin; 10240; u1 "))
      << log;
  EXPECT_TRUE(Ended(Quota({"u1"}), 0, Shown("u1", "10,240 バイト", "7,000"), ""));

  // Another user, without a limit, copies on.
  WriteFile(fx_.client_dir("u2") + "/big.bin", Bytes(20000, 4));
  r = Zkcp("u2", {"big.bin", "::"});
  EXPECT_TRUE(Ended(r, 0, fx_.client_dir("u2") + "/big.bin\n" + Copied(1), ""));
  EXPECT_EQ(Bytes(20000, 4), ReadFile(fx_.storage_dir("u2") + "/big.bin"));

  // A higher limit counts from the next upload on, with no restart.
  ASSERT_EQ(0, Quota({"u1", "11K"}).status);
  r = Zkcp("u1", {"up/c.bin", "::up"});
  EXPECT_TRUE(Ended(r, 0, src + "/c.bin\n" + Copied(1), ""));
  EXPECT_EQ(Bytes(4000, 3), ReadFile(fx_.storage_dir("u1") + "/up/c.bin"));
}

}  // namespace
}  // namespace test
}  // namespace zk
