// Tests of the settings store: scrambling, file creation, row access and the registry, on real
// SQLite files in a temporary folder.
#include "settings/zkdb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace zk {
namespace {

class ZkdbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zkdb_test.XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    server_ = dir_ + "/server.zkd";
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  // Every (id, v1, v2, v3) exactly as stored.
  std::vector<std::vector<std::string>> RawRows(const std::string& file) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(
        sqlite3_prepare_v2(db, "SELECT id, v1, v2, v3 FROM zkenv ORDER BY rowid", -1, &st, nullptr),
        SQLITE_OK);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < 4; ++c) {
        const unsigned char* p = sqlite3_column_text(st, c);
        row.push_back(p ? reinterpret_cast<const char*>(p) : "");
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
  }

  std::vector<std::string> PlainIds(const std::string& file) {
    std::vector<std::string> ids;
    for (const auto& row : RawRows(file)) ids.push_back(UnscrambleText(row[0]));
    return ids;
  }

  void NewServerFile() {
    ASSERT_EQ(CreateServerEnvFile(server_, "nshost", "11108", "81", "1000"), 0);
  }

  std::string dir_;
  std::string server_;
};

TEST(ScrambleTest, KnownValuesAndRoundTrip) {
  // "env_ns" shifted down by the first six key digits 5, 2, 8, 3, 0, 4.
  EXPECT_EQ(ScrambleText("env_ns"), "`ln\\no");
  EXPECT_EQ(UnscrambleText("`ln\\no"), "env_ns");
  EXPECT_EQ(ScrambleText(""), "");
  EXPECT_EQ(UnscrambleText(""), "");

  // Every byte from 10 up, at every key position, survives the round trip; high bytes wrap.
  std::string all;
  for (int round = 0; round < 3; ++round) {
    for (int b = 10; b < 256; ++b) all.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(ScrambleText(all).size(), all.size());
  EXPECT_EQ(UnscrambleText(ScrambleText(all)), all);
  EXPECT_EQ(ScrambleText("\xE3"), "\xDE");  // -29 - 5 as a byte
  EXPECT_EQ(UnscrambleText(ScrambleText("ユーザ一覧")), "ユーザ一覧");
}

TEST(ScrambleTest, KeyRepeatsEveryTwentyBytes) {
  std::string text(45, 'm');
  std::string s = ScrambleText(text);
  ASSERT_EQ(s.size(), 45u);
  for (size_t i = 20; i < s.size(); ++i) EXPECT_EQ(s[i], s[i - 20]) << i;
  // Within one period the digits differ, so the bytes are not all equal.
  EXPECT_EQ(std::set<char>(s.begin(), s.begin() + 20).size(), 10u);
}

TEST(ScrambleTest, ZeroByteIsDroppedAndPositionsGoOn) {
  // Byte 5 at position 1 meets key digit 5 and vanishes; "A" still takes the second digit (2).
  EXPECT_EQ(ScrambleText("\x05"
                         "A"),
            "?");
  // A dropped byte in the middle: the rest keeps its own digits.
  EXPECT_EQ(ScrambleText("e\x02vB"), std::string("`") + "n" + "?");
  EXPECT_NE(UnscrambleText(ScrambleText("\x05"
                                        "A")),
            "\x05"
            "A");
}

TEST(ScrambleTest, FillerIsOneToFifteenLettersAToY) {
  std::set<size_t> lengths;
  std::set<char> letters;
  for (int i = 0; i < 2000; ++i) {
    std::string f = MakeFillerText();
    ASSERT_GE(f.size(), 1u);
    ASSERT_LE(f.size(), 15u);
    lengths.insert(f.size());
    for (char c : f) {
      ASSERT_GE(c, 'A');
      ASSERT_LE(c, 'Y');
      letters.insert(c);
    }
  }
  EXPECT_EQ(lengths.size(), 15u);
  EXPECT_EQ(letters.size(), 25u);
}

TEST_F(ZkdbTest, ServerFileHoldsSettingsAndCountersScrambled) {
  NewServerFile();
  EXPECT_EQ(PlainIds(server_), (std::vector<std::string>{"env_envtype", "env_adminpwd", "env_ns",
                                                         "env_iiop", "env_ssl", "env_unit", "users",
                                                         "maxusers", "jobs", "maxjobs"}));
  EXPECT_EQ(ReadEnvSetting(server_, "envtype"), "server");
  EXPECT_EQ(ReadEnvSetting(server_, "adminpwd"), "lanternshadow");
  EXPECT_EQ(ReadEnvSetting(server_, "ns"), "nshost");
  EXPECT_EQ(ReadEnvSetting(server_, "iiop"), "11108");
  EXPECT_EQ(ReadEnvSetting(server_, "ssl"), "81");
  EXPECT_EQ(ReadEnvSetting(server_, "unit"), "1000");
  EXPECT_EQ(ReadUserCount(server_), 0);
  EXPECT_EQ(ReadJobHighMark(server_), 0);

  // Nothing is stored in plain text; the filler columns are scrambled letters.
  for (const auto& row : RawRows(server_)) {
    EXPECT_EQ(row[0], ScrambleText(UnscrambleText(row[0])));
    EXPECT_EQ(row[0].find("env_"), std::string::npos);
    EXPECT_NE(row[1], "lanternshadow");
    for (int c = 2; c < 4; ++c) {
      std::string filler = UnscrambleText(row[c]);
      EXPECT_TRUE(!filler.empty() && filler.size() <= 15 &&
                  filler.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXY") == std::string::npos)
          << filler;
    }
  }

  struct stat st;
  ASSERT_EQ(stat(server_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ZkdbTest, CreatingAgainDropsUsersAndJobs) {
  NewServerFile();
  ASSERT_EQ(AddUser(server_, "u1", "p1", "/srv/u1/"), 0);
  ASSERT_EQ(AddJob(server_, "j1", "/bin/true", "", ""), 0);
  chmod(server_.c_str(), 0644);
  ASSERT_EQ(CreateServerEnvFile(server_, "other", "1", "2", "3"), 0);
  EXPECT_EQ(PlainIds(server_).size(), 10u);
  EXPECT_EQ(ReadUserCount(server_), 0);
  EXPECT_EQ(ReadUserHighMark(server_), 0);
  EXPECT_EQ(ReadJobCount(server_), 0);
  EXPECT_EQ(UserExists(server_, "u1"), 0);
  EXPECT_EQ(ReadEnvSetting(server_, "ns"), "other");
  struct stat st;
  ASSERT_EQ(stat(server_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ZkdbTest, UserFileCarriesOneUserWithJapaneseId) {
  const std::string file = dir_ + "/client.zkd";
  const std::string uid = "利用者１";
  ASSERT_EQ(CreateUserEnvFile(file, "ホスト", "11108", "81", "512", uid, "pa ss"), 0);
  EXPECT_EQ(PlainIds(file),
            (std::vector<std::string>{"env_envtype", "env_adminpwd", "env_ns", "env_iiop",
                                      "env_ssl", "env_unit", "users", "uid_1", "usr_" + uid}));
  EXPECT_EQ(ReadEnvSetting(file, "envtype"), "user");
  EXPECT_EQ(ReadEnvSetting(file, "ns"), "ホスト");
  EXPECT_EQ(ReadUserName(file, 1), uid);
  EXPECT_EQ(ReadUserPassword(file, uid), "pa ss");
  EXPECT_EQ(UserExists(file, uid), -1);
  EXPECT_EQ(ReadUserCount(file), 1);
  EXPECT_EQ(ReadUserHighMark(file), 0);  // a user file has no high mark
}

TEST_F(ZkdbTest, RowAccess) {
  NewServerFile();
  EXPECT_EQ(ReadEnvValue(server_, "env_ns", 1), "nshost");
  EXPECT_EQ(ReadEnvValue(server_, "env_ns", 0), "");
  EXPECT_EQ(ReadEnvValue(server_, "env_ns", 4), "");
  EXPECT_EQ(ReadEnvValue(server_, "env_nothing", 1), "");

  // Empty values are replaced by filler; given values are stored as given.
  ASSERT_EQ(UpdateEnvRow(server_, "env_ns", "新ホスト", "", "x"), 0);
  EXPECT_EQ(ReadEnvSetting(server_, "ns"), "新ホスト");
  std::string v2 = ReadEnvValue(server_, "env_ns", 2);
  EXPECT_FALSE(v2.empty());
  EXPECT_EQ(v2.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXY"), std::string::npos);
  EXPECT_EQ(ReadEnvValue(server_, "env_ns", 3), "x");

  // Updating a row that does not exist changes nothing and is not an error.
  auto before = RawRows(server_);
  EXPECT_EQ(UpdateEnvRow(server_, "env_nothing", "a", "b", "c"), 0);
  EXPECT_EQ(RawRows(server_), before);

  ASSERT_EQ(UpdateEnvSetting(server_, "adminpwd", "secret", "", ""), 0);
  EXPECT_EQ(ReadEnvSetting(server_, "adminpwd"), "secret");
}

TEST_F(ZkdbTest, UsersGetNumbersThatAreNeverReused) {
  NewServerFile();
  for (const char* u : {"a", "b", "c"}) ASSERT_EQ(AddUser(server_, u, "pw", "/s/"), 0);
  EXPECT_EQ(ReadUserName(server_, 1), "a");
  EXPECT_EQ(ReadUserName(server_, 3), "c");
  EXPECT_EQ(ReadUserCount(server_), 3);
  EXPECT_EQ(ReadUserHighMark(server_), 3);

  ASSERT_EQ(DeleteUser(server_, "a"), 0);
  EXPECT_EQ(UserExists(server_, "a"), 0);
  EXPECT_EQ(ReadUserName(server_, 1), "");
  EXPECT_EQ(ReadUserName(server_, 2), "b");
  EXPECT_EQ(ReadUserCount(server_), 2);
  EXPECT_EQ(ReadUserHighMark(server_), 3);

  ASSERT_EQ(AddUser(server_, "d", "pw-d", "rel\\dir\\"), 0);
  EXPECT_EQ(ReadUserName(server_, 4), "d");
  EXPECT_EQ(ReadUserName(server_, 1), "");
  EXPECT_EQ(ReadUserHighMark(server_), 4);
  EXPECT_EQ(ReadUserPassword(server_, "d"), "pw-d");
  EXPECT_EQ(ReadUserDir(server_, "d"), "rel\\dir\\");

  // A refused addition or deletion leaves every row and counter as it was.
  auto before = RawRows(server_);
  EXPECT_EQ(AddUser(server_, "b", "x", "/y/"), -1);
  EXPECT_EQ(DeleteUser(server_, "zz"), -1);
  EXPECT_EQ(RawRows(server_), before);

  ASSERT_EQ(SetUserPassword(server_, "b", "new"), 0);
  EXPECT_EQ(ReadUserPassword(server_, "b"), "new");
  EXPECT_EQ(ReadUserDir(server_, "b"), "/s/");
}

TEST_F(ZkdbTest, JobsKeepEmptyValuesAndShareIdsWithUsers) {
  NewServerFile();
  ASSERT_EQ(AddJob(server_, "x", "/bin/echo", "", ""), 0);
  ASSERT_EQ(AddJob(server_, "j2", "/bin/tool", "-x 1", "run"), 0);
  ASSERT_EQ(AddUser(server_, "x", "pw", "/s/x/"), 0);
  EXPECT_EQ(JobExists(server_, "x"), -1);
  EXPECT_EQ(UserExists(server_, "x"), -1);
  EXPECT_EQ(JobExists(server_, "u"), 0);
  EXPECT_EQ(ReadJobParams(server_, "x"), "");
  EXPECT_EQ(ReadJobPassword(server_, "x"), "");
  EXPECT_EQ(ReadJobProgram(server_, "j2"), "/bin/tool");
  EXPECT_EQ(ReadJobParams(server_, "j2"), "-x 1");
  EXPECT_EQ(ReadJobPassword(server_, "j2"), "run");

  ASSERT_EQ(DeleteJob(server_, "x"), 0);
  EXPECT_EQ(JobExists(server_, "x"), 0);
  EXPECT_EQ(UserExists(server_, "x"), -1);
  EXPECT_EQ(ReadJobName(server_, 1), "");
  EXPECT_EQ(ReadJobName(server_, 2), "j2");
  EXPECT_EQ(ReadJobCount(server_), 1);
  EXPECT_EQ(ReadJobHighMark(server_), 2);
}

TEST_F(ZkdbTest, MissingFileIsNeverCreated) {
  const std::string missing = dir_ + "/none.zkd";
  EXPECT_EQ(ReadEnvSetting(missing, "ns"), "");
  EXPECT_EQ(ReadUserCount(missing), 0);
  EXPECT_EQ(UserExists(missing, "a"), -1);
  EXPECT_EQ(JobExists(missing, "a"), -1);
  EXPECT_EQ(UpdateEnvRow(missing, "env_ns", "a", "b", "c"), -1);
  EXPECT_EQ(SetUserPassword(missing, "a", "b"), -1);
  EXPECT_EQ(AddUser(missing, "a", "b", "c"), -1);
  EXPECT_EQ(DeleteJob(missing, "a"), -1);
  EXPECT_NE(access(missing.c_str(), F_OK), 0);

  EXPECT_EQ(CreateServerEnvFile(dir_ + "/no/such/dir/server.zkd", "h", "1", "2", "3"), -1);
  EXPECT_EQ(CreateServerEnvFile(dir_, "h", "1", "2", "3"), -1);
}

TEST_F(ZkdbTest, FileThatIsNotADatabaseIsRefusedAndKept) {
  const std::string text = "this is not an SQLite database, just some text in a file\n";
  {
    std::ofstream out(server_);
    for (int i = 0; i < 100; ++i) out << text;
  }
  EXPECT_EQ(ReadEnvSetting(server_, "envtype"), "");
  EXPECT_EQ(ReadUserCount(server_), 0);
  EXPECT_EQ(UserExists(server_, "a"), -1);
  EXPECT_EQ(UpdateEnvRow(server_, "env_ns", "a", "b", "c"), -1);
  EXPECT_EQ(AddUser(server_, "a", "b", "c"), -1);
  EXPECT_EQ(DeleteUser(server_, "a"), -1);
  EXPECT_EQ(CreateServerEnvFile(server_, "h", "1", "2", "3"), -1);
  std::ifstream in(server_);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first + "\n", text);
}

TEST_F(ZkdbTest, ReadOnlyFileIsReadButNeverReportedAsWritten) {
  NewServerFile();
  ASSERT_EQ(AddUser(server_, "u1", "pw", "/s/"), 0);
  ASSERT_EQ(chmod(server_.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  // Root may write anyway: check as an unprivileged user then.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    bool ok = ReadEnvSetting(server_, "ns") == "nshost" && UserExists(server_, "u1") == -1 &&
              UpdateEnvRow(server_, "env_ns", "x", "", "") == -1 &&
              SetUserPassword(server_, "u1", "new") == -1 &&
              AddUser(server_, "u2", "p", "d") == -1 && DeleteUser(server_, "u1") == -1 &&
              CreateServerEnvFile(server_, "h", "1", "2", "3") == -1 &&
              CreateServerEnvFile(dir_ + "/new.zkd", "h", "1", "2", "3") == -1;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadUserPassword(server_, "u1"), "pw");
  EXPECT_EQ(ReadUserCount(server_), 1);
  EXPECT_NE(access((dir_ + "/new.zkd").c_str(), F_OK), 0);
}

TEST_F(ZkdbTest, EmptyDatabaseWithoutTable) {
  { std::ofstream out(server_); }  // a zero-length file is an empty database
  EXPECT_EQ(ReadEnvSetting(server_, "ns"), "");
  EXPECT_EQ(UserExists(server_, "a"), 0);
  EXPECT_EQ(UpdateEnvRow(server_, "env_ns", "a", "b", "c"), 0);
  EXPECT_EQ(AddUser(server_, "a", "b", "c"), -1);
}

TEST_F(ZkdbTest, ConcurrentAdditionsKeepCountersRight) {
  NewServerFile();
  const int kPerProcess = 30;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        std::string u = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (AddUser(server_, u, "pw", "/s/" + u + "/") != 0) ++failures;
        if (AddJob(server_, u, "/bin/true", "", "") != 0) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(ReadUserCount(server_), 2 * kPerProcess);
  EXPECT_EQ(ReadUserHighMark(server_), 2 * kPerProcess);
  EXPECT_EQ(ReadJobCount(server_), 2 * kPerProcess);
  EXPECT_EQ(ReadJobHighMark(server_), 2 * kPerProcess);
  std::set<std::string> names;
  for (int n = 1; n <= 2 * kPerProcess; ++n) names.insert(ReadUserName(server_, n));
  EXPECT_EQ(names.size(), 2u * kPerProcess);
  EXPECT_EQ(names.count(""), 0u);
}

}  // namespace
}  // namespace zk
