// The settings store: environment files (SQLite databases holding one scrambled key/value
// table `zkenv`), whole-file creation and the registry of users and jobs.
//
// Every operation takes the environment file's path first and plain UTF-8 texts; scrambling
// happens inside. No handle is kept between calls: each call opens the file, runs its
// statements and closes it. Truth values are -1 (true) and 0 (false).
#ifndef ZK_SETTINGS_ZKDB_H_
#define ZK_SETTINGS_ZKDB_H_

#include <array>
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

// Generic row access.
// Unscrambled value of column 1..3 of row `id`; empty when the file, the row or the column
// is missing, or `column` is out of range.
std::string ReadEnvValue(const std::string& file, const std::string& id, int column);
// The outcome of a read that tells a missing row from a file that could not be read.
enum class ReadStatus { kFound, kMissing, kFailed };
// The three unscrambled values of row `id`. kFound fills *values (NULL columns read as empty);
// kMissing when the file has no such row (or no table); kFailed when the file cannot be opened or
// read (missing, not a database, locked past `busy_timeout_ms`), with the cause in *error.
ReadStatus ReadEnvRow(const std::string& file, const std::string& id,
                      std::array<std::string, 3>* values, std::string* error = nullptr,
                      int busy_timeout_ms = kDefaultBusyTimeoutMs);
// Rewrites all three values of an existing row (empty values become filler). 0 when the file
// opened and the statement ran (also when no row or no table matched); -1 when the file cannot
// be opened or refuses the write (not a database, read-only, locked past the busy timeout).
int UpdateEnvRow(const std::string& file, const std::string& id, const std::string& v1,
                 const std::string& v2, const std::string& v3);
// The same for the row "env_" + name.
std::string ReadEnvSetting(const std::string& file, const std::string& name);
int UpdateEnvSetting(const std::string& file, const std::string& name, const std::string& v1,
                     const std::string& v2, const std::string& v3);

// Whole-file creation: replaces any `zkenv` table in one transaction; the file is owner-only
// (0600). 0 on success, -1 on failure (a file that the call created is then removed again).
int CreateServerEnvFile(const std::string& file, const std::string& ns, const std::string& iiop,
                        const std::string& ssl, const std::string& unit);
int CreateUserEnvFile(const std::string& file, const std::string& ns, const std::string& iiop,
                      const std::string& ssl, const std::string& unit, const std::string& user_id,
                      const std::string& password);

// Users. UserExists / JobExists answer -1 also when the file cannot be opened or read.
// AddUser / AddJob and DeleteUser / DeleteJob change the counters and rows together or not at
// all: an id that is already registered (add) or not registered (delete) gives -1 and no change.
int UserExists(const std::string& file, const std::string& user_id);
std::string ReadUserName(const std::string& file, int n);
std::string ReadUserPassword(const std::string& file, const std::string& user_id);
std::string ReadUserDir(const std::string& file, const std::string& user_id);
// The user's row "usr_" + user_id, read as ReadEnvRow reads it: values[1] is the password,
// values[2] the storage directory.
ReadStatus ReadUserRow(const std::string& file, const std::string& user_id,
                       std::array<std::string, 3>* values, std::string* error = nullptr,
                       int busy_timeout_ms = kDefaultBusyTimeoutMs);
// 0 when the row was rewritten with the new password, or when the user has no row (nothing
// changes); -1 when the file cannot be opened, read or written.
int SetUserPassword(const std::string& file, const std::string& user_id,
                    const std::string& new_password);
int ReadUserCount(const std::string& file);
int ReadUserHighMark(const std::string& file);
int AddUser(const std::string& file, const std::string& user_id, const std::string& password,
            const std::string& dir);
int DeleteUser(const std::string& file, const std::string& user_id);

// Jobs.
int JobExists(const std::string& file, const std::string& job_id);
std::string ReadJobName(const std::string& file, int n);
std::string ReadJobProgram(const std::string& file, const std::string& job_id);
std::string ReadJobParams(const std::string& file, const std::string& job_id);
std::string ReadJobPassword(const std::string& file, const std::string& job_id);
int ReadJobCount(const std::string& file);
int ReadJobHighMark(const std::string& file);
int AddJob(const std::string& file, const std::string& job_id, const std::string& program,
           const std::string& params, const std::string& run_password);
int DeleteJob(const std::string& file, const std::string& job_id);

// The registered users (jobs) in number order: numbers 1 .. high mark, gaps left by deletions
// skipped.
std::vector<std::string> RegisteredUsers(const std::string& file);
std::vector<std::string> RegisteredJobs(const std::string& file);

}  // namespace zk

#endif  // ZK_SETTINGS_ZKDB_H_
