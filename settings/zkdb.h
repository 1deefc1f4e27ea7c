// The settings store: environment files (SQLite databases holding one scrambled key/value
// table `zkenv`), whole-file creation and the registry of users and jobs.
//
// Every operation takes the environment file's path first and plain UTF-8 texts; scrambling
// happens inside. No handle is kept between calls: each call opens the file, runs its
// statements and closes it. The one exception is UserReader, for a long-running reader of users
// (the server), which keeps the file open and still sees every change at once. A read of a row says
// whether it found the row, found none, or could not read the file (ReadStatus); a write says
// whether it wrote, found nothing to change, or failed (WriteStatus):
//
//   UserRow user;
//   if (ReadUser(file, id, &user) == ReadStatus::kMissing) ...   // not registered
//   if (DeleteUser(file, id) != WriteStatus::kDone) ...          // not deleted
#ifndef ZK_SETTINGS_ZKDB_H_
#define ZK_SETTINGS_ZKDB_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zk {

// How long an operation waits for a lock that another process holds, unless it says otherwise.
constexpr int kDefaultBusyTimeoutMs = 5000;

// Scrambling of stored ids and values (pure functions).
std::string ScrambleText(const std::string& text);
std::string UnscrambleText(const std::string& text);
// A random run of 1 to 15 letters "A".."Y", stored in columns a row does not need.
std::string MakeFillerText();

// The outcome of a read.
enum class ReadStatus {
  kFound,    // the row is there and was read
  kMissing,  // the file has no such row (or no table)
  kFailed,   // the file cannot be opened or read (missing, not a database, locked past the wait)
};

// The outcome of a write. Anything but kDone leaves the file as it was.
enum class WriteStatus {
  kDone,    // written
  kNoRow,   // the row to change or delete is not there
  kFailed,  // the file cannot be opened, read or written, or an addition's id is taken
};

// Generic rows.
// The three unscrambled values of row `id` (NULL columns read as empty) in *values when found;
// on kFailed the cause in *error.
ReadStatus ReadEnvRow(const std::string& file, const std::string& id,
                      std::array<std::string, 3>* values, std::string* error = nullptr,
                      int busy_timeout_ms = kDefaultBusyTimeoutMs);
// Rewrites all three values of an existing row (empty values become filler).
WriteStatus UpdateEnvRow(const std::string& file, const std::string& id, const std::string& v1,
                         const std::string& v2, const std::string& v3);

// Settings: the rows "env_" + name.
// The first value of setting `name`; empty when it is unset or the file cannot be read, which
// every caller takes alike: the setting is not there (a file whose "envtype" reads empty is of
// no kind).
std::string ReadEnvSetting(const std::string& file, const std::string& name);
WriteStatus UpdateEnvSetting(const std::string& file, const std::string& name,
                             const std::string& v1, const std::string& v2, const std::string& v3);

// Whole-file creation: replaces any `zkenv` table in one transaction; the file is owner-only
// (0600). On failure a file that the call created is removed again.
WriteStatus CreateServerEnvFile(const std::string& file, const std::string& ns,
                                const std::string& iiop, const std::string& ssl,
                                const std::string& unit);
WriteStatus CreateUserEnvFile(const std::string& file, const std::string& ns,
                              const std::string& iiop, const std::string& ssl,
                              const std::string& unit, const std::string& user_id,
                              const std::string& password);

// Users: the rows "usr_" + user id, numbered by "uid_" + n. AddUser / AddJob and DeleteUser /
// DeleteJob change the counters and rows together or not at all.
struct UserRow {
  std::string user_id;
  std::string password;
  std::string storage_dir;  // as registered (zkau keeps the trailing separator typed)
};
// The user's row in *row (when given and found).
ReadStatus ReadUser(const std::string& file, const std::string& user_id, UserRow* row = nullptr,
                    std::string* error = nullptr, int busy_timeout_ms = kDefaultBusyTimeoutMs);
// The user id registered under number `n`; empty when none is (or the file cannot be read).
std::string ReadUserName(const std::string& file, int n);
// Rewrites the user's password; kNoRow when the user has no row.
WriteStatus SetUserPassword(const std::string& file, const std::string& user_id,
                            const std::string& new_password);
