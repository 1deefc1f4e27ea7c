// The audit trail's records, its two sinks and the queue with its writer thread.
#include "server/audit.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

#include "platform/console.h"
#include "platform/timetext.h"

namespace zk {
namespace {

struct EventKind {
  const char* name;
  const char* message_id;
};

// Indexed by AuditEvent. The ids never change: journalctl MESSAGE_ID=... finds the records of a
// kind across versions.
const EventKind kKinds[] = {
    {"login", "d7c991fb8f5a405ea56941496d2da767"},
    {"upload", "84c49f8d09434618807c210639b9dcb5"},
    {"download", "46a54442b2fe48ee8bfe78f811ed1dfa"},
    {"remove-file", "445bf9a518af4fe6bf1a33acbfdd7b8e"},
    {"remove-dir", "c1b4bc33811e45ffa105c3feb6562f6c"},
    {"job", "fd58d15b24f64132a407320ba5e1a5fa"},
    {"password", "388b1aabf0a847abaf6bb87ade156725"},
    {"connection-refused", "ee822034d1da422590cc0cc15c528e53"},
    {"connection-closed", "26722991c7ab40d189f7395a9bc60a5c"},
};

const EventKind& Kind(AuditEvent e) { return kKinds[static_cast<size_t>(e)]; }

int64_t EpochMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

template <typename T>
const T* Get(const std::optional<T>& v) {
  return v ? &*v : nullptr;
}
const std::string* Unless(const std::string& s) { return s.empty() ? nullptr : &s; }

// Every field of a record, in the order both sinks write them, to `v`: Time and Event always
// have a value; a Text or Number value is null where the record has none, and a field that is
// not `always` is then left out.
template <class Visitor>
void VisitAuditFields(const AuditRecord& r, Visitor* v) {
  v->Time("time", "ZK_TIME", EpochMs(r.time));
  v->Event("event", "ZK_EVENT", AuditEventName(r.event));
  v->Text("user", "ZK_USER", Get(r.user), true);
  v->Text("peer", "ZK_PEER", Unless(r.peer), true);
  v->Text("path", "ZK_PATH", Get(r.path), true);
  v->Number("bytes", "ZK_BYTES", Get(r.bytes), true);
  v->Number("result", "ZK_RESULT", Get(r.result), true);
  v->Number("ms", "ZK_MS", &r.ms, true);
  v->Text("reason", "ZK_REASON", Unless(r.reason), false);
  v->Text("digest", "ZK_DIGEST", Unless(r.digest), false);
  v->Text("job", "ZK_JOB", Get(r.job), false);
  v->Number("exit", "ZK_EXIT", Get(r.exit), false);
}

// The length of the valid UTF-8 sequence at s[i], or 0 when there is none (a stray continuation
// byte, a sequence cut short, an overlong form, a surrogate, beyond U+10FFFF).
size_t Utf8Length(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

// JSON's two-character escape of `c`, or null when it has none.
const char* ShortEscape(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return nullptr;
  }
}

}  // namespace

const char* AuditEventName(AuditEvent event) { return Kind(event).name; }
const char* AuditMessageId(AuditEvent event) { return Kind(event).message_id; }

std::vector<AuditField> AuditFields(const AuditRecord& r) {
  struct Fields {
    void Time(const char* json, const char* journal, int64_t ms) {
      out.push_back(AuditField{json, journal, FormatIsoTime(ms), true, true, true});
    }
    void Event(const char* json, const char* journal, const char* name) {
      out.push_back(AuditField{json, journal, name, true, true, true});
    }
    void Text(const char* json, const char* journal, const std::string* v, bool always) {
      out.push_back(AuditField{json, journal, v ? *v : std::string(), true, v != nullptr, always});
    }
    void Number(const char* json, const char* journal, const int64_t* v, bool always) {
      out.push_back(AuditField{json, journal, v ? std::to_string(*v) : std::string(), false,
                               v != nullptr, always});
    }
    std::vector<AuditField> out;
  } fields;
  VisitAuditFields(r, &fields);
  return std::move(fields.out);
}

namespace {

// Appends the JSON escape of `s` to *out: runs of bytes that need none are copied whole.
void AppendJsonEscaped(const std::string& s, std::string* out) {
  size_t plain = 0;  // where the run not yet copied begins
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    const size_t n = c < 0x80 ? 0 : Utf8Length(s, i);
    if (n > 0) {  // valid UTF-8 stays as it is
      i += n;
      continue;
    }
    out->append(s, plain, i - plain);
    if (const char* e = ShortEscape(c)) {
      *out += e;
    } else if (c < 0x80) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      *out += buf;
    } else {
      *out += "\\ufffd";
    }
    plain = ++i;
  }
  out->append(s, plain, s.size() - plain);
}

