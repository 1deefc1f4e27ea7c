// The server's audit records: calls, connections, and the files followed across calls.
#include "server/audit_events.h"

#include <algorithm>
#include <utility>

#include "idl/wire.h"
#include "platform/pathtext.h"
#include "server/connection_auth.h"
#include "server/storage.h"
#include "server/uploads.h"

namespace zk {
namespace {

int64_t MsBetween(std::chrono::steady_clock::time_point from,
                  std::chrono::steady_clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The record of a file's transfer that ended: `bytes` moved, with `result`, after `ms`.
AuditRecord FileRecord(AuditEvent event, const std::string& user, std::string path,
                       const std::string& peer, int64_t bytes, int64_t result, int64_t ms,
                       const char* reason, std::string digest) {
  AuditRecord r(event);
  r.user = LogText(user);
  r.path = std::move(path);
  r.peer = peer;
  r.bytes = bytes;
  r.result = result;
  r.ms = ms;
  r.reason = reason ? reason : "";
  r.digest = std::move(digest);
  return r;
}

// The path of `name` in the wire folder `dir` as the area names it; the texts as they came when
// the path is refused (they are written escaped).
std::string RecordPath(std::string dir, const std::string& name, bool add_separator) {
  if (add_separator && !dir.empty() && !EndsWithSeparator(dir)) dir += "\\";
  std::string rel;
  return AreaRelativePath(dir + name, &rel) ? rel : LogText(dir + name);
}

}  // namespace

std::string AuditPeer(const std::string& address) {
  if (address.rfind("giop:tcp:", 0) != 0 && address.rfind("giop:ssl:", 0) != 0) return address;
  const std::string host = PeerHost(address);
  const size_t colon = address.rfind(':');
  if (host == address) return address;
  const std::string port = address.substr(colon + 1);
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

AuditRecord CallRecord(AuditEvent event, const std::string& user,
                       std::chrono::steady_clock::time_point started) {
  AuditRecord r(event);
  r.user = LogText(user);
  r.peer = AuditPeer(CurrentCall().peer);
  r.ms = MsBetween(started, std::chrono::steady_clock::now());
  return r;
}

void AuditPathCall(AuditLog* log, AuditEvent event, const char* user, const char* wire_path,
                   int64_t result, std::chrono::steady_clock::time_point started) {
  if (!log->on()) return;
  AuditRecord r = CallRecord(event, user ? user : "", started);
  r.path = RecordPath(wire_path ? wire_path : "", "", false);
  r.result = result;
  log->Record(std::move(r));
}

void AuditConnection(AuditLog* log, AuditEvent event, const std::string& peer, const char* reason) {
  if (!log->on()) return;
  AuditRecord r(event);
  r.peer = AuditPeer(peer);
  r.reason = reason;
  log->Record(std::move(r));
}

TransferAudit::~TransferAudit() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(sweep_mu_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = Clock::now();
  while (!uploads_.empty()) {
    End(&uploads_, uploads_.begin(), AuditEvent::kUpload, kTransferFileFailed, "server-stopped",
        now, uploads_.begin()->second.bytes);
  }
  while (!downloads_.empty()) {
    End(&downloads_, downloads_.begin(), AuditEvent::kDownload, kTransferFileFailed,
        "server-stopped", now, downloads_.begin()->second.bytes);
  }
}

void TransferAudit::Start() {
  thread_ = std::thread([this] { Loop(); });
}

void TransferAudit::Loop() {
  std::unique_lock<std::mutex> lock(sweep_mu_);
  while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
    lock.unlock();
    Sweep(Clock::now());
    lock.lock();
  }
}

template <class Map>
void TransferAudit::End(Map* files, typename Map::iterator it, AuditEvent event, int64_t result,
                        const char* reason, Clock::time_point now, int64_t bytes,
                        const std::string& digest, std::vector<AuditRecord>* ended) {
  const auto& key = it->first;
  AuditRecord r =
      FileRecord(event, std::get<std::tuple_size<typename Map::key_type>::value - 2>(key),
                 std::get<std::tuple_size<typename Map::key_type>::value - 1>(key), it->second.peer,
                 bytes, result, MsBetween(it->second.started, now), reason, digest);
  files->erase(it);
  if (ended) {
    ended->push_back(std::move(r));
  } else {
    log_->Record(std::move(r));
  }
}

template <class Map>
void TransferAudit::Bound(Map* files, AuditEvent event, Clock::time_point now) {
  if (files->size() < kMaxFollowedFiles) return;
  auto oldest = std::min_element(files->begin(), files->end(), [](const auto& a, const auto& b) {
    return a.second.used < b.second.used;
  });
  End(files, oldest, event, kTransferFileFailed, "not-followed", now, oldest->second.bytes);
}

void TransferAudit::UploadChunk(uint64_t conn, const Socket& socket, const std::string& user,
                                const std::string& peer, const std::string& rel, int32_t no,
                                bool last, size_t len, int64_t result, Clock::time_point now,
                                const std::string& digest) {
  if (!on()) return;
  Uploaded chunk{rel, no, last, len, result, digest};
  std::vector<AuditRecord> ended;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Upload(conn, socket, user, peer, &chunk, now, &ended);
  }
  log_->Record(std::move(ended));
}

void TransferAudit::UploadChunks(uint64_t conn, const Socket& socket, const std::string& user,
                                 const std::string& peer, std::vector<Uploaded>* chunks,
                                 Clock::time_point now) {
  if (!on() || chunks->empty()) return;
  std::vector<AuditRecord> ended;
  ended.reserve(chunks->size());
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (Uploaded& chunk : *chunks) Upload(conn, socket, user, peer, &chunk, now, &ended);
  }
  log_->Record(std::move(ended));
}

