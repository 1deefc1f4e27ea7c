// The settings store's scrambling, and what the administration tools cannot show: a read-only
// file is never reported as written, two processes adding at once keep the counters right, and a
// reader that keeps the file open sees every change and fails as a fresh read fails.
#include "settings/zkdb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zk {
namespace {

TEST(ScrambleTest, RoundTripKeyPeriodAndDroppedZeroByte) {
  // "env_ns" shifted down by the first six key digits 5, 2, 8, 3, 0, 4; high bytes wrap.
  EXPECT_EQ("`ln\\no", ScrambleText("env_ns"));
  EXPECT_EQ("env_ns", UnscrambleText("`ln\\no"));
  EXPECT_EQ("\xDE", ScrambleText("\xE3"));
  std::string all;
  for (int round = 0; round < 3; ++round) {
    for (int b = 10; b < 256; ++b) all.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(all, UnscrambleText(ScrambleText(all)));

  // The key repeats every twenty bytes, and its digits differ within a period.
  std::string s = ScrambleText(std::string(45, 'm'));
  ASSERT_EQ(45u, s.size());
  for (size_t i = 20; i < s.size(); ++i) EXPECT_EQ(s[i - 20], s[i]) << i;
  EXPECT_EQ(10u, std::set<char>(s.begin(), s.begin() + 20).size());

  // A byte that meets its own key digit becomes zero and vanishes; later bytes keep their digits.
  EXPECT_EQ("?", ScrambleText(std::string("\x05") + "A"));
  EXPECT_EQ("`n?", ScrambleText("e\x02vB"));
}

class ZkdbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zkdb_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&pattern[0]));
    dir_ = pattern;
    server_ = dir_ + "/server.zkd";
    ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(server_, "nshost", "11108", "81", "1000"));
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str())); }

  // Starts `body` in a child process (as an unprivileged user when asked and the test runs as
  // root); Succeeded tells whether it returned true.
  static pid_t Child(bool unprivileged, const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
      _exit(body() ? 0 : 1);
    }
    return pid;
  }
  static bool Succeeded(pid_t pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  static std::string PasswordOf(const std::string& file, const std::string& user) {
    UserRow row;
    ReadUser(file, user, &row);
    return row.password;
  }

  static std::string ReadAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void WriteAll(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }

  std::string dir_;
  std::string server_;
};

TEST_F(ZkdbTest, ReadOnlyFileIsReadButNeverReportedAsWritten) {
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u1", "pw", "/s/"));
  ASSERT_EQ(0, chmod(server_.c_str(), 0444));
  ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
  const WriteStatus kFailed = WriteStatus::kFailed;
  EXPECT_TRUE(Succeeded(Child(true, [&] {
    return ReadEnvSetting(server_, "ns") == "nshost" &&
           ReadUser(server_, "u1") == ReadStatus::kFound &&
           UpdateEnvRow(server_, "env_ns", "x", "", "") == kFailed &&
           SetUserPassword(server_, "u1", "new") == kFailed &&
           AddUser(server_, "u2", "p", "d") == kFailed && DeleteUser(server_, "u1") == kFailed &&
           CreateServerEnvFile(server_, "h", "1", "2", "3") == kFailed &&
           CreateServerEnvFile(dir_ + "/new.zkd", "h", "1", "2", "3") == kFailed;
  })));
  EXPECT_EQ("pw", PasswordOf(server_, "u1"));
  EXPECT_EQ(1, ReadUserCount(server_));
  EXPECT_NE(0, access((dir_ + "/new.zkd").c_str(), F_OK));
}

TEST_F(ZkdbTest, ConcurrentAdditionsKeepCountersRight) {
  const int kPerProcess = 30;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(Child(false, [&] {
      for (int i = 0; i < kPerProcess; ++i) {
        std::string u = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (AddUser(server_, u, "pw", "/s/" + u + "/") != WriteStatus::kDone) return false;
        if (AddJob(server_, u, "/bin/true", "", "") != WriteStatus::kDone) return false;
      }
      return true;
    }));
  }
  for (pid_t pid : children) EXPECT_TRUE(Succeeded(pid));
  EXPECT_EQ(2 * kPerProcess, ReadUserCount(server_));
  EXPECT_EQ(2 * kPerProcess, ReadUserHighMark(server_));
  EXPECT_EQ(2 * kPerProcess, ReadJobCount(server_));
  EXPECT_EQ(2 * kPerProcess, ReadJobHighMark(server_));
  std::set<std::string> names;
  for (int n = 1; n <= 2 * kPerProcess; ++n) names.insert(ReadUserName(server_, n));
  EXPECT_EQ(2u * kPerProcess, names.size());
  EXPECT_EQ(0u, names.count(""));
}