// Appends the record's time as FormatIsoTime writes it, the second's text from *kept when it is
// that second's, else formatted and kept there.
void AppendIsoTime(int64_t ms, AuditSecondText* kept, std::string* out) {
  int64_t sec = ms / 1000, milli = ms % 1000;
  if (milli < 0) {
    milli += 1000;
    --sec;
  }
  if (sec != kept->sec) {
    const std::string text = FormatIsoTime(sec * 1000);
    const size_t dot = text.find('.');
    if (dot == std::string::npos || dot + 4 > text.size()) {  // unformattable: as FormatIsoTime
      *out += FormatIsoTime(ms);
      return;
    }
    kept->sec = sec;
    kept->head = text.substr(0, dot + 1);
    kept->zone = text.substr(dot + 4);
  }
  char digits[4] = {static_cast<char>('0' + milli / 100), static_cast<char>('0' + milli / 10 % 10),
                    static_cast<char>('0' + milli % 10), 0};
  *out += kept->head;
  out->append(digits, 3);
  *out += kept->zone;
}

// The JSON of one field: `"key":` and its value, or null where the record has none.
void AppendKey(const char* key, std::string* out) {
  if (out->back() != '{') *out += ',';
  *out += '"';
  *out += key;
  *out += "\":";
}
// The fields written straight into the line, without a list of texts between.
struct JsonFields {
  void Time(const char* json, const char*, int64_t ms) {
    AppendKey(json, out);
    *out += '"';
    AppendIsoTime(ms, second, out);
    *out += '"';
  }
  void Event(const char* json, const char*, const char* name) {
    AppendKey(json, out);
    *out += '"';
    *out += name;  // plain ASCII
    *out += '"';
  }
  void Text(const char* json, const char*, const std::string* v, bool always) {
    if (!v && !always) return;
    AppendKey(json, out);
    if (!v) {
      *out += "null";
      return;
    }
    *out += '"';
    AppendJsonEscaped(*v, out);
    *out += '"';
  }
  void Number(const char* json, const char*, const int64_t* v, bool always) {
    if (!v && !always) return;
    AppendKey(json, out);
    if (!v) {
      *out += "null";
      return;
    }
    char buf[24];
    const std::to_chars_result end = std::to_chars(buf, buf + sizeof buf, *v);
    out->append(buf, end.ptr);
  }
  AuditSecondText* second;
  std::string* out;
};

}  // namespace

void AppendAuditJson(const AuditRecord& r, AuditSecondText* second, std::string* out) {
  *out += '{';
  JsonFields fields{second, out};
  VisitAuditFields(r, &fields);
  *out += '}';
}

std::string JsonEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 2);
  AppendJsonEscaped(s, &out);
  return out;
}

std::string AuditJson(const AuditRecord& r) {
  std::string out;
  AuditSecondText second;
  AppendAuditJson(r, &second, &out);
  return out;
}

JsonLinesSink::~JsonLinesSink() {
  if (fd_ >= 0) close(fd_);
}

bool JsonLinesSink::Open(std::string* error, int* err_no) {
  if (fd_ >= 0) close(fd_);
  // Non-blocking: a FIFO without a reader fails at once instead of holding the writer.
  fd_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) {
    if (err_no) *err_no = errno;
    *error = strerror(errno);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  }
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

bool JsonLinesSink::Current(std::string* error) {
  struct stat st;
  if (fd_ >= 0 && stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
    return true;
  }
  return Open(error);
}

size_t JsonLinesSink::Write(const std::vector<AuditRecord>& records, std::string* error) {
  if (records.empty()) return 0;
  if (!Current(error)) return 0;
  std::string all;
  std::vector<size_t> ends;  // where each record's line ends in `all`
  ends.reserve(records.size());
  all.reserve(records.size() * 192);
  for (const AuditRecord& r : records) {
    AppendAuditJson(r, &second_, &all);
    all += '\n';
    ends.push_back(all.size());
  }
  size_t at = 0;
  while (at < all.size()) {
    const ssize_t n = write(fd_, all.data() + at, all.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? strerror(errno) : "nothing written";
      break;
    }
    at += static_cast<size_t>(n);
  }
  size_t whole = 0;
  while (whole < ends.size() && ends[whole] <= at) ++whole;
  return whole;
}