void TransferAudit::Upload(uint64_t conn, const Socket& socket, const std::string& user,
                           const std::string& peer, Uploaded* chunk, Clock::time_point now,
                           std::vector<AuditRecord>* ended) {
  auto it = uploads_.find(std::tie(conn, user, chunk->rel));
  if (chunk->no == 1 && it != uploads_.end()) {
    End(&uploads_, it, AuditEvent::kUpload, kTransferFileFailed, "begun-again", now,
        it->second.bytes, std::string(), ended);
    it = uploads_.end();
  }
  if (it == uploads_.end() && (chunk->last || chunk->result != kTransferOk)) {
    // A file of one chunk, or a chunk that failed and continues nothing: it ends here, and is
    // recorded as one that began now.
    const bool ok = chunk->result == kTransferOk;
    ended->push_back(FileRecord(AuditEvent::kUpload, user, std::move(chunk->rel), peer,
                                ok ? static_cast<int64_t>(chunk->len) : 0, chunk->result, 0,
                                nullptr, ok ? std::move(chunk->digest) : std::string()));
    return;
  }
  if (it == uploads_.end()) {
    Bound(&uploads_, AuditEvent::kUpload, now);
    File f;
    f.peer = peer;
    f.socket = socket;
    f.started = now;
    it = uploads_.emplace(UploadKey{conn, user, chunk->rel}, f).first;
  }
  it->second.used = now;
  if (chunk->result != kTransferOk) {
    End(&uploads_, it, AuditEvent::kUpload, chunk->result, nullptr, now, it->second.bytes,
        std::string(), ended);
    return;
  }
  it->second.bytes += static_cast<int64_t>(chunk->len);
  if (chunk->last) {
    End(&uploads_, it, AuditEvent::kUpload, kTransferOk, nullptr, now, it->second.bytes,
        chunk->digest, ended);
  }
}

std::map<TransferAudit::DownloadKey, TransferAudit::File, std::less<>>::iterator
TransferAudit::FollowDownload(const std::string& user, const std::string& rel,
                              const std::string& peer, Clock::time_point now) {
  auto it = downloads_.find(std::tie(user, rel));
  if (it == downloads_.end()) {
    Bound(&downloads_, AuditEvent::kDownload, now);
    File f;
    f.peer = peer;
    f.started = now;
    it = downloads_.emplace(DownloadKey{user, rel}, f).first;
  }
  it->second.used = now;
  return it;
}

