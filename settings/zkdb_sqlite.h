// The environment files' SQLite layer, shared by the settings store's files: one connection, one
// prepared statement, and the read of one row with its values unscrambled.
#ifndef ZK_SETTINGS_ZKDB_SQLITE_H_
#define ZK_SETTINGS_ZKDB_SQLITE_H_

#include <sqlite3.h>

#include <array>
#include <initializer_list>
#include <string>

#include "settings/zkdb.h"

namespace zk {
namespace sqlite {

inline constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS zkenv (id TEXT PRIMARY KEY, v1 TEXT, v2 TEXT, v3 TEXT)";
inline constexpr char kSelectRow[] = "SELECT v1, v2, v3 FROM zkenv WHERE id=?";
inline constexpr char kSelectAll[] = "SELECT id, v1 FROM zkenv";
inline constexpr char kUpdateRow[] = "UPDATE zkenv SET v1=?, v2=?, v3=? WHERE id=?";
inline constexpr char kInsertRow[] = "INSERT INTO zkenv (id, v1, v2, v3) VALUES (?, ?, ?, ?)";
inline constexpr char kDeleteRow[] = "DELETE FROM zkenv WHERE id=?";

// One connection, closed on destruction.
class Connection {
 public:
  Connection() = default;
  ~Connection() {
    if (db_) sqlite3_close(db_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens an existing file; a missing file is not created. False when it cannot be opened.
  bool OpenExisting(const std::string& file, int busy_timeout_ms = kDefaultBusyTimeoutMs) {
    return Open(file, SQLITE_OPEN_READWRITE, busy_timeout_ms);
  }
  // Opens the file, creating it when missing.
  bool OpenOrCreate(const std::string& file) {
    return Open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kDefaultBusyTimeoutMs);
  }
  // Why the last open or statement failed.
  std::string error() const { return db_ ? sqlite3_errmsg(db_) : open_error_; }

  sqlite3* get() const { return db_; }

  // Runs one statement without results. True on success.
  bool Exec(const char* sql) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (msg) sqlite3_free(msg);
    return rc == SQLITE_OK;
  }

 private:
  bool Open(const std::string& file, int flags, int busy_timeout_ms) {
    if (file.empty()) {
      open_error_ = "no file name";
      return false;
    }
    int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
      open_error_ = sqlite3_errstr(rc);
      if (db_) sqlite3_close(db_);
      db_ = nullptr;
      return false;
    }
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    return true;
  }

  sqlite3* db_ = nullptr;
  std::string open_error_;
};

// One prepared statement, finalized on destruction. `rc()` is the result of the preparation.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() {
    if (stmt_) sqlite3_finalize(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
  int rc() const { return rc_; }
  sqlite3_stmt* get() const { return stmt_; }

  // Resets and binds all parameters as text.
  void Bind(std::initializer_list<const std::string*> values) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    int i = 1;
    for (const std::string* v : values) {
      sqlite3_bind_text(stmt_, i++, v->data(), static_cast<int>(v->size()), SQLITE_TRANSIENT);
    }
  }
  int Step() { return sqlite3_step(stmt_); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

// A statement that could not be prepared because the table is missing (plain SQLITE_ERROR) finds
// nothing; any other failure (not a database, locked, unreadable) means the file is unusable.
inline bool MissingTable(const Statement& s) { return s.rc() == SQLITE_ERROR; }

inline std::string ColumnText(sqlite3_stmt* stmt, int col) {
  const unsigned char* p = sqlite3_column_text(stmt, col);
  if (!p) return std::string();
  return std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(stmt, col));
}

// Reads the three unscrambled values of row `id` with the prepared `select` (kSelectRow); NULL
// columns read as empty. The statement is reset before returning, which ends the read and
// lets go of the file's lock: a kept statement must not hold it between reads. A failure leaves
// its code in *rc (when given).
ReadStatus ReadRow(Statement* select, const std::string& id, std::array<std::string, 3>* values,
                   int* rc = nullptr);
// The same with a statement prepared for this read only.
ReadStatus ReadRow(sqlite3* db, const std::string& id, std::array<std::string, 3>* values);
}  // namespace sqlite
}  // namespace zk

#endif  // ZK_SETTINGS_ZKDB_SQLITE_H_
