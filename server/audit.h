// The audit trail: one record for each thing a user did or was refused (a login, a file uploaded
// or downloaded, a removal, a job, a password change, a connection refused or closed by a limit),
// written by one thread of its own into a sink, so that a slow or failing sink never holds a
// request up:
//
//   AuditLog log;                                      // off: Record costs a test
//   log.Start(std::make_unique<JsonLinesSink>(path));  // or JournalSink
//   AuditRecord r(AuditEvent::kLogin);
//   r.user = LogText(user); r.peer = peer; r.result = kLoginAccepted;
//   log.Record(std::move(r));
//
// Records wait in a bounded queue. When it is full (the sink is slow or stuck) or the sink fails
// (disk full, no journal), the record is dropped and counted (dropped()); the server's log says
// so once, not once per record, and once more when records are written again.
//
// What goes into a record is fixed here once (AuditFields), for both sinks: JSON lines with the
// keys time, event, user, peer, path, bytes, result, ms (null where a record has none) and reason,
// digest, job, exit where they apply; journal fields ZK_TIME=, ZK_EVENT=, ZK_USER=, ... with one
// MESSAGE_ID per kind of event.
#ifndef ZK_SERVER_AUDIT_H_
#define ZK_SERVER_AUDIT_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zk {

// The kinds of record, each with its name (the event field) and its journal MESSAGE_ID.
enum class AuditEvent {
  kLogin,              // zkExistsUser, accepted or refused (reason)
  kUpload,             // a file's upload ended: its last chunk landed, or it failed or was given up
  kDownload,           // a file's download ended: every byte of it was served, or it failed
  kRemoveFile,         // zkFileRemove
  kRemoveDir,          // zkDirRemove
  kJob,                // zkRemoteJob (job, exit)
  kPassword,           // zkChgUserPwd
  kConnectionRefused,  // a connection refused as it was accepted (reason)
  kConnectionClosed,   // a connection closed by the server (reason)
};
const char* AuditEventName(AuditEvent event);
// 32 lower-case hex digits, fixed for each kind.
const char* AuditMessageId(AuditEvent event);

struct AuditRecord {
  explicit AuditRecord(AuditEvent e) : event(e), time(std::chrono::system_clock::now()) {}

  AuditEvent event;
  std::chrono::system_clock::time_point time;  // when it ended
  std::optional<std::string> user;             // as log lines write it (LogText)
  std::string peer;                            // host and port, "127.0.0.1:40000" (AuditPeer)
  std::optional<std::string> path;             // in the area, "/" separators
  std::optional<int64_t> bytes;
  std::optional<int64_t> result;  // the operation's result code, as the caller got it
  int64_t ms = 0;                 // how long it took
  std::string reason;             // why, for refusals: a short token ("wrong-password")
  std::string digest;             // the file's digest in hex, where a transfer has one
  std::optional<std::string> job;
  std::optional<int64_t> exit;  // a waited-for job's exit code
};

// One field of a record: its key in JSON ("user") and in the journal ("ZK_USER"), its value as
// text, whether that is a string (else a number), and whether the record has it. A field that is
// not `always` is left out where the record does not have it; one that is, is null there.
struct AuditField {
  const char* json_key;
  const char* journal_key;
  std::string value;
  bool text;
  bool present;
  bool always;
};
std::vector<AuditField> AuditFields(const AuditRecord& r);

// `s` as the body of a JSON string: quote, backslash and control characters escaped, valid UTF-8
// kept, and each byte that is not part of valid UTF-8 written as U+FFFD, so that any bytes give a
// valid line.
std::string JsonEscape(const std::string& s);
// The record as one JSON object, without a line end.
std::string AuditJson(const AuditRecord& r);

// The text of one second of record times, kept by a writer that formats many records a second:
// the date, time and offset are then looked up once for all the records of that second.
struct AuditSecondText {
  int64_t sec = INT64_MIN;
  std::string head;  // up to and with the '.' before the milliseconds
  std::string zone;  // after the milliseconds
};
// AuditJson appended to *out, the time's second from *second when it is that second's.
void AppendAuditJson(const AuditRecord& r, AuditSecondText* second, std::string* out);

// Where records go. Write is called from the log's thread only.
class AuditSink {
 public:
  virtual ~AuditSink() = default;
  // Writes `records` in order: how many of them were written (all of them on success); when
  // fewer, *error says why.
  virtual size_t Write(const std::vector<AuditRecord>& records, std::string* error) = 0;
  // What the log's messages name the sink by: the file's path, "journal".
  virtual std::string Name() const = 0;
};