std::shared_ptr<FileDigest> TransferAudit::DownloadDigest(const std::string& user,
                                                          const std::string& peer,
                                                          const std::string& rel,
                                                          Clock::time_point now) {
  if (!on()) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = FollowDownload(user, rel, peer, now);
  if (!it->second.digest) it->second.digest = std::make_shared<FileDigest>(&ahead_);
  return it->second.digest;
}

void TransferAudit::DownloadChunk(const std::string& user, const std::string& peer,
                                  const std::string& rel, int64_t pos, int64_t len, int64_t size,
                                  Clock::time_point now) {
  if (!on()) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = FollowDownload(user, rel, peer, now);
  // Only the bytes inside the file count: past its end the reply holds zeros.
  const int64_t end = size >= 0 ? std::min(pos + len, size) : pos + len;
  if (end > pos) it->second.bytes += end - pos;
  if (size >= 0 && it->second.bytes >= size) {
    const std::string digest = it->second.digest ? it->second.digest->Text(size) : std::string();
    End(&downloads_, it, AuditEvent::kDownload, kTransferOk, nullptr, now, size, digest);
  }
}

std::shared_ptr<FileDigest> TransferAudit::DownloadWholeDigest(const std::string& user,
                                                               const std::string& rel) {
  if (!on()) return nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (downloads_.find(std::tie(user, rel)) != downloads_.end()) return nullptr;
  }
  // One reply's pieces come in file order: nothing is held ahead.
  return std::make_shared<FileDigest>();
}

void TransferAudit::DownloadServedWhole(const std::string& user, const std::string& peer,
                                        const std::string& rel, int64_t size,
                                        const FileDigest& digest, Clock::time_point started,
                                        Clock::time_point now) {
  if (!on()) return;
  log_->Record(FileRecord(AuditEvent::kDownload, user, rel, peer, size, kTransferOk,
                          MsBetween(started, now), nullptr, digest.Text(size)));
}

void TransferAudit::DownloadFailed(const std::string& user, const std::string& peer,
                                   const std::string& rel, int64_t result, Clock::time_point now) {
  if (!on()) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = downloads_.find(std::tie(user, rel));
  if (it == downloads_.end()) {
    File f;
    f.peer = peer;
    f.started = now;
    it = downloads_.emplace(DownloadKey{user, rel}, f).first;
  }
  End(&downloads_, it, AuditEvent::kDownload, result, nullptr, now, it->second.bytes);
}

void TransferAudit::Sweep(Clock::time_point now) {
  if (!on()) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = uploads_.begin(); it != uploads_.end();) {
    auto next = std::next(it);
    const char* reason = !open_(it->second.socket)                   ? "connection-closed"
                         : now - it->second.used >= kUploadIdleLimit ? "idle"
                                                                     : nullptr;
    if (reason) {
      End(&uploads_, it, AuditEvent::kUpload, kTransferFileFailed, reason, now, it->second.bytes);
    }
    it = next;
  }
  for (auto it = downloads_.begin(); it != downloads_.end();) {
    auto next = std::next(it);
    if (now - it->second.used >= kDownloadIdle) {
      End(&downloads_, it, AuditEvent::kDownload, kTransferFileFailed, "incomplete", now,
          it->second.bytes);
    }
    it = next;
  }
}