size_t JournalSink::Write(const std::vector<AuditRecord>& records, std::string* error) {
  size_t done = 0;
  for (const AuditRecord& r : records) {
    std::vector<std::string> fields;
    std::string message = std::string("zk ") + AuditEventName(r.event);
    for (const AuditField& f : AuditFields(r)) {
      if (!f.present) continue;
      fields.push_back(std::string(f.journal_key) + "=" + f.value);
      if (std::strcmp(f.json_key, "time") != 0 && std::strcmp(f.json_key, "event") != 0) {
        message += std::string(" ") + f.json_key + "=" + f.value;
      }
    }
    fields.push_back("MESSAGE=" + message);
    fields.push_back(std::string("MESSAGE_ID=") + AuditMessageId(r.event));
    fields.push_back(r.reason.empty() ? "PRIORITY=6" : "PRIORITY=5");
    fields.push_back("SYSLOG_IDENTIFIER=zksvr");
    std::vector<struct iovec> iov(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
      iov[i].iov_base = const_cast<char*>(fields[i].data());
      iov[i].iov_len = fields[i].size();
    }
    const int rc = sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
    if (rc < 0) {
      *error = strerror(-rc);
      return done;
    }
    ++done;
  }
  return done;
}

bool AuditSinkFor(const std::string& value, std::unique_ptr<AuditSink>* sink, bool* bad_value,
                  std::string* error) {
  sink->reset();
  *bad_value = false;
  if (value.empty() || value == "none") return true;
  if (value == "journal") {
    sink->reset(new JournalSink());
    return true;
  }
  if (value[0] != '/') {
    *bad_value = true;
    return false;
  }
  auto file = std::make_unique<JsonLinesSink>(value);
  int err_no = 0;
  if (!file->Open(error, &err_no) && err_no != ENXIO) return false;
  *sink = std::move(file);
  return true;
}

AuditLog::~AuditLog() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void AuditLog::Start(std::unique_ptr<AuditSink> sink, size_t capacity, Report report) {
  sink_ = std::move(sink);
  capacity_ = capacity;
  report_ = report ? std::move(report) : Report([](const std::string& line) { PrintErr(line); });
  thread_ = std::thread([this] { Loop(); });
  on_ = true;
}

void AuditLog::Record(AuditRecord r) {
  if (!on_) return;
  Queue(&r, 1);
}

void AuditLog::Record(std::vector<AuditRecord> records) {
  if (!on_ || records.empty()) return;
  Queue(records.data(), records.size());
}

void AuditLog::Queue(AuditRecord* records, size_t n) {
  bool say_full = false;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const size_t before = queue_.size();
    for (size_t i = 0; i < n; ++i) {
      ++queued_;
      if (queue_.size() >= capacity_) {
        ++dropped_;
        ++done_;
        say_full = say_full || !queue_full_said_;
        queue_full_said_ = true;
      } else {
        queue_.push_back(std::move(records[i]));
      }
    }
    wake = before < kAuditWakeRecords && queue_.size() >= kAuditWakeRecords;
  }
  if (wake) wake_.notify_one();
  if (say_full) {
    Say("WARNING:監査記録の書き込みが追いつかないため、記録を捨てています。(" + sink_->Name() +
        ")");
  }
}

uint64_t AuditLog::dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dropped_;
}

uint64_t AuditLog::written() const {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
}

void AuditLog::Flush() {
  if (!on_) return;
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t target = queued_;
  flush_ = true;
  wake_.notify_one();
  drained_.wait(lock, [&] { return done_ >= target; });
}

void AuditLog::Say(const std::string& line) { report_(line); }

void AuditLog::Loop() {
  // Past this many records, the batch's memory goes back after the write instead of being kept
  // for the next one: a burst does not keep its queue's size for good.
  constexpr size_t kKeptBatchRecords = 2 * kAuditWakeRecords;
  std::vector<AuditRecord> batch;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait_for(lock, kAuditWriteEvery,
                   [this] { return stop_ || flush_ || queue_.size() >= kAuditWakeRecords; });
    flush_ = false;
    if (queue_.empty()) {
      if (stop_) return;  // everything is written
      continue;
    }
    batch.swap(queue_);
    lock.unlock();
    std::string error;
    const size_t n = sink_->Write(batch, &error);
    const size_t taken = batch.size();
    batch.clear();  // the records' own memory goes back outside the lock
    if (batch.capacity() > kKeptBatchRecords) std::vector<AuditRecord>().swap(batch);
    lock.lock();
    written_ += n;
    dropped_ += taken - n;
    std::string say;
    if (n < taken && !failing_said_) {
      failing_said_ = true;
      say = "WARNING:監査記録を書けませんでした。書けるようになるまで、記録は数えて捨てます。(" +
            sink_->Name() + ": " + error + ")";
    } else if (n == taken && failing_said_) {
      failing_said_ = false;
      say = "監査記録をまた書けるようになりました。(" + sink_->Name() + "; 捨てた記録は" +
            std::to_string(dropped_) + "件)";
    }
    if (queue_.empty()) queue_full_said_ = false;
    if (!say.empty()) {
      lock.unlock();
      Say(say);
      lock.lock();
    }
    // Done once said: who flushed sees the line too.
    done_ += taken;
    drained_.notify_all();
  }
}

}  // namespace zk