// Counters; 0 when unset or unreadable.
int ReadUserCount(const std::string& file);
int ReadUserHighMark(const std::string& file);
// kFailed also when the id is registered already.
WriteStatus AddUser(const std::string& file, const std::string& user_id,
                    const std::string& password, const std::string& dir);
// kNoRow when the id is not registered. The user's storage limit goes with the user.
WriteStatus DeleteUser(const std::string& file, const std::string& user_id);

// Storage limits: the row "qta_" + user id, v1 the limit in bytes (decimal, above 0), v2 and v3
// filler. A user without the row has no limit; no other row or reader changes with it.
// The limit in *bytes (0 for none) when the file can be read: kFound or kMissing. A stored text
// that is not a decimal number above 0 that fits in 64 bits fails the read (kFailed) rather than
// pass for no limit.
ReadStatus ReadUserQuota(const std::string& file, const std::string& user_id, int64_t* bytes);
// Sets the registered user's limit to `bytes` (above 0), or removes it (0), in one transaction
// with the check that the user is registered: kNoRow when not; kFailed for a negative `bytes`.
WriteStatus SetUserQuota(const std::string& file, const std::string& user_id, int64_t bytes);
// The stored text of a limit as bytes: false unless it is a decimal number above 0 without
// leading zeros that fits in 64 bits.
bool ParseStoredQuota(const std::string& text, int64_t* bytes);

// Reads user rows like ReadUser, through a connection and a prepared statement that it keeps
// between reads, for a process that reads users many times (the server checks a password on
// every login). Every read sees the file as it is at that moment, as a fresh open would:
//   - a change written by another connection (an added or deleted user, a new password, a table
//     dropped and made again) is seen by the next read, through SQLite's own check of the file's
//     change counter at the start of each read;
//   - a file whose identity, size, modification or status-change time differs from the one the
//     connection was opened on (replaced by rename, rewritten, its mode changed) is opened anew;
//   - a file that cannot be read (missing, not a database, locked past the wait, no longer
//     permitted) fails the read, and the next read opens it anew: a failure is never answered
//     from what was read before.
// Safe for concurrent use: reads take turns on the one connection.
class UserReader {
 public:
  explicit UserReader(const std::string& file, int busy_timeout_ms = kDefaultBusyTimeoutMs);
  ~UserReader();
  UserReader(const UserReader&) = delete;
  UserReader& operator=(const UserReader&) = delete;

  const std::string& file() const;
  // As ReadUser(file(), user_id, row, error, busy_timeout_ms).
  ReadStatus Read(const std::string& user_id, UserRow* row = nullptr, std::string* error = nullptr);
  // As ReadUserQuota(file(), user_id, bytes), through the same connection.
  ReadStatus ReadQuota(const std::string& user_id, int64_t* bytes, std::string* error = nullptr);

 private:
  // Row `id` read as a fresh open would read it.
  ReadStatus ReadValues(const std::string& id, std::array<std::string, 3>* values,
                        std::string* error);

  struct Kept;
  std::unique_ptr<Kept> kept_;
};

// Jobs: the rows "job_" + job id, numbered by "jid_" + n; as for users.
struct JobRow {
  std::string program;
  std::string params;
  std::string run_password;  // empty: none
};
ReadStatus ReadJob(const std::string& file, const std::string& job_id, JobRow* row = nullptr);
std::string ReadJobName(const std::string& file, int n);
int ReadJobCount(const std::string& file);
int ReadJobHighMark(const std::string& file);
WriteStatus AddJob(const std::string& file, const std::string& job_id, const std::string& program,
                   const std::string& params, const std::string& run_password);
WriteStatus DeleteJob(const std::string& file, const std::string& job_id);

// The registered users (jobs) in number order: numbers 1 .. high mark, gaps left by deletions
// skipped.
std::vector<std::string> RegisteredUsers(const std::string& file);
std::vector<std::string> RegisteredJobs(const std::string& file);

}  // namespace zk

#endif  // ZK_SETTINGS_ZKDB_H_