template <class Chunks>
void DownloadBatchAudit::Open(TransferAudit* audit, const std::string& user, const Chunks& chunks,
                              CORBA::Long result, CORBA::Long index) {
  if (!audit->on()) return;
  const std::string peer = AuditPeer(CurrentCall().peer);
  const auto now = TransferAudit::Clock::now();
  if (result != kTransferOk) {
    // A failed batch is served not at all: only the request that failed has a record.
    if (index >= 1 && static_cast<CORBA::ULong>(index) <= chunks.length()) {
      const auto& c = chunks[static_cast<CORBA::ULong>(index - 1)];
      audit->DownloadFailed(user, peer, RecordPath(c.filePath.in(), c.fileNm.in(), true), result,
                            now);
    }
    return;
  }
  audit_ = audit;
  user_ = user;
  peer_ = peer;
  started_ = now;
  chunks_.clear();
  chunks_.reserve(chunks.length());
  for (CORBA::ULong i = 0; i < chunks.length(); ++i) {
    const auto& c = chunks[i];
    Chunk chunk{RecordPath(c.filePath.in(), c.fileNm.in(), true), c.bufPos, c.bufUnitSize,
                c.fileSize, nullptr, false};
    // A small file comes whole in one chunk.
    if (c.bufPos == 0 && c.fileSize >= 0 && c.bufUnitSize >= c.fileSize) {
      chunk.digest = audit->DownloadWholeDigest(user, chunk.rel);
      chunk.whole = chunk.digest != nullptr;
    }
    if (!chunk.whole) chunk.digest = audit->DownloadDigest(user, peer, chunk.rel, now);
    chunks_.push_back(std::move(chunk));
  }
}

void DownloadBatchAudit::Opened(TransferAudit* audit, const std::string& user,
                                const ZKmd::zkSeqFileBuf& chunks, CORBA::Long result,
                                CORBA::Long index) {
  Open(audit, user, chunks, result, index);
}

void DownloadBatchAudit::Opened(TransferAudit* audit, const std::string& user,
                                const ZKmd::zkSeqFileBuf64& chunks, CORBA::Long result,
                                CORBA::Long index) {
  Open(audit, user, chunks, result, index);
}

void DownloadBatchAudit::Data(size_t i, size_t at, const void* data, size_t n) {
  if (!audit_ || i >= chunks_.size() || !chunks_[i].digest) return;
  const Chunk& c = chunks_[i];
  const int64_t pos = c.pos + static_cast<int64_t>(at);
  // Past the file's end the reply holds zeros that are not the file's.
  int64_t len = static_cast<int64_t>(n);
  if (c.size >= 0) len = std::max<int64_t>(0, std::min(len, c.size - pos));
  c.digest->Add(pos, data, static_cast<size_t>(len));
}

void DownloadBatchAudit::Served(size_t i) {
  if (!audit_ || i >= chunks_.size()) return;
  const Chunk& c = chunks_[i];
  const auto now = TransferAudit::Clock::now();
  if (c.whole) {
    audit_->DownloadServedWhole(user_, peer_, c.rel, c.size, *c.digest, started_, now);
  } else {
    audit_->DownloadChunk(user_, peer_, c.rel, c.pos, c.len, c.size, now);
  }
}

size_t TransferAudit::uploads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return uploads_.size();
}

size_t TransferAudit::downloads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return downloads_.size();
}

UploadBatchAudit::UploadBatchAudit(TransferAudit* audit, const std::string& user, uint64_t conn,
                                   const Socket& socket)
    : audit_(audit->on() ? audit : nullptr),
      user_(user),
      peer_(AuditPeer(CurrentCall().peer)),
      conn_(conn),
      socket_(socket) {}

void UploadBatchAudit::Stored(const ZKmd::zkStrctFileBuf& c, size_t len, CORBA::Long result,
                              const std::string& digest) {
  if (!audit_) return;
  const std::string rel = RecordPath(c.filePath.in(), c.fileNm.in(), false);
  if (defer_) {
    deferred_.push_back({rel, c.bufNo, !c.nextBuf, len, result, digest});
  } else {
    audit_->UploadChunk(conn_, socket_, user_, peer_, rel, c.bufNo, !c.nextBuf, len, result,
                        TransferAudit::Clock::now(), digest);
  }
}

void UploadBatchAudit::Checked(CORBA::Long result, CORBA::Long index) {
  if (!audit_) return;
  for (size_t i = 0; i < deferred_.size(); ++i) {
    if (result != 0 && static_cast<CORBA::Long>(i + 1) >= index) deferred_[i].result = result;
  }
  audit_->UploadChunks(conn_, socket_, user_, peer_, &deferred_, TransferAudit::Clock::now());
  deferred_.clear();
}

}  // namespace zk
