// The server's figures for an administrator to watch, in the Prometheus text format, written to
// the file that "zkMetricsFile = PATH" in server.conf names (the node exporter's textfile
// collector reads such files; the server listens on nothing new):
//
//   zk_requests_total{operation,result}  requests by operation and result: "ok", "failed" (the
//                                        operation's failure answer, or an exception) or
//                                        "refused" (not served: no login, another user's id, a
//                                        text not converted, a login refused, a wrong run
//                                        password); an operation zk does not know is "other"
//   zk_received_bytes_total              file data received in uploads, bytes
//   zk_sent_bytes_total                  file data sent in downloads, bytes
//   zk_logins_total{result}              logins "accepted" or "refused"
//   zk_logins_held_back_total            logins the throttle refused unchecked
//   zk_connections                       connections open now
//   zk_uploads_in_progress               uploads begun and not ended
//   zk_kept_parts                        parts of uploads kept for a resume
//   zk_audit_records_dropped_total       audit records that could not be written
//   zk_build_info{version}               1
//
// No label holds a user id or a path. Counting costs a few relaxed atomic additions per request
// and no lock: the servant's dispatch opens a RequestCount for each request, the operations note
// what the request came to in it (NoteAnswer, NoteRefused, the bytes), and it is counted once
// when the scope ends.
//
//   RequestCount count(&state->metrics, op);
//   ... serve; the operation calls NoteAnswer(result) ...
#ifndef ZK_SERVER_METRICS_H_
#define ZK_SERVER_METRICS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/fs.h"

namespace zk {

// The server.conf key that names the metrics file.
constexpr char kMetricsFileKey[] = "zkMetricsFile";
// How often the file is written.
constexpr std::chrono::seconds kMetricsEvery(5);

class Metrics {
 public:
  enum class Result { kOk, kFailed, kRefused };
  static constexpr size_t kResults = 3;
  // The operations of ZKmd by name, and one slot for every other name.
  static constexpr size_t kOperations = 19;

  // The figures that are not counted here but looked at when the file is written.
  struct Gauges {
    uint64_t connections = 0;
    uint64_t uploads_in_progress = 0;
    uint64_t kept_parts = 0;
    uint64_t audit_records_dropped = 0;  // a counter, but the audit trail's own
  };

  // One request of `operation` with `result`, `received` and `sent` bytes of file data.
  void CountRequest(const char* operation, Result result, uint64_t received, uint64_t sent);
  void CountLoginHeldBack() { held_back_.fetch_add(1, std::memory_order_relaxed); }

  // The result of a request of `operation` that answered `value`.
  static Result ResultOf(const char* operation, long value);
  // The figures in the exposition format, `version` in zk_build_info.
  std::string Exposition(const Gauges& gauges, const std::string& version) const;

 private:
  static size_t Slot(const char* operation);

  std::atomic<uint64_t> requests_[kOperations][kResults] = {};
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> logins_[2] = {};  // accepted, refused
  std::atomic<uint64_t> held_back_{0};
};

// The request this thread serves, counted in `metrics` when the scope ends (also when it is left
// by an exception: "failed" unless a refusal was noted). Scopes do not nest.
class RequestCount {
 public:
  RequestCount(Metrics* metrics, const char* operation);
  ~RequestCount();
  RequestCount(const RequestCount&) = delete;
  RequestCount& operator=(const RequestCount&) = delete;

 private:
  Metrics* metrics_;
  const char* operation_;
};

// What the request this thread serves came to; nothing is kept outside a RequestCount.
// The operation answered `value` (passed through, so that an operation can end in
// `return NoteAnswer(result);`).
int32_t NoteAnswer(int32_t value);
// The request was refused without being served; its answer is then not looked at.
void NoteRefused();
void NoteReceivedBytes(uint64_t n);
void NoteSentBytes(uint64_t n);

// Writes `text` to `path` in one step: into `path` + ".tmp", readable by everyone (0644), then
// renamed over `path`, so that a reader sees the old file or the new one, never a part.
FsStatus WriteFileAtomically(FileSystem* fs, const std::string& path, const std::string& text);

// Writes the metrics file every `every` while it lives, and once more when it ends. A file that
// cannot be written is reported on standard error once, until it can be written again.
class MetricsWriter {
 public:
  using GaugesFn = std::function<Metrics::Gauges()>;
  // `fs` and `metrics` outlive the writer.
  MetricsWriter(FileSystem* fs, std::string path, const Metrics* metrics, GaugesFn gauges,
                std::chrono::milliseconds every = kMetricsEvery);
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

 private:
  void Write();

  FileSystem* fs_;
  std::string path_;
  const Metrics* metrics_;
  GaugesFn gauges_;
  std::chrono::milliseconds every_;
  bool failing_ = false;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is set up
};

// The version zk_build_info gives.
const char* BuildVersion();

}  // namespace zk

#endif  // ZK_SERVER_METRICS_H_
