// The counters, the request scope that feeds them and the file writer.
#include "server/metrics.h"

#include <cstring>
#include <utility>

#include "idl/wire.h"
#include "platform/console.h"

namespace zk {
namespace {

// What an operation's answer says, by the kind of operation.
enum class Kind { kLogin, kQuery, kChange, kTransfer, kJob, kOther };

struct Operation {
  const char* name;
  Kind kind;
};

// Every operation of ZKmd (zkFileUploadVerified among them, for the tools that call it), then the
// slot of every other name: a name a client sends never becomes a label of its own.
constexpr Operation kOperationTable[Metrics::kOperations] = {
    {"zkChgUserPwd", Kind::kChange},
    {"zkExistsUser", Kind::kLogin},
    {"zkExistsDir", Kind::kQuery},
    {"zkExistsFile", Kind::kQuery},
    {"zkFileCount", Kind::kQuery},
    {"zkFileList", Kind::kQuery},
    {"zkFileList64", Kind::kQuery},
    {"zkFileUpload", Kind::kTransfer},
    {"zkFileUploadVerified", Kind::kTransfer},
    {"zkFileDownload", Kind::kTransfer},
    {"zkFileDownload64", Kind::kTransfer},
    {"zkFileDownloadVerified", Kind::kTransfer},
    {"zkFileKept", Kind::kTransfer},
    {"zkFileResume", Kind::kTransfer},
    {"zkFileAgreed", Kind::kTransfer},
    {"zkDirRemove", Kind::kChange},
    {"zkFileRemove", Kind::kChange},
    {"zkRemoteJob", Kind::kJob},
    {"other", Kind::kOther},
};
constexpr size_t kOtherSlot = Metrics::kOperations - 1;
constexpr size_t kNamedOperations = kOtherSlot;

constexpr const char* kResultNames[Metrics::kResults] = {"ok", "failed", "refused"};

// The note of the request this thread serves.
struct Note {
  bool open = false;
  bool answered = false;
  bool refused = false;
  int32_t value = 0;
  uint64_t received = 0;
  uint64_t sent = 0;
};
thread_local Note note;

uint64_t Get(const std::atomic<uint64_t>& a) { return a.load(std::memory_order_relaxed); }

void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string* out, const char* name, uint64_t value) {
  *out += std::string(name) + " " + std::to_string(value) + "\n";
}

// A label value in the exposition's quoting: backslash, double quote and line end escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

size_t Metrics::Slot(const char* operation) {
  for (size_t i = 0; i < kNamedOperations; ++i) {
    if (std::strcmp(kOperationTable[i].name, operation) == 0) return i;
  }
  return kOtherSlot;
}

Metrics::Result Metrics::ResultOf(const char* operation, long value) {
  switch (kOperationTable[Slot(operation)].kind) {
    case Kind::kLogin:
      return value == kLoginAccepted ? Result::kOk : Result::kRefused;
    case Kind::kQuery:
      return Result::kOk;  // 0 or 1, a count, a listing: each is an answer
    case Kind::kChange:
      return value == kChangeDone ? Result::kOk : Result::kFailed;
    case Kind::kTransfer:
      return value == kTransferOk ? Result::kOk : Result::kFailed;
    case Kind::kJob:
      if (value == kJobStarted) return Result::kOk;
      return value == kJobWrongPassword ? Result::kRefused : Result::kFailed;
    case Kind::kOther:
      break;
  }
  return Result::kFailed;
}

void Metrics::CountRequest(const char* operation, Result result, uint64_t received, uint64_t sent) {
  const size_t slot = Slot(operation);
  requests_[slot][static_cast<size_t>(result)].fetch_add(1, std::memory_order_relaxed);
  if (kOperationTable[slot].kind == Kind::kLogin) {
    logins_[result == Result::kOk ? 0 : 1].fetch_add(1, std::memory_order_relaxed);
  }
  if (received > 0) received_.fetch_add(received, std::memory_order_relaxed);
  if (sent > 0) sent_.fetch_add(sent, std::memory_order_relaxed);
}

std::string Metrics::Exposition(const Gauges& gauges, const std::string& version) const {
  std::string out;
  Family(&out, "zk_requests_total", "counter",
         "Requests served by zksvr, by operation and result.");
  for (size_t op = 0; op < kOperations; ++op) {
    for (size_t r = 0; r < kResults; ++r) {
      out += std::string("zk_requests_total{operation=\"") + kOperationTable[op].name +
             "\",result=\"" + kResultNames[r] + "\"} " + std::to_string(Get(requests_[op][r])) +
             "\n";
    }
  }
  Family(&out, "zk_received_bytes_total", "counter", "File data received in uploads, in bytes.");
  Sample(&out, "zk_received_bytes_total", Get(received_));
  Family(&out, "zk_sent_bytes_total", "counter", "File data sent in downloads, in bytes.");
  Sample(&out, "zk_sent_bytes_total", Get(sent_));
  Family(&out, "zk_logins_total", "counter", "Logins, by result.");
  out += "zk_logins_total{result=\"accepted\"} " + std::to_string(Get(logins_[0])) + "\n";
  out += "zk_logins_total{result=\"refused\"} " + std::to_string(Get(logins_[1])) + "\n";
  Family(&out, "zk_logins_held_back_total", "counter",
         "Logins refused unchecked while the login throttle's delay ran.");
  Sample(&out, "zk_logins_held_back_total", Get(held_back_));
  Family(&out, "zk_connections", "gauge", "Connections open now.");
  Sample(&out, "zk_connections", gauges.connections);
  Family(&out, "zk_uploads_in_progress", "gauge", "Uploads begun and not yet ended.");
  Sample(&out, "zk_uploads_in_progress", gauges.uploads_in_progress);
  Family(&out, "zk_kept_parts", "gauge", "Parts of interrupted uploads kept for a resume.");
  Sample(&out, "zk_kept_parts", gauges.kept_parts);
  Family(&out, "zk_audit_records_dropped_total", "counter",
         "Audit records that could not be written.");
  Sample(&out, "zk_audit_records_dropped_total", gauges.audit_records_dropped);
  Family(&out, "zk_build_info", "gauge", "The version of zksvr, as a label; the value is 1.");
  out += "zk_build_info{version=\"" + LabelValue(version) + "\"} 1\n";
  return out;
}

RequestCount::RequestCount(Metrics* metrics, const char* operation)
    : metrics_(metrics), operation_(operation) {
  note = Note();
  note.open = true;
}

RequestCount::~RequestCount() {
  Metrics::Result result = Metrics::Result::kFailed;
  if (note.refused) {
    result = Metrics::Result::kRefused;
  } else if (note.answered) {
    result = Metrics::ResultOf(operation_, note.value);
  }
  metrics_->CountRequest(operation_, result, note.received, note.sent);
  note = Note();
}

int32_t NoteAnswer(int32_t value) {
  if (note.open) {
    note.answered = true;
    note.value = value;
  }
  return value;
}

void NoteRefused() {
  if (note.open) note.refused = true;
}

void NoteReceivedBytes(uint64_t n) {
  if (note.open) note.received += n;
}

void NoteSentBytes(uint64_t n) {
  if (note.open) note.sent += n;
}

FsStatus WriteFileAtomically(FileSystem* fs, const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  FsStatus status = fs->WriteAt(temp, true, 0, text.data(), text.size());
  if (status) status = fs->SetMode(temp, 0644);
  if (status) status = fs->Rename(temp, path);
  if (!status) fs->RemoveFile(temp);
  return status;
}

MetricsWriter::MetricsWriter(FileSystem* fs, std::string path, const Metrics* metrics,
                             GaugesFn gauges, std::chrono::milliseconds every)
    : fs_(fs),
      path_(std::move(path)),
      metrics_(metrics),
      gauges_(std::move(gauges)),
      every_(every),
      thread_([this] {
        std::unique_lock<std::mutex> lock(mu_);
        do {
          lock.unlock();
          Write();
          lock.lock();
        } while (!wake_.wait_for(lock, every_, [this] { return stop_; }));
      }) {}

MetricsWriter::~MetricsWriter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  Write();  // the figures at the end of the run
}

void MetricsWriter::Write() {
  const FsStatus status =
      WriteFileAtomically(fs_, path_, metrics_->Exposition(gauges_(), BuildVersion()));
  if (status) {
    failing_ = false;
    return;
  }
  if (failing_) return;
  failing_ = true;
  PrintErr("WARNING:メトリクスファイルを書けません。(" + path_ + ": " +
           (status.sys_errno ? std::string(std::strerror(status.sys_errno)) : "error") + ")");
}

const char* BuildVersion() { return ZK_VERSION; }

}  // namespace zk
