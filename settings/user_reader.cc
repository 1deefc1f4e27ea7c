// UserReader: the users of an environment file read through one kept connection, opened anew
// whenever the file is not the one it was opened on.
#include <sys/stat.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "settings/zkdb.h"
#include "settings/zkdb_sqlite.h"

namespace zk {

using sqlite::Connection;
using sqlite::MissingTable;
using sqlite::ReadRow;
using sqlite::Statement;
using sqlite::kSelectRow;

namespace {

// What tells one state of a file from another without reading it: its identity, size and the
// times of its last write and last change of status (mode, owner, links).
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime = {};
  timespec ctime = {};
};

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const FileStamp& a, const FileStamp& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && SameTime(a.mtime, b.mtime) &&
         SameTime(a.ctime, b.ctime);
}

// False when the file cannot be looked at.
bool StampOf(const std::string& file, FileStamp* stamp) {
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return false;
  stamp->dev = st.st_dev;
  stamp->ino = st.st_ino;
  stamp->size = st.st_size;
  stamp->mtime = st.st_mtim;
  stamp->ctime = st.st_ctim;
  return true;
}

}  // namespace

struct UserReader::Kept {
  Kept(const std::string& f, int timeout) : file(f), busy_timeout_ms(timeout) {}

  // Forgets the connection; the statement goes first, or the connection would not close.
  void Drop() {
    select.reset();
    connection.reset();
  }

  // Opens the file and prepares the read. False when the file cannot be opened or its table
  // cannot be read; *status then answers the read as a fresh read would, and nothing is kept.
  bool Open(const FileStamp& stamp, ReadStatus* status, std::string* error) {
    auto c = std::make_unique<Connection>();
    if (!c->OpenExisting(file, busy_timeout_ms)) {
      if (error) *error = c->error();
      *status = ReadStatus::kFailed;
      return false;
    }
    auto s = std::make_unique<Statement>(c->get(), kSelectRow);
    if (!s->ok()) {
      *status = MissingTable(*s) ? ReadStatus::kMissing : ReadStatus::kFailed;
      if (*status == ReadStatus::kFailed && error) *error = c->error();
      return false;
    }
    connection = std::move(c);
    select = std::move(s);
    opened = stamp;
    return true;
  }

  // One read through the kept statement, opening the file first when it is not open. A failure
  // drops the connection. `*retry` tells a failure that a fresh open may answer differently (a
  // table dropped since the statement was prepared) from one that it would only repeat.
  ReadStatus ReadOnce(const std::string& id, const FileStamp& stamp,
                      std::array<std::string, 3>* values, std::string* error, bool* retry) {
    // Only a statement prepared before this read may have gone stale.
    *retry = select != nullptr;
    ReadStatus refused;
    if (!select && !Open(stamp, &refused, error)) return refused;
    int rc = SQLITE_OK;
    ReadStatus status = ReadRow(select.get(), id, values, &rc);
    if (status == ReadStatus::kFailed) {
      if (error) *error = connection->error();
      // Locked past the wait: opening anew would only wait again.
      if (rc == SQLITE_BUSY) *retry = false;
      Drop();
    }
    return status;
  }

  const std::string file;
  const int busy_timeout_ms;
  std::mutex mu;
  std::unique_ptr<Connection> connection;
  std::unique_ptr<Statement> select;
  FileStamp opened;  // the file as it was when the connection was opened
};

UserReader::UserReader(const std::string& file, int busy_timeout_ms)
    : kept_(std::make_unique<Kept>(file, busy_timeout_ms)) {}

UserReader::~UserReader() = default;

const std::string& UserReader::file() const { return kept_->file; }

ReadStatus UserReader::Read(const std::string& user_id, UserRow* row, std::string* error) {
  std::array<std::string, 3> values;
  ReadStatus status = ReadValues("usr_" + user_id, &values, error);
  if (status == ReadStatus::kFound && row) {
    row->user_id = std::move(values[0]);
    row->password = std::move(values[1]);
    row->storage_dir = std::move(values[2]);
  }
  return status;
}

ReadStatus UserReader::ReadQuota(const std::string& user_id, int64_t* bytes, std::string* error) {
  std::array<std::string, 3> values;
  *bytes = 0;
  ReadStatus status = ReadValues("qta_" + user_id, &values, error);
  if (status == ReadStatus::kFound && !ParseStoredQuota(values[0], bytes)) {
    status = ReadStatus::kFailed;
  }
  return status;
}

ReadStatus UserReader::ReadValues(const std::string& id, std::array<std::string, 3>* values,
                                  std::string* error) {
  Kept& k = *kept_;
  std::lock_guard<std::mutex> lock(k.mu);
  FileStamp now;
  if (!StampOf(k.file, &now) || !(now == k.opened)) k.Drop();
  bool retry = false;
  ReadStatus status = k.ReadOnce(id, now, values, error, &retry);
  if (status == ReadStatus::kFailed && retry) status = k.ReadOnce(id, now, values, error, &retry);
  return status;
}

}  // namespace zk
