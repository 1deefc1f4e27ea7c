// Environment files over SQLite: row access, whole-file creation and the registry of users and
// jobs. Every call opens its own connection and closes it before returning; only UserReader
// keeps one.
//
// Writes that touch more than one row (creation, adding and deleting users and jobs) run in one
// transaction, started with BEGIN IMMEDIATE so that the counters are read and written under the
// same write lock; a concurrent tool then waits (busy timeout) instead of losing its update.
#include "settings/zkdb.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "settings/zkdb_sqlite.h"

namespace zk {
namespace {

using sqlite::ColumnText;
using sqlite::Connection;
using sqlite::MissingTable;
using sqlite::ReadRow;
using sqlite::Statement;
using sqlite::kCreateTable;
using sqlite::kDeleteRow;
using sqlite::kInsertRow;
using sqlite::kSelectAll;
using sqlite::kSelectRow;
using sqlite::kUpdateRow;

// The first value of row `id`; empty when the row is missing or unreadable.
std::string FirstValue(sqlite3* db, const std::string& id) {
  std::array<std::string, 3> values;
  if (ReadRow(db, id, &values) != ReadStatus::kFound) return std::string();
  return values[0];
}

// A counter's text as a number: decimal digits after optional blanks and sign, 0 when empty or
// not a number, clamped to the int range.
int ToNumber(const std::string& text) {
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int ReadNumber(sqlite3* db, const std::string& id) { return ToNumber(FirstValue(db, id)); }

std::string Stored(const std::string& value) {
  return ScrambleText(value.empty() ? MakeFillerText() : value);
}

enum class Outcome { kDone, kNoRow, kNoTable, kFailed };

// Rewrites the three values of an existing row; empty values become fresh filler.
Outcome UpdateRow(sqlite3* db, const std::string& id, const std::string& v1, const std::string& v2,
                  const std::string& v3) {
  Statement s(db, kUpdateRow);
  if (!s.ok()) return MissingTable(s) ? Outcome::kNoTable : Outcome::kFailed;
  const std::string s1 = Stored(v1), s2 = Stored(v2), s3 = Stored(v3), key = ScrambleText(id);
  s.Bind({&s1, &s2, &s3, &key});
  if (s.Step() != SQLITE_DONE) return Outcome::kFailed;
  return sqlite3_changes(db) > 0 ? Outcome::kDone : Outcome::kNoRow;
}

// A counter row that is not there stays unwritten, as it always has; a missing table or a
// refused write fails the change.
bool CounterWritten(Outcome o) { return o == Outcome::kDone || o == Outcome::kNoRow; }

// Inserts one row with its values stored as given (empty stays empty). True on success.
bool InsertRow(Statement* s, const std::string& id, const std::string& v1, const std::string& v2,
               const std::string& v3) {
  const std::string k = ScrambleText(id), s1 = ScrambleText(v1), s2 = ScrambleText(v2),
                    s3 = ScrambleText(v3);
  s->Bind({&k, &s1, &s2, &s3});
  return s->Step() == SQLITE_DONE;
}

// Deletes row `id`; the number of rows removed, or -1 on failure.
int DeleteRow(sqlite3* db, const std::string& id) {
  Statement s(db, kDeleteRow);
  if (!s.ok()) return -1;
  const std::string key = ScrambleText(id);
  s.Bind({&key});
  if (s.Step() != SQLITE_DONE) return -1;
  return sqlite3_changes(db);
}

// Runs `work` (which returns a WriteStatus) inside BEGIN IMMEDIATE ... COMMIT; anything but
// kDone rolls back, so that nothing of the change is kept.
template <typename Work>
WriteStatus InTransaction(Connection* c, Work work) {
  if (!c->Exec("BEGIN IMMEDIATE")) return WriteStatus::kFailed;
  WriteStatus status = work();
  if (status == WriteStatus::kDone && !c->Exec("COMMIT")) status = WriteStatus::kFailed;
  if (status != WriteStatus::kDone) c->Exec("ROLLBACK");
  return status;
}

// The outcome of `work` that answers true or false.
WriteStatus DoneIf(bool ok) { return ok ? WriteStatus::kDone : WriteStatus::kFailed; }

// The names of one registry kind: counter rows, number rows and entry rows.
struct Registry {
  const char* count;  // "users"
  const char* high;   // "maxusers"
  const char* num;    // "uid_"
  const char* entry;  // "usr_"
  // The row that belongs to an entry and goes with it ("qta_", the user's storage limit); null
  // when none does.
  const char* belongs;
};
const Registry kUsers = {"users", "maxusers", "uid_", "usr_", "qta_"};
const Registry kJobs = {"jobs", "maxjobs", "jid_", "job_", nullptr};

WriteStatus AddEntry(const std::string& file, const Registry& r, const std::string& id,
                     const std::string& v1, const std::string& v2, const std::string& v3) {
  Connection c;
  if (!c.OpenExisting(file)) return WriteStatus::kFailed;
  return InTransaction(&c, [&] {
    int high = ReadNumber(c.get(), r.high);
    int count = ReadNumber(c.get(), r.count);
    if (high == INT_MAX || count == INT_MAX) return WriteStatus::kFailed;
    const std::string number = std::to_string(high + 1);
    if (!CounterWritten(UpdateRow(c.get(), r.high, number, "", "")) ||
        !CounterWritten(UpdateRow(c.get(), r.count, std::to_string(count + 1), "", ""))) {
      return WriteStatus::kFailed;
    }
    // A new entry starts without what belonged to an earlier one of the same id.
    if (r.belongs && DeleteRow(c.get(), r.belongs + id) < 0) return WriteStatus::kFailed;
    Statement ins(c.get(), kInsertRow);
    // An id that already has a row fails here, and nothing of the addition is kept.
    return DoneIf(ins.ok() && InsertRow(&ins, r.entry + id, v1, v2, v3) &&
                  InsertRow(&ins, r.num + number, id, MakeFillerText(), MakeFillerText()));
  });
}

// The smallest number n (1..high) whose number row names `id`; 0 when none does.
int FindNumber(sqlite3* db, const Registry& r, const std::string& id, int high) {
  // One pass over the table instead of one query per number: the result is the same.
  Statement s(db, kSelectAll);
  if (!s.ok()) return 0;
  const std::string prefix = r.num;
  int found = 0;
  while (s.Step() == SQLITE_ROW) {
    std::string row_id = UnscrambleText(ColumnText(s.get(), 0));
    if (row_id.compare(0, prefix.size(), prefix) != 0) continue;
    std::string digits = row_id.substr(prefix.size());
    if (digits.empty() || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
      continue;
    }
    int n = std::atoi(digits.c_str());
    if (n > high || (found != 0 && n >= found)) continue;
    if (UnscrambleText(ColumnText(s.get(), 1)) == id) found = n;
  }
  return found;
}

WriteStatus DeleteEntry(const std::string& file, const Registry& r, const std::string& id) {
  Connection c;
  if (!c.OpenExisting(file)) return WriteStatus::kFailed;
  return InTransaction(&c, [&] {
    int count = ReadNumber(c.get(), r.count);
    int high = ReadNumber(c.get(), r.high);
    int n = FindNumber(c.get(), r, id, high);
    // Deleting an id that has no row would only miscount: it changes nothing.
    int deleted = DeleteRow(c.get(), r.entry + id);
    if (deleted == 0) return WriteStatus::kNoRow;
    if (deleted != 1) return WriteStatus::kFailed;
    if (n > 0 && DeleteRow(c.get(), r.num + std::to_string(n)) < 0) return WriteStatus::kFailed;
    if (r.belongs && DeleteRow(c.get(), r.belongs + id) < 0) return WriteStatus::kFailed;
    return DoneIf(CounterWritten(UpdateRow(c.get(), r.count, std::to_string(count - 1), "", "")));
  });
}

std::string FirstValue(const std::string& file, const std::string& id) {
  Connection c;
  if (!c.OpenExisting(file)) return std::string();
  return FirstValue(c.get(), id);
}

// Creates (or replaces) the file's table with `rows` in one transaction. The file is made
// readable and writable by its owner only: it carries passwords.
WriteStatus CreateEnvFile(const std::string& file,
                          const std::vector<std::array<std::string, 4>>& rows) {
  if (file.empty()) return WriteStatus::kFailed;
  struct stat st;
  const bool existed = stat(file.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) return WriteStatus::kFailed;
  if (!existed) {
    // Created here with the owner-only mode, so the file is never readable by others.
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return WriteStatus::kFailed;
    close(fd);
  }

  WriteStatus result = WriteStatus::kFailed;
  {
    Connection c;
    if (c.OpenOrCreate(file)) {
      result = InTransaction(&c, [&] {
        if (!c.Exec("DROP TABLE IF EXISTS zkenv") || !c.Exec(kCreateTable)) {
          return WriteStatus::kFailed;
        }
        Statement ins(c.get(), kInsertRow);
        if (!ins.ok()) return WriteStatus::kFailed;
        for (const auto& row : rows) {
          if (!InsertRow(&ins, row[0], row[1], row[2], row[3])) return WriteStatus::kFailed;
        }
        return WriteStatus::kDone;
      });
    }
  }
  if (result != WriteStatus::kDone) {
    // A file that this call created and could not fill is not left behind.
    if (!existed) unlink(file.c_str());
    return result;
  }
  // A replaced file now holds only the new content; it carries passwords, so it becomes
  // owner-only like a new one (a file owned by someone else keeps its mode).
  if (existed) (void)chmod(file.c_str(), 0600);
  return WriteStatus::kDone;
}

// Row `id` into the three named fields (only when found), as ReadEnvRow reads it.
ReadStatus ReadRowInto(const std::string& file, const std::string& id,
                       const std::array<std::string*, 3>& fields, std::string* error = nullptr,
                       int busy_timeout_ms = kDefaultBusyTimeoutMs) {
  std::array<std::string, 3> values;
  ReadStatus status = ReadEnvRow(file, id, &values, error, busy_timeout_ms);
  if (status == ReadStatus::kFound) {
    for (size_t i = 0; i < values.size(); ++i) *fields[i] = std::move(values[i]);
  }
  return status;
}

// A row of a new file with one value and filler in v2 and v3.
std::array<std::string, 4> OneValue(const std::string& id, const std::string& v1) {
  return {id, v1, MakeFillerText(), MakeFillerText()};
}

const char kDefaultAdminPassword[] = "lanternshadow";

std::vector<std::array<std::string, 4>> SettingRows(const std::string& type, const std::string& ns,
                                                    const std::string& iiop, const std::string& ssl,
                                                    const std::string& unit) {
  return {OneValue("env_envtype", type), OneValue("env_adminpwd", kDefaultAdminPassword),
          OneValue("env_ns", ns),        OneValue("env_iiop", iiop),
          OneValue("env_ssl", ssl),      OneValue("env_unit", unit)};
}

}  // namespace

ReadStatus ReadEnvRow(const std::string& file, const std::string& id,
                      std::array<std::string, 3>* values, std::string* error, int busy_timeout_ms) {
  Connection c;
  ReadStatus status = ReadStatus::kFailed;
  if (c.OpenExisting(file, busy_timeout_ms)) status = ReadRow(c.get(), id, values);
  if (status == ReadStatus::kFailed && error) *error = c.error();
  return status;
}

WriteStatus UpdateEnvRow(const std::string& file, const std::string& id, const std::string& v1,
                         const std::string& v2, const std::string& v3) {
  Connection c;
  if (!c.OpenExisting(file)) return WriteStatus::kFailed;
  // A write that the file refuses (not a database, read-only, locked past the timeout) is a
  // failure; a row or table that is not there is nothing to update.
  switch (UpdateRow(c.get(), id, v1, v2, v3)) {
    case Outcome::kDone:
      return WriteStatus::kDone;
    case Outcome::kNoRow:
    case Outcome::kNoTable:
      return WriteStatus::kNoRow;
    case Outcome::kFailed:
      break;
  }
  return WriteStatus::kFailed;
}

std::string ReadEnvSetting(const std::string& file, const std::string& name) {
  return FirstValue(file, "env_" + name);
}

WriteStatus UpdateEnvSetting(const std::string& file, const std::string& name,
                             const std::string& v1, const std::string& v2, const std::string& v3) {
  return UpdateEnvRow(file, "env_" + name, v1, v2, v3);
}

WriteStatus CreateServerEnvFile(const std::string& file, const std::string& ns,
                                const std::string& iiop, const std::string& ssl,
                                const std::string& unit) {
  auto rows = SettingRows("server", ns, iiop, ssl, unit);
  for (const char* counter : {"users", "maxusers", "jobs", "maxjobs"}) {
    rows.push_back(OneValue(counter, "0"));
  }
  return CreateEnvFile(file, rows);
}

WriteStatus CreateUserEnvFile(const std::string& file, const std::string& ns,
                              const std::string& iiop, const std::string& ssl,
                              const std::string& unit, const std::string& user_id,
                              const std::string& password) {
  auto rows = SettingRows("user", ns, iiop, ssl, unit);
  rows.push_back(OneValue("users", "1"));
  rows.push_back(OneValue("uid_1", user_id));
  rows.push_back({"usr_" + user_id, user_id, password, MakeFillerText()});
  return CreateEnvFile(file, rows);
}

ReadStatus ReadUser(const std::string& file, const std::string& user_id, UserRow* row,
                    std::string* error, int busy_timeout_ms) {
  UserRow unused;
  UserRow* r = row ? row : &unused;
  return ReadRowInto(file, "usr_" + user_id, {&r->user_id, &r->password, &r->storage_dir}, error,
                     busy_timeout_ms);
}

std::string ReadUserName(const std::string& file, int n) {
  return FirstValue(file, "uid_" + std::to_string(n));
}

WriteStatus SetUserPassword(const std::string& file, const std::string& user_id,
                            const std::string& new_password) {
  const std::string id = "usr_" + user_id;
  Connection c;
  if (!c.OpenExisting(file)) return WriteStatus::kFailed;
  // Read and rewrite under one write lock, so a concurrent change of the row is not undone. A row
  // that cannot be read is not rewritten: its user id and directory would be lost.
  return InTransaction(&c, [&] {
    std::array<std::string, 3> values;
    switch (ReadRow(c.get(), id, &values)) {
      case ReadStatus::kMissing:
        return WriteStatus::kNoRow;
      case ReadStatus::kFailed:
        return WriteStatus::kFailed;
      case ReadStatus::kFound:
        break;
    }
    return DoneIf(UpdateRow(c.get(), id, values[0], new_password, values[2]) == Outcome::kDone);
  });
}

int ReadUserCount(const std::string& file) { return ToNumber(FirstValue(file, "users")); }

int ReadUserHighMark(const std::string& file) { return ToNumber(FirstValue(file, "maxusers")); }

WriteStatus AddUser(const std::string& file, const std::string& user_id,
                    const std::string& password, const std::string& dir) {
  return AddEntry(file, kUsers, user_id, user_id, password, dir);
}

WriteStatus DeleteUser(const std::string& file, const std::string& user_id) {
  return DeleteEntry(file, kUsers, user_id);
}

bool ParseStoredQuota(const std::string& text, int64_t* bytes) {
  if (text.empty() || text[0] == '0' || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  uint64_t v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > static_cast<uint64_t>(INT64_MAX)) return false;
  *bytes = static_cast<int64_t>(v);
  return true;
}

ReadStatus ReadUserQuota(const std::string& file, const std::string& user_id, int64_t* bytes) {
  std::array<std::string, 3> values;
  *bytes = 0;
  ReadStatus status = ReadEnvRow(file, "qta_" + user_id, &values);
  if (status == ReadStatus::kFound && !ParseStoredQuota(values[0], bytes)) {
    status = ReadStatus::kFailed;
  }
  return status;
}

WriteStatus SetUserQuota(const std::string& file, const std::string& user_id, int64_t bytes) {
  if (bytes < 0) return WriteStatus::kFailed;
  Connection c;
  if (!c.OpenExisting(file)) return WriteStatus::kFailed;
  const std::string id = "qta_" + user_id;
  // The user is checked under the same write lock, so a limit never outlives its user.
  return InTransaction(&c, [&] {
    std::array<std::string, 3> user;
    switch (ReadRow(c.get(), "usr_" + user_id, &user)) {
      case ReadStatus::kMissing:
        return WriteStatus::kNoRow;
      case ReadStatus::kFailed:
        return WriteStatus::kFailed;
      case ReadStatus::kFound:
        break;
    }
    if (DeleteRow(c.get(), id) < 0) return WriteStatus::kFailed;
    if (bytes == 0) return WriteStatus::kDone;
    Statement ins(c.get(), kInsertRow);
    return DoneIf(ins.ok() &&
                  InsertRow(&ins, id, std::to_string(bytes), MakeFillerText(), MakeFillerText()));
  });
}

ReadStatus ReadJob(const std::string& file, const std::string& job_id, JobRow* row) {
  JobRow unused;
  JobRow* r = row ? row : &unused;
  return ReadRowInto(file, "job_" + job_id, {&r->program, &r->params, &r->run_password});
}

std::string ReadJobName(const std::string& file, int n) {
  return FirstValue(file, "jid_" + std::to_string(n));
}

int ReadJobCount(const std::string& file) { return ToNumber(FirstValue(file, "jobs")); }

int ReadJobHighMark(const std::string& file) { return ToNumber(FirstValue(file, "maxjobs")); }

WriteStatus AddJob(const std::string& file, const std::string& job_id, const std::string& program,
                   const std::string& params, const std::string& run_password) {
  return AddEntry(file, kJobs, job_id, program, params, run_password);
}

WriteStatus DeleteJob(const std::string& file, const std::string& job_id) {
  return DeleteEntry(file, kJobs, job_id);
}

namespace {

std::vector<std::string> Registered(const std::string& file, int high,
                                    std::string (*name_of)(const std::string&, int)) {
  std::vector<std::string> names;
  for (int n = 1; n <= high; ++n) {
    std::string name = name_of(file, n);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

std::vector<std::string> RegisteredUsers(const std::string& file) {
  return Registered(file, ReadUserHighMark(file), ReadUserName);
}

std::vector<std::string> RegisteredJobs(const std::string& file) {
  return Registered(file, ReadJobHighMark(file), ReadJobName);
}

}  // namespace zk