// Reads tell a missing row from a file that cannot be read, so that nothing unreadable is taken
// for an empty value or a free id; writes tell "nothing to change" from a failure; and a password
// change never rewrites a row it could not read.
TEST_F(ZkdbTest, ReadsAndWritesTellMissingRowsFromUnreadableFiles) {
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u1", "pw", "/s/u1/"));
  UserRow row;
  std::string error;
  ASSERT_EQ(ReadStatus::kFound, ReadUser(server_, "u1", &row, &error));
  EXPECT_EQ("u1", row.user_id);
  EXPECT_EQ("pw", row.password);
  EXPECT_EQ("/s/u1/", row.storage_dir);
  EXPECT_EQ(ReadStatus::kMissing, ReadUser(server_, "nobody", &row, &error));
  EXPECT_EQ(ReadStatus::kFailed, ReadUser(dir_ + "/none.zkd", "u1", &row, &error));
  EXPECT_NE("", error);

  // Another process holds the file locked: the read waits its own timeout, then fails.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(server_.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  auto started = std::chrono::steady_clock::now();
  error.clear();
  EXPECT_EQ(ReadStatus::kFailed, ReadUser(server_, "u1", &row, &error, 200));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  EXPECT_NE(std::string::npos, error.find("locked")) << error;
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  // Not a database at all.
  const std::string junk = dir_ + "/junk.zkd";
  std::ofstream(junk) << std::string(4096, 'x');
  EXPECT_EQ(ReadStatus::kFailed, ReadUser(junk, "u1", &row, &error));
  EXPECT_EQ(ReadStatus::kFailed, ReadJob(junk, "j1"));
  EXPECT_EQ(WriteStatus::kFailed, SetUserPassword(junk, "u1", "new"));
  EXPECT_EQ(WriteStatus::kFailed, DeleteUser(junk, "u1"));

  // A database without the table has no rows.
  const std::string empty = dir_ + "/empty.zkd";
  ASSERT_EQ(SQLITE_OK, sqlite3_open(empty.c_str(), &db));
  sqlite3_close(db);
  std::array<std::string, 3> values;
  EXPECT_EQ(ReadStatus::kMissing, ReadEnvRow(empty, "usr_u1", &values, &error));
  EXPECT_EQ(WriteStatus::kNoRow, UpdateEnvRow(empty, "env_ns", "x", "", ""));

  // Changes of rows that are not there change nothing and are no failure; an id that is taken
  // is not added again.
  EXPECT_EQ(WriteStatus::kNoRow, SetUserPassword(server_, "nobody", "pw"));
  EXPECT_EQ(ReadStatus::kMissing, ReadUser(server_, "nobody", &row));
  EXPECT_EQ(WriteStatus::kNoRow, DeleteUser(server_, "nobody"));
  EXPECT_EQ(WriteStatus::kNoRow, UpdateEnvSetting(server_, "nosuch", "x", "", ""));
  EXPECT_EQ(WriteStatus::kFailed, AddUser(server_, "u1", "other", "/x/"));
  EXPECT_EQ(1, ReadUserCount(server_));
  EXPECT_EQ(WriteStatus::kDone, SetUserPassword(server_, "u1", "new"));
  ASSERT_EQ(ReadStatus::kFound, ReadUser(server_, "u1", &row));
  EXPECT_EQ("new", row.password);
  EXPECT_EQ("/s/u1/", row.storage_dir);
  EXPECT_EQ(WriteStatus::kDone, DeleteUser(server_, "u1"));
  EXPECT_EQ(0, ReadUserCount(server_));
}

// The kept reader answers what a fresh read answers after every kind of change: rows written by
// other connections, a table dropped and made again, a file replaced by rename, and a file
// rewritten in place with older content.
TEST_F(ZkdbTest, KeptReaderSeesEveryChangeAtOnce) {
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u1", "pw1", "/s/u1/"));
  UserReader reader(server_);
  UserRow row;
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u1", &row));
  EXPECT_EQ("pw1", row.password);
  EXPECT_EQ("/s/u1/", row.storage_dir);
  EXPECT_EQ(ReadStatus::kMissing, reader.Read("u2"));

  ASSERT_EQ(WriteStatus::kDone, SetUserPassword(server_, "u1", "pw1b"));
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u1", &row));
  EXPECT_EQ("pw1b", row.password);
  const std::string older = ReadAll(server_);
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u2", "pw2", "/s/u2/"));
  EXPECT_EQ(ReadStatus::kFound, reader.Read("u2"));
  ASSERT_EQ(WriteStatus::kDone, DeleteUser(server_, "u1"));
  EXPECT_EQ(ReadStatus::kMissing, reader.Read("u1"));

  // The same file given older content in place (a restored copy).
  WriteAll(server_, older);
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u1", &row));
  EXPECT_EQ("pw1b", row.password);
  EXPECT_EQ(ReadStatus::kMissing, reader.Read("u2"));

  // A new file over the old one: its table dropped and made again.
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(server_, "nshost", "11108", "81", "1000"));
  EXPECT_EQ(ReadStatus::kMissing, reader.Read("u1"));

  // Another file renamed over it (another inode).
  const std::string other = dir_ + "/other.zkd";
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(other, "nshost", "11108", "81", "1000"));
  ASSERT_EQ(WriteStatus::kDone, AddUser(other, "u3", "pw3", "/s/u3/"));
  ASSERT_EQ(0, rename(other.c_str(), server_.c_str()));
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u3", &row));
  EXPECT_EQ("pw3", row.password);
}