// JSON lines appended to the file at `path`, created owner-only when missing. The path is looked
// at before each write: when the file there is no longer the one open (moved away for rotation,
// removed), a new one is created there. Never blocks on the file's reader: a FIFO that nobody
// reads fails the write.
class JsonLinesSink : public AuditSink {
 public:
  explicit JsonLinesSink(std::string path) : path_(std::move(path)) {}
  ~JsonLinesSink() override;
  JsonLinesSink(const JsonLinesSink&) = delete;
  JsonLinesSink& operator=(const JsonLinesSink&) = delete;

  // Opens (or creates) the file now: false, with the reason (and its errno in *err_no), when it
  // cannot be.
  bool Open(std::string* error, int* err_no = nullptr);
  size_t Write(const std::vector<AuditRecord>& records, std::string* error) override;
  std::string Name() const override { return path_; }

 private:
  // The file at path_ is the one open (else it is opened again): false, with the reason, when no
  // file can be opened there.
  bool Current(std::string* error);

  std::string path_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  AuditSecondText second_;
};

// Records to the systemd journal (sd_journal_send), each field of the record a journal field, with
// the kind's MESSAGE_ID, a readable MESSAGE and SYSLOG_IDENTIFIER=zksvr.
class JournalSink : public AuditSink {
 public:
  size_t Write(const std::vector<AuditRecord>& records, std::string* error) override;
  std::string Name() const override { return "journal"; }
};

// The setting of server.conf (ours; omniORB ignores it) that says where records go: "journal",
// an absolute path of a JSON-lines file, or "none"; no setting is "none".
constexpr char kAuditLogKey[] = "zkAuditLog";

// What the setting `value` asks for, in *sink (null for none). A JSON-lines file is opened (or
// created) now. False for a value of another form (*bad_value set) or a file that cannot be opened
// (*error says why); a FIFO that nobody reads yet is no error: its records are dropped until
// somebody does.
bool AuditSinkFor(const std::string& value, std::unique_ptr<AuditSink>* sink, bool* bad_value,
                  std::string* error);

// Records that wait for the writer at most; beyond that a new record is dropped. At a thousand
// records a second, several seconds of a sink that stands still.
constexpr size_t kAuditQueueRecords = 8192;

// The writer takes what is queued this often, or at once when kAuditWakeRecords are waiting: a
// busy server writes its records in few large writes, not one small write (and one wake-up of the
// writer) per request.
constexpr std::chrono::milliseconds kAuditWriteEvery(100);
constexpr size_t kAuditWakeRecords = 1024;

class AuditLog {
 public:
  // Where the log says that records are dropped, and that they are written again.
  using Report = std::function<void(const std::string& line)>;

  AuditLog() = default;
  ~AuditLog();  // writes what is queued, then ends the thread
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  // From now on records go to `sink`, through a queue of `capacity` records; the log's lines go
  // to `report` (standard error when empty). Once, before the first record.
  void Start(std::unique_ptr<AuditSink> sink, size_t capacity = kAuditQueueRecords,
             Report report = Report());
  // True once started: callers skip building a record otherwise.
  bool on() const { return on_; }
  // Queues `r` (nothing when off). Never waits for the sink.
  void Record(AuditRecord r);
  // Queues each of `records`, in order, as Record does, taking the queue once for all of them.
  void Record(std::vector<AuditRecord> records);
  // Records dropped so far (queue full, or the sink failed).
  uint64_t dropped() const;
  // Records written so far.
  uint64_t written() const;
  // Waits until every record queued before the call is written or dropped (tests).
  void Flush();

 private:
  // Queues the `n` records from `records`, moving them.
  void Queue(AuditRecord* records, size_t n);
  void Loop();
  void Say(const std::string& line);

  bool on_ = false;
  std::unique_ptr<AuditSink> sink_;
  Report report_;
  size_t capacity_ = 0;

  mutable std::mutex mu_;
  std::condition_variable wake_;     // records queued, or stop
  std::condition_variable drained_;  // a batch is done
  // A vector that the writer swaps with its own emptied one: no allocation per record.
  std::vector<AuditRecord> queue_;
  uint64_t queued_ = 0;  // records ever queued or dropped at the queue
  uint64_t done_ = 0;    // of those, written or dropped
  uint64_t dropped_ = 0;
  uint64_t written_ = 0;
  bool queue_full_said_ = false;
  bool failing_said_ = false;
  bool flush_ = false;  // somebody waits in Flush: write at once
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace zk

#endif  // ZK_SERVER_AUDIT_H_