// Whatever makes a fresh read fail makes the kept reader fail too, never answering from what it
// read before; once the file is readable again, so is the reader.
TEST_F(ZkdbTest, KeptReaderFailsClosedAndRecovers) {
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u1", "pw1", "/s/u1/"));
  UserReader reader(server_, 200);
  std::string error;
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u1"));

  // Locked by another process: waits the reader's own timeout once, then fails.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(server_.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadStatus::kFailed, reader.Read("u1", nullptr, &error));
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_NE(std::string::npos, error.find("locked")) << error;
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(ReadStatus::kFound, reader.Read("u1"));

  // Not a database any more, in place.
  const std::string saved = ReadAll(server_);
  WriteAll(server_, std::string(saved.size(), 'x'));
  error.clear();
  EXPECT_EQ(ReadStatus::kFailed, reader.Read("u1", nullptr, &error));
  EXPECT_NE(std::string::npos, error.find("not a database")) << error;
  WriteAll(server_, saved);
  EXPECT_EQ(ReadStatus::kFound, reader.Read("u1"));

  // Gone, then back.
  const std::string aside = dir_ + "/aside.zkd";
  ASSERT_EQ(0, rename(server_.c_str(), aside.c_str()));
  EXPECT_EQ(ReadStatus::kFailed, reader.Read("u1"));
  EXPECT_NE(0, access(server_.c_str(), F_OK));  // the read created no file
  ASSERT_EQ(0, rename(aside.c_str(), server_.c_str()));
  EXPECT_EQ(ReadStatus::kFound, reader.Read("u1"));

  // An empty database has no table and so no rows, as for a fresh read.
  WriteAll(server_, "");
  EXPECT_EQ(ReadStatus::kMissing, reader.Read("u1"));
  WriteAll(server_, saved);

  // No longer permitted to its reader (an unprivileged one: root reads anything).
  ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
  ASSERT_EQ(0, chown(server_.c_str(), geteuid() == 0 ? 65534 : geteuid(), -1));
  EXPECT_TRUE(Succeeded(Child(true, [&] {
    UserReader own(server_, 200);
    bool readable = own.Read("u1") == ReadStatus::kFound;
    bool refused = chmod(server_.c_str(), 0) == 0 && own.Read("u1") == ReadStatus::kFailed;
    bool again = chmod(server_.c_str(), 0600) == 0 && own.Read("u1") == ReadStatus::kFound;
    return readable && refused && again;
  })));
}

// Many threads share one reader while another connection rewrites the row: every read finds the
// row with one of the passwords written, none fails or tears.
TEST_F(ZkdbTest, KeptReaderServesManyThreadsDuringWrites) {
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u1", "even", "/s/u1/"));
  UserReader reader(server_);
  std::atomic<bool> stop(false);
  std::atomic<int> reads(0), wrong(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        UserRow row;
        if (reader.Read("u1", &row) != ReadStatus::kFound ||
            (row.password != "even" && row.password != "odd") || row.storage_dir != "/s/u1/") {
          ++wrong;
        }
        ++reads;
      }
    });
  }
  int writes = 0;
  for (; writes < 40; ++writes) {
    if (SetUserPassword(server_, "u1", writes % 2 ? "odd" : "even") != WriteStatus::kDone) break;
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(40, writes);
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(reads.load(), 0);
  UserRow row;
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u1", &row));
  EXPECT_EQ("odd", row.password);
}

}  // namespace
}  // namespace zk

namespace zk {
namespace {

// The number of rows whose stored id is that of `id`, read past the settings store.
int StoredRows(const std::string& file, const std::string& id) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return -1;
  sqlite3_stmt* s = nullptr;
  int n = -1;
  const std::string key = ScrambleText(id);
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM zkenv WHERE id=?", -1, &s, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int(s, 0);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return n;
}

TEST(StoredQuotaTest, OnlyPlainDecimalsAboveZeroThatFit) {
  int64_t v = -1;
  EXPECT_TRUE(ParseStoredQuota("1", &v));
  EXPECT_EQ(1, v);
  EXPECT_TRUE(ParseStoredQuota("9223372036854775807", &v));
  EXPECT_EQ(INT64_MAX, v);
  for (const char* bad : {"", "0", "01", "-5", " 5", "5 ", "5K", "9223372036854775808",
                          "18446744073709551616", "99999999999999999999"}) {
    EXPECT_FALSE(ParseStoredQuota(bad, &v)) << bad;
  }
}

// A limit is one scrambled row of its own: set, changed and removed for a registered user only,
// seen at once by the kept reader, gone with its user, and invisible to every other reader.
TEST_F(ZkdbTest, QuotaRowLivesAndDiesWithItsUser) {
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u1", "pw1", "/s/u1/"));
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u2", "pw2", "/s/u2/"));
  int64_t bytes = -1;
  EXPECT_EQ(WriteStatus::kNoRow, SetUserQuota(server_, "nobody", 10));
  EXPECT_EQ(0, StoredRows(server_, "qta_nobody"));
  EXPECT_EQ(WriteStatus::kFailed, SetUserQuota(server_, "u1", -1));
  EXPECT_EQ(ReadStatus::kMissing, ReadUserQuota(server_, "u1", &bytes));
  EXPECT_EQ(0, bytes);

  UserReader reader(server_);
  ASSERT_EQ(ReadStatus::kMissing, reader.ReadQuota("u1", &bytes));
  ASSERT_EQ(WriteStatus::kDone, SetUserQuota(server_, "u1", 5LL << 30));
  EXPECT_EQ(ReadStatus::kFound, ReadUserQuota(server_, "u1", &bytes));
  EXPECT_EQ(5LL << 30, bytes);
  EXPECT_EQ(ReadStatus::kFound, reader.ReadQuota("u1", &bytes));
  EXPECT_EQ(5LL << 30, bytes);
  EXPECT_EQ(1, StoredRows(server_, "qta_u1"));
  std::array<std::string, 3> values;
  ASSERT_EQ(ReadStatus::kFound, ReadEnvRow(server_, "qta_u1", &values));
  EXPECT_EQ("5368709120", values[0]);
  EXPECT_NE("", values[1]);  // filler, as in every row's unused columns

  // The other readers and counters see nothing of it.
  EXPECT_EQ(2, ReadUserCount(server_));
  EXPECT_EQ((std::vector<std::string>{"u1", "u2"}), RegisteredUsers(server_));
  UserRow row;
  ASSERT_EQ(ReadStatus::kFound, reader.Read("u1", &row));
  EXPECT_EQ("pw1", row.password);
  EXPECT_EQ("/s/u1/", row.storage_dir);
  EXPECT_EQ(ReadStatus::kMissing, ReadUserQuota(server_, "u2", &bytes));

  // Changed in place, then removed.
  ASSERT_EQ(WriteStatus::kDone, SetUserQuota(server_, "u1", 1000));
  EXPECT_EQ(ReadStatus::kFound, reader.ReadQuota("u1", &bytes));
  EXPECT_EQ(1000, bytes);
  EXPECT_EQ(1, StoredRows(server_, "qta_u1"));
  ASSERT_EQ(WriteStatus::kDone, SetUserQuota(server_, "u1", 0));
  EXPECT_EQ(ReadStatus::kMissing, reader.ReadQuota("u1", &bytes));
  EXPECT_EQ(0, StoredRows(server_, "qta_u1"));

  // A stored text that is no limit is not taken for none.
  ASSERT_EQ(WriteStatus::kDone, SetUserQuota(server_, "u2", 7));
  ASSERT_EQ(WriteStatus::kDone, UpdateEnvRow(server_, "qta_u2", "7 bytes", "", ""));
  EXPECT_EQ(ReadStatus::kFailed, ReadUserQuota(server_, "u2", &bytes));
  EXPECT_EQ(ReadStatus::kFailed, reader.ReadQuota("u2", &bytes));

  // Deleting the user deletes the limit; the same id added again starts without one.
  ASSERT_EQ(WriteStatus::kDone, DeleteUser(server_, "u2"));
  EXPECT_EQ(0, StoredRows(server_, "qta_u2"));
  ASSERT_EQ(WriteStatus::kDone, AddUser(server_, "u2", "pw2", "/s/u2/"));
  EXPECT_EQ(ReadStatus::kMissing, ReadUserQuota(server_, "u2", &bytes));
  EXPECT_EQ(2, ReadUserCount(server_));
  EXPECT_EQ(3, ReadUserHighMark(server_));
}

}  // namespace
}  // namespace zk
